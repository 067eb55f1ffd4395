// Large values. A value over kChunk bytes is not kept in its props row.
// The row carries the stored type with kChunkedFlag and a reference
// (EncodeRef: blob id, size, encoding); the bytes live in
//   blobs(id INTEGER PRIMARY KEY AUTOINCREMENT, obj INTEGER)
//   chunks(blob INTEGER, seq INTEGER, data BLOB, PRIMARY KEY(blob, seq))
// as pieces of kChunk bytes, every piece full but the last. blobs.obj is
// the object whose row refers to the blob, kStaging while only an unsaved
// object or an open stream refers to it. SaveProps makes the object own
// exactly the blobs its rows refer to, so saving, deleting, and the crash
// of a process with unsaved streams (staging blobs are dropped when the
// file is opened) never leave chunks behind or lose saved ones.
// Property streams read and write the chunks one at a time; nothing holds
// a whole large value in memory. String values kept in chunks are in the
// width of the stream that wrote them (kEncUtf16 or kEncAnsi), or UTF-8
// (kEncRaw) when they came in through SetProps.
#pragma once

#include <cstdint>
#include <string>

#include "platform/mapi/pst/Database.h"
#include "platform/mapi/pst/PropMap.h"

namespace vantrel::mapi::pst {

inline constexpr size_t kChunk = 64 * 1024;
inline constexpr ULONG kChunkedFlag = 0x00010000;  // above every property type
enum : uint32_t { kEncRaw = 0, kEncUtf16 = 1, kEncAnsi = 2 };

struct ValueRef {
  int64_t blob = 0;
  uint64_t size = 0;
  uint32_t enc = kEncRaw;
};

inline bool IsRef(ULONG stored) {
  return (stored & kChunkedFlag) != 0;
}
inline ULONG BareType(ULONG stored) {
  return stored & ~kChunkedFlag;
}

Bytes EncodeRef(const ValueRef& r);
bool DecodeRef(const Bytes& b, ValueRef& r);
// The size of a stored value as the object reports it.
uint64_t ValueSize(const std::pair<ULONG, Bytes>& v);

// Text between the encodings of kept strings, fed in pieces: a character
// split between two pieces is carried to the next.
class Transcoder {
 public:
  Transcoder(uint32_t from, uint32_t to) : from_(from), to_(to) {}
  Bytes Feed(const BYTE* p, size_t n, bool last);

 private:
  uint32_t from_, to_;
  Bytes carry_;
  std::u16string wcarry_;
};

// The whole value behind a reference, as it would be kept inline (strings
// in UTF-8). Only for values known to be of bounded size.
bool Materialize(Db& db, const ValueRef& r, bool text, Bytes& out) EXCLUDES(db.mu);

// Copies blob `blob` of `src` into a new staging blob of `dst`; 0 on
// failure. One chunk at a time in memory. `src` is dst's writing connection
// or one the caller owns (another file's, under its lock).
int64_t CopyBlob(Conn& src, Db& dst, int64_t blob) REQUIRES(dst.mu);
// The values of `m` read from `src` with their blobs copied into `dst` as
// staging blobs, ready for SaveProps there.
bool CopyRefs(Conn& src, Db& dst, PropMap& m) REQUIRES(dst.mu);
// A copy of the chunked string `r` in encoding `to`, as a staging blob
// owned by the caller; 0 on failure. Outside any transaction.
int64_t ConvertBlob(Db& db, const ValueRef& r, uint32_t to, uint64_t& size) REQUIRES(db.mu);

}  // namespace vantrel::mapi::pst
