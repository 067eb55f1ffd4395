// The wire encoding of MAPI data: each structure as the image of its 32-bit
// layout (4-byte pointers, natural alignment), composed field by field, then
// the data its pointers refer to. Server objects and client proxies each hold
// one CMapiMarshal.
//
// Writers assume the caller sized the buffer with the matching Size call;
// readers never step past the end of their block: a damaged block makes the
// read fail with MAPI_E_NO_SUPPORT, an allocation failure with
// MAPI_E_NOT_ENOUGH_MEMORY. Decoded memory comes from the allocator triple.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

#include "platform/base/ByteCoder.h"
#include "platform/base/HResult.h"
#include "platform/mapi/MapiDefs.h"

namespace vantrel::zel {

// Thrown inside the codec (and by its throwing entries) for a damaged block or
// a failed allocation; the server frame turns any exception into
// MAPI_E_NO_SUPPORT.
class MarshalError : public std::runtime_error {
 public:
  MarshalError(HRESULT code, const char* what) : std::runtime_error(what), code_(code) {}
  HRESULT code() const { return code_; }

 private:
  HRESULT code_;
};

// Encoding cursor over a buffer of known size, or appending to a vector
// that grows as the writes need.
class MarshalWriter {
 public:
  MarshalWriter(BYTE* data, size_t size) : p_(data), end_(data + size), begin_(data) {}
  // Writes from the start of `grow`, which then holds at least Written()
  // bytes (Finish trims it to them).
  explicit MarshalWriter(std::vector<BYTE>& grow)
      : p_(grow.data()), end_(grow.data() + grow.size()), begin_(grow.data()), grow_(&grow) {}
  void Finish() {
    if (grow_) grow_->resize(Written());
  }
  // The writers are inline: a row set or a property array is thousands of
  // small writes.
  void Bytes(const void* data, size_t n) {
    if (n == 0) return;
    Need(n);
    std::memcpy(p_, data, n);
    p_ += n;
  }
  void Zero(size_t n) {
    if (n == 0) return;
    Need(n);
    std::memset(p_, 0, n);
    p_ += n;
  }
  void U8(BYTE v) {
    Need(1);
    *p_++ = v;
  }
  void U16(std::uint16_t v) {
    Need(2);
    StoreLe16(p_, v);
    p_ += 2;
  }
  void U32(ULONG v) {
    Need(4);
    StoreLe32(p_, v);
    p_ += 4;
  }
  void U64(std::uint64_t v) {
    Need(8);
    StoreLe64(p_, v);
    p_ += 8;
  }
  // A pointer field of an image: 0 for null, a fixed non-zero word otherwise
  // (the receiver only ever tests it against zero).
  void Ptr(const void* p) { U32(p ? 1u : 0u); }
  size_t Written() const { return static_cast<size_t>(p_ - begin_); }

 private:
  void Need(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) Grow(n);
  }
  void Grow(size_t n);
  BYTE* p_;
  BYTE* end_;
  BYTE* begin_;
  std::vector<BYTE>* grow_ = nullptr;
};

// Decoding cursor; every read is checked against the block's end.
class MarshalReader {
 public:
  MarshalReader(const BYTE* data, size_t size) : p_(data), end_(data + size), begin_(data) {}
  explicit MarshalReader(std::span<const BYTE> block) : MarshalReader(block.data(), block.size()) {}
  size_t Remaining() const { return static_cast<size_t>(end_ - p_); }
  size_t Offset() const { return static_cast<size_t>(p_ - begin_); }
  // Throws unless `n` bytes remain.
  void Need(std::uint64_t n) const {
    if (n > Remaining()) Short();
  }
  const BYTE* Take(size_t n) {
    Need(n);
    const BYTE* p = p_;
    p_ += n;
    return p;
  }
  void Bytes(void* out, size_t n) {
    if (n == 0) return;
    std::memcpy(out, Take(n), n);
  }
  BYTE U8() { return *Take(1); }
  std::uint16_t U16() { return LoadLe16(Take(2)); }
  ULONG U32() { return LoadLe32(Take(4)); }
  std::uint64_t U64() { return LoadLe64(Take(8)); }
  void Skip(size_t n) { Take(n); }
  void SkipToEnd() { p_ = end_; }

 private:
  [[noreturn]] void Short() const;
  const BYTE* p_;
  const BYTE* end_;
  const BYTE* begin_;
};

