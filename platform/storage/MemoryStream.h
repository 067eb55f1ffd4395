// IStream over bytes in memory, and IStorage over a tree of such streams.
// Clones share the bytes and keep their own seek pointer. A stream made
// with a commit hook hands its bytes to the hook on Commit (that is how a
// property stream reaches its object); without one, Commit is a no-op.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/storage/ObjIdl.h"
#include "platform/storage/StreamBase.h"

namespace vantrel::storage {

using CommitHook = std::function<HRESULT(const std::vector<BYTE>& bytes)>;

// `writable` false makes Write and SetSize answer STG_E_ACCESSDENIED.
HRESULT CreateMemoryStream(std::vector<BYTE> initial, bool writable, CommitHook on_commit, IStream** out);

// A transacted storage: changes below it are visible through it at once and
// reach `on_commit` (the serialized tree, see SerializeStorage) only on
// Commit; Revert goes back to the last committed tree. `image` is empty
// (a new storage), a compound file (version 3 or 4), or the image earlier
// versions of this library wrote; a damaged one answers
// STG_E_INVALIDHEADER or STG_E_DOCFILECORRUPT.
// Element names compare without case, as in a compound file.
HRESULT CreateMemoryStorage(const std::vector<BYTE>& image, bool writable, CommitHook on_commit, IStorage** out);

// The storage's tree as a compound file (version 3, 512-byte sectors):
// names, types, sizes, CLSIDs and state bits of every element, and the
// creation and modification times of storages (of the root storage only
// the modification time: the layout keeps no creation time for it).
HRESULT SerializeStorage(IStorage* storage, std::vector<BYTE>& out);

}  // namespace vantrel::storage
