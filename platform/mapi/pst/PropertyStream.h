// IStream on one property of an object: the platform's one stream
// (storage::StreamBase) over the value kept inline or in chunks
// (ChunkedValue.h). Clones share the value; a commit hands the new value to
// the object through a hook.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/mapi/pst/ChunkedValue.h"
#include "platform/mapi/pst/Database.h"

namespace vantrel::mapi::pst {

// What a committed property stream hands to its object: small values
// inline, large ones as a staging blob.
struct StreamValue {
  bool chunked = false;
  Bytes bytes;
  ValueRef ref;
};
using StreamHook = std::function<HRESULT(const StreamValue&)>;

// The value a stream starts from: bytes in memory, or a blob of the file
// (`owned`: made for this stream alone, a converted copy it drops).
struct StreamStart {
  Bytes bytes;
  int64_t blob = 0;
  uint64_t size = 0;
  bool owned = false;
};

// A stream over `start`; string streams (`unit` 1 or 2: the width of a
// character) drop a terminator the writer included when committing, and a
// value that goes to chunks is kept in encoding `enc`. Without `hook` the
// stream cannot commit. Takes `start.blob` when it is owned, also on
// failure.
HRESULT NewPropertyStream(std::shared_ptr<Db> db, bool writable, uint32_t enc, size_t unit, StreamHook hook,
                          StreamStart start, IStream** out);

// A kept string (UTF-8) in the width a stream of `type` shows it in;
// binaries as they are.
Bytes ToStreamWidth(const Bytes& stored, ULONG type);
// The reverse; `trim` drops a terminator the writer may have included.
Bytes FromStreamWidth(const Bytes& b, ULONG type, bool trim);

}  // namespace vantrel::mapi::pst