class CMapiMarshal {
 public:
  // Allocate, allocate-more on a parent block, free. The server keeps the MAPI
  // routines (the default); the client installs its support object's at logon.
  struct Allocator {
    LPALLOCATEBUFFER allocate = nullptr;
    LPALLOCATEMORE allocate_more = nullptr;
    LPFREEBUFFER free = nullptr;
  };
  // Set once per process, before any codec decodes.
  static void SetAllocator(const Allocator& allocator);
  static Allocator CurrentAllocator();

  enum class Direction { kOutgoing, kIncoming };
  // Client hook: returns true and fills `out` when `in` is an entry ID that
  // must be translated on its way out (sizing, writing) or in (reading).
  using EntryIdTranslator = std::function<bool(Direction, std::span<const BYTE> in, std::vector<BYTE>& out)>;

  static constexpr ULONG kTagMdbProvider = 0x34140102;  // PR_MDB_PROVIDER
  static constexpr int kMaxRestrictionDepth = 64;
  static constexpr size_t kEncodeHintMax = 1u << 20;

  // Client hooks, off by default.
  void SetProviderUid(const BYTE uid[16]);
  void SetEntryIdTranslator(EntryIdTranslator translator) { translate_ = std::move(translator); }

  // ---- sizes (bytes the matching Write will produce) -----------------------
  size_t SizeTagArray(const SPropTagArray* tags) const;
  size_t SizeProp(const SPropValue& value) const;
  size_t SizeProps(const SPropValue* values, ULONG count) const;
  size_t SizeProblems(const SPropProblemArray* problems) const;
  size_t SizeRowSet(const SRowSet* rows) const;
  size_t SizeAdrList(const ADRLIST* list) const;
  size_t SizeSortOrderSet(const SSortOrderSet* sort) const;
  size_t SizeRestriction(const SRestriction* res) const;
  size_t SizeEntryList(const ENTRYLIST* list) const;
  size_t SizeError(const MAPIERROR* error) const;
  size_t SizeNameID(const MAPINAMEID* name) const;
  size_t SizeNameIDArray(MAPINAMEID* const* names, ULONG count) const;
  size_t SizeNotification(const NOTIFICATION* notification) const;

  // ---- writes (throw MarshalError when the buffer is too small) ------------
  void WriteTagArray(MarshalWriter& w, const SPropTagArray* tags) const;
  void WriteProp(MarshalWriter& w, const SPropValue& value) const;
  void WriteProps(MarshalWriter& w, const SPropValue* values, ULONG count) const;
  void WriteProblems(MarshalWriter& w, const SPropProblemArray* problems) const;
  void WriteRowSet(MarshalWriter& w, const SRowSet* rows) const;
  void WriteAdrList(MarshalWriter& w, const ADRLIST* list) const;
  void WriteSortOrderSet(MarshalWriter& w, const SSortOrderSet* sort) const;
  void WriteRestriction(MarshalWriter& w, const SRestriction* res) const;
  void WriteEntryList(MarshalWriter& w, const ENTRYLIST* list) const;
  void WriteError(MarshalWriter& w, const MAPIERROR* error) const;
  void WriteNameID(MarshalWriter& w, const MAPINAMEID* name) const;
  void WriteNameIDArray(MarshalWriter& w, MAPINAMEID* const* names, ULONG count) const;
  void WriteNotification(MarshalWriter& w, const NOTIFICATION* notification) const;

  // ---- reads -----------------------------------------------------------------
  // Each decodes at the cursor and advances it. `parent` null: the result is
  // a new buffer the caller frees; otherwise every piece is chained to
  // `parent`. Absent structures (presence byte 0, count 0) give nullptr. On
  // failure *out is null, the cursor position is unspecified and nothing
  // allocated stays behind unless it hangs on `parent`.
  HRESULT ReadTagArray(MarshalReader& r, void* parent, LPSPropTagArray* out) const;
  HRESULT ReadProps(MarshalReader& r, ULONG count, void* parent, LPSPropValue* out) const;
  HRESULT ReadProblems(MarshalReader& r, void* parent, LPSPropProblemArray* out) const;
  HRESULT ReadRowSet(MarshalReader& r, void* parent, LPSRowSet* out) const;
  HRESULT ReadAdrList(MarshalReader& r, void* parent, LPADRLIST* out) const;
  HRESULT ReadSortOrderSet(MarshalReader& r, void* parent, LPSSortOrderSet* out) const;
  HRESULT ReadRestriction(MarshalReader& r, void* parent, LPSRestriction* out) const;
  HRESULT ReadEntryList(MarshalReader& r, void* parent, LPENTRYLIST* out) const;
  HRESULT ReadError(MarshalReader& r, void* parent, LPMAPIERROR* out) const;
  HRESULT ReadMAPINAMEID(MarshalReader& r, void* parent, LPMAPINAMEID* out) const;
  // A damaged element shows the "ReadMAPINAMEID %d von %d" box, is left null
  // and reading goes on; the array itself fails only when it cannot be made.
  HRESULT ReadMAPINAMEIDArray(MarshalReader& r, ULONG count, void* parent, LPMAPINAMEID** out) const;
  HRESULT ReadNotification(MarshalReader& r, void* parent, LPNOTIFICATION* out) const;

  // Encodes one structure into a new byte vector (Size, then Write).
  template <typename Size, typename Write>
  std::vector<BYTE> Encode(Size size, Write write) const {
    std::vector<BYTE> out(size());
    MarshalWriter w(out.data(), out.size());
    write(w);
    return out;
  }
  // Encodes in one pass into `out` (emptied first, its room kept, at least
  // `expected` bytes of it), which grows as the bytes need; `expected`
  // learns this encoding's size.
  template <typename Write>
  void EncodeInto(std::vector<BYTE>& out, size_t& expected, Write write) const {
    out.clear();
    if (out.capacity() < expected) out.reserve(expected);
    MarshalWriter w(out);
    write(w);
    w.Finish();
    expected = std::min<size_t>(out.size() + out.size() / 16 + 64, kEncodeHintMax);
  }
  // Encodes in one pass, without sizing first. `expected` (kept by the
  // caller: the size of its last block) sizes the vector, which grows when
  // the bytes are more, and learns this block's size. The vector keeps
  // little room beyond its bytes: result blocks wait under caps that count
  // bytes.
  template <typename Write>
  std::vector<BYTE> EncodeOnce(size_t& expected, Write write) const {
    std::vector<BYTE> out;
    out.reserve(expected);
    MarshalWriter w(out);
    write(w);
    w.Finish();
    expected = std::min<size_t>(out.size() + out.size() / 16 + 64, kEncodeHintMax);
    if (out.capacity() - out.size() > out.size() / 4 + 256) out.shrink_to_fit();
    return out;
  }

 private:
  struct Ctx;
  size_t SizeBinary(ULONG cb, const BYTE* data) const;
  void WriteBinary(MarshalWriter& w, ULONG cb, const BYTE* data) const;
  void WriteValueImage(MarshalWriter& w, const SPropValue& v) const;
  void WriteRowsImpl(MarshalWriter& w, bool present, ULONG count, const SRow* rows) const;
  size_t SizeRowsImpl(bool present, ULONG count, const SRow* rows) const;
  size_t SizeRestrictionAt(const SRestriction* res, int depth) const;
  void WriteRestrictionAt(MarshalWriter& w, const SRestriction* res, int depth) const;

  void ReadPropInto(Ctx& c, MarshalReader& r, SPropValue& v) const;
  SPropValue* ReadPropsIn(Ctx& c, MarshalReader& r, ULONG count) const;
  SPropTagArray* ReadTagArrayIn(Ctx& c, MarshalReader& r) const;
  SRowSet* ReadRowSetIn(Ctx& c, MarshalReader& r) const;
  void ReadRestrictionInto(Ctx& c, MarshalReader& r, SRestriction& res, int depth) const;
  SRestriction* ReadRestrictionIn(Ctx& c, MarshalReader& r, int depth) const;
  MAPIERROR* ReadErrorIn(Ctx& c, MarshalReader& r) const;
  MAPINAMEID* ReadNameIDIn(Ctx& c, MarshalReader& r) const;
  void ReadBinaryInto(Ctx& c, MarshalReader& r, ULONG tag, ULONG& cb, LPBYTE& data, bool translate) const;
  template <typename F>
  HRESULT Run(void* parent, void** out, F body) const;

  bool substitute_provider_ = false;
  BYTE provider_uid_[16] = {};
  EntryIdTranslator translate_;
};

}  // namespace vantrel::zel
