#include "protocol/MapiMarshal.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/base/ByteCoder.h"
#include "platform/base/Guid.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/win/MessageBox.h"

namespace vantrel::zel {
namespace {

// Set once per process; atomics so a late reader never sees a torn triple.
std::atomic<LPALLOCATEBUFFER> g_allocate{&MAPIAllocateBuffer};
std::atomic<LPALLOCATEMORE> g_allocate_more{&MAPIAllocateMore};
std::atomic<LPFREEBUFFER> g_free{&MAPIFreeBuffer};

constexpr size_t kSurplus = 128;  // every request asks for this much more
constexpr size_t kValueImage = 16;
constexpr size_t kRowImage = 12;
constexpr size_t kRestrictionImage = 16;
constexpr size_t kNotificationImage = 64;

[[noreturn]] void Damaged(const char* what) {
  throw MarshalError(MAPI_E_NO_SUPPORT, what);
}

// Bytes of one element of a multi-valued type with fixed-size elements, or 0.
size_t FixedElementSize(ULONG type) {
  switch (type) {
    case PT_MV_I2:
      return 2;
    case PT_MV_LONG:
    case PT_MV_R4:
      return 4;
    case PT_MV_DOUBLE:
    case PT_MV_CURRENCY:
    case PT_MV_APPTIME:
    case PT_MV_I8:
    case PT_MV_SYSTIME:
      return 8;
    case PT_MV_CLSID:
      return 16;
    default:
      return 0;
  }
}

bool IsMultiValued(ULONG type) {
  return FixedElementSize(type) != 0 || type == PT_MV_STRING8 || type == PT_MV_UNICODE || type == PT_MV_BINARY;
}

size_t StrLen16(const WCHAR* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

bool IsObjectEvent(ULONG type) {
  return type == fnevObjectCreated || type == fnevObjectDeleted || type == fnevObjectModified ||
         type == fnevObjectMoved || type == fnevObjectCopied || type == fnevSearchComplete;
}

// Counted bytes inside notifications: a null pointer travels as length 0.
ULONG NotifLen(ULONG cb, const void* p) {
  return p ? cb : 0;
}

}  // namespace

// ---- cursors ------------------------------------------------------------------

void MarshalWriter::Grow(size_t n) {
  if (!grow_) throw MarshalError(MAPI_E_NO_SUPPORT, "encoding overruns its buffer");
  const size_t at = Written();
  // Within the capacity first (no new allocation), else twice as large.
  size_t size = std::max(at + n, std::max<size_t>(grow_->capacity(), 2 * grow_->size()));
  grow_->resize(std::max<size_t>(size, 256));
  begin_ = grow_->data();
  p_ = begin_ + at;
  end_ = begin_ + grow_->size();
}
void MarshalReader::Short() const {
  Damaged("block ends before its contents");
}

// ---- allocation -------------------------------------------------------------

void CMapiMarshal::SetAllocator(const Allocator& a) {
  g_allocate.store(a.allocate ? a.allocate : &MAPIAllocateBuffer);
  g_allocate_more.store(a.allocate_more ? a.allocate_more : &MAPIAllocateMore);
  g_free.store(a.free ? a.free : &MAPIFreeBuffer);
}

CMapiMarshal::Allocator CMapiMarshal::CurrentAllocator() {
  return Allocator{g_allocate.load(), g_allocate_more.load(), g_free.load()};
}

// One decode: the first block comes from allocate (or allocate-more on the
// caller's parent), every further piece from allocate-more on the root.
struct CMapiMarshal::Ctx {
  Allocator a = CurrentAllocator();
  void* root = nullptr;  // the caller's parent, or our first block
  bool own_root = false;

  void* Get(size_t n) {
    if (n > 0x7FFFFFFF - kSurplus) throw MarshalError(MAPI_E_NOT_ENOUGH_MEMORY, "allocation too large");
    void* p = nullptr;
    if (root) {
      if (a.allocate_more(static_cast<ULONG>(n + kSurplus), root, &p) != S_OK || !p) {
        // The piece by itself, at the exact size.
        p = nullptr;
        if (a.allocate(static_cast<ULONG>(n), &p) != S_OK || !p)
          throw MarshalError(MAPI_E_NOT_ENOUGH_MEMORY, "allocation failed");
      }
    } else {
      if (a.allocate(static_cast<ULONG>(n + kSurplus), &p) != S_OK || !p)
        throw MarshalError(MAPI_E_NOT_ENOUGH_MEMORY, "allocation failed");
      root = p;
      own_root = true;
    }
    std::memset(p, 0, n);
    return p;
  }
  template <typename T>
  T* Array(size_t count) {
    return static_cast<T*>(Get(count * sizeof(T)));
  }
};

template <typename F>
HRESULT CMapiMarshal::Run(void* parent, void** out, F body) const {
  *out = nullptr;
  Ctx c;
  c.root = parent;
  try {
    *out = body(c);
    return S_OK;
  } catch (const MarshalError& e) {
    if (c.own_root) c.a.free(c.root);
    return e.code();
  } catch (const std::bad_alloc&) {
    if (c.own_root) c.a.free(c.root);
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
}

void CMapiMarshal::SetProviderUid(const BYTE uid[16]) {
  std::memcpy(provider_uid_, uid, 16);
  substitute_provider_ = true;
}

// ---- strings and counted bytes ---------------------------------------------

namespace {

size_t SizeString8(const char* s) {
  return (s ? std::strlen(s) : 0) + 1;
}
size_t SizeString16(const WCHAR* s) {
  return ((s ? StrLen16(s) : 0) + 1) * 2;
}

void WriteString8(MarshalWriter& w, const char* s) {
  if (s) w.Bytes(s, std::strlen(s));
  w.U8(0);
}
void WriteString16(MarshalWriter& w, const WCHAR* s) {
  if (s)
    for (size_t i = 0; s[i]; ++i) w.U16(s[i]);
  w.U16(0);
}

}  // namespace

size_t CMapiMarshal::SizeBinary(ULONG cb, const BYTE* data) const {
  if (translate_ && data) {
    std::vector<BYTE> t;
    if (translate_(Direction::kOutgoing, {data, cb}, t)) return 4 + t.size();
  }
  return 4 + (data ? cb : 0);
}

void CMapiMarshal::WriteBinary(MarshalWriter& w, ULONG cb, const BYTE* data) const {
  if (translate_ && data) {
    std::vector<BYTE> t;
    if (translate_(Direction::kOutgoing, {data, cb}, t)) {
      w.U32(static_cast<ULONG>(t.size()));
      w.Bytes(t.data(), t.size());
      return;
    }
  }
  if (!data) cb = 0;
  w.U32(cb);
  w.Bytes(data, cb);
}

// ---- property values ---------------------------------------------------------

size_t CMapiMarshal::SizeProp(const SPropValue& v) const {
  const ULONG type = PROP_TYPE(v.ulPropTag);
  size_t n = kValueImage;
  const ULONG count = v.Value.MVi.cValues;
  switch (type) {
    case PT_STRING8:
      return n + SizeString8(v.Value.lpszA);
    case PT_UNICODE:
      return n + SizeString16(v.Value.lpszW);
    case PT_CLSID:
      return n + 16;
    case PT_BINARY:
      return n + SizeBinary(v.Value.bin.cb, v.Value.bin.lpb);
    case PT_MV_STRING8:
      if (v.Value.MVszA.lppszA)
        for (ULONG i = 0; i < count; ++i) n += SizeString8(v.Value.MVszA.lppszA[i]);
      return n;
    case PT_MV_UNICODE:
      if (v.Value.MVszW.lppszW)
        for (ULONG i = 0; i < count; ++i) n += SizeString16(v.Value.MVszW.lppszW[i]);
      return n;
    case PT_MV_BINARY:
      if (v.Value.MVbin.lpbin)
        for (ULONG i = 0; i < count; ++i) n += SizeBinary(v.Value.MVbin.lpbin[i].cb, v.Value.MVbin.lpbin[i].lpb);
      return n;
    default:
      if (size_t e = FixedElementSize(type)) return n + (v.Value.MVi.lpi ? count * e : 0);
      return n;
  }
}

void CMapiMarshal::WriteValueImage(MarshalWriter& w, const SPropValue& v) const {
  const ULONG type = PROP_TYPE(v.ulPropTag);
  w.U32(v.ulPropTag);
  w.U32(0);  // alignment pad
  const _PV& pv = v.Value;
  if (IsMultiValued(type)) {
    const void* array = pv.MVi.lpi;
    w.U32(array ? pv.MVi.cValues : 0);
    w.Ptr(array);
    return;
  }
  switch (type) {
    case PT_I2:
    case PT_BOOLEAN:
      w.U16(static_cast<std::uint16_t>(pv.i));
      w.Zero(6);
      return;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
    case PT_NULL:
    case PT_OBJECT:
      w.U32(pv.ul);
      w.Zero(4);
      return;
    case PT_STRING8:
    case PT_UNICODE:
    case PT_CLSID:
      w.Ptr(pv.lpszA);
      w.Zero(4);
      return;
    case PT_BINARY:
      w.U32(pv.bin.lpb ? pv.bin.cb : 0);
      w.Ptr(pv.bin.lpb);
      return;
    default: {
      // 8-byte scalars and unknown types: the value bytes as they are.
      std::uint64_t raw;
      std::memcpy(&raw, &pv, 8);
      w.U64(raw);
      return;
    }
  }
}

void CMapiMarshal::WriteProp(MarshalWriter& w, const SPropValue& v) const {
  WriteValueImage(w, v);
  const ULONG type = PROP_TYPE(v.ulPropTag);
  const _PV& pv = v.Value;
  const ULONG count = pv.MVi.lpi ? pv.MVi.cValues : 0;
  switch (type) {
    case PT_STRING8:
      WriteString8(w, pv.lpszA);
      return;
    case PT_UNICODE:
      WriteString16(w, pv.lpszW);
      return;
    case PT_CLSID:
      if (pv.lpguid)
        w.Bytes(GuidToBytes(*pv.lpguid).data(), 16);
      else
        w.Zero(16);
      return;
    case PT_BINARY:
      WriteBinary(w, pv.bin.cb, pv.bin.lpb);
      return;
    case PT_MV_I2:
      for (ULONG i = 0; i < count; ++i) w.U16(static_cast<std::uint16_t>(pv.MVi.lpi[i]));
      return;
    case PT_MV_LONG:
      for (ULONG i = 0; i < count; ++i) w.U32(static_cast<ULONG>(pv.MVl.lpl[i]));
      return;
    case PT_MV_R4:
      for (ULONG i = 0; i < count; ++i) w.Bytes(&pv.MVflt.lpflt[i], 4);
      return;
    case PT_MV_DOUBLE:
    case PT_MV_APPTIME:
      for (ULONG i = 0; i < count; ++i) w.Bytes(&pv.MVdbl.lpdbl[i], 8);
      return;
    case PT_MV_CURRENCY:
      for (ULONG i = 0; i < count; ++i) w.U64(static_cast<std::uint64_t>(pv.MVcur.lpcur[i].int64));
      return;
    case PT_MV_I8:
      for (ULONG i = 0; i < count; ++i) w.U64(static_cast<std::uint64_t>(pv.MVli.lpli[i].QuadPart));
      return;
    case PT_MV_SYSTIME:
      for (ULONG i = 0; i < count; ++i) {
        w.U32(pv.MVft.lpft[i].dwLowDateTime);
        w.U32(pv.MVft.lpft[i].dwHighDateTime);
      }
      return;
    case PT_MV_CLSID:
      for (ULONG i = 0; i < count; ++i) w.Bytes(GuidToBytes(pv.MVguid.lpguid[i]).data(), 16);
      return;
    case PT_MV_STRING8:
      for (ULONG i = 0; i < count; ++i) WriteString8(w, pv.MVszA.lppszA[i]);
      return;
    case PT_MV_UNICODE:
      for (ULONG i = 0; i < count; ++i) WriteString16(w, pv.MVszW.lppszW[i]);
      return;
    case PT_MV_BINARY:
      for (ULONG i = 0; i < count; ++i) WriteBinary(w, pv.MVbin.lpbin[i].cb, pv.MVbin.lpbin[i].lpb);
      return;
    default:
      return;
  }
}

size_t CMapiMarshal::SizeProps(const SPropValue* values, ULONG count) const {
  size_t n = 0;
  if (values)
    for (ULONG i = 0; i < count; ++i) n += SizeProp(values[i]);
  return n;
}

void CMapiMarshal::WriteProps(MarshalWriter& w, const SPropValue* values, ULONG count) const {
  if (values)
    for (ULONG i = 0; i < count; ++i) WriteProp(w, values[i]);
}

namespace {

// Reads an 8-bit string into a new piece; a failed allocation shows its box.
template <typename Ctx>
char* TakeString8(Ctx& c, MarshalReader& r) {
  const BYTE* start = r.Take(0);
  const void* nul = std::memchr(start, 0, r.Remaining());
  if (!nul) Damaged("unterminated string");
  size_t len = static_cast<size_t>(static_cast<const BYTE*>(nul) - start);
  char* s;
  try {
    s = static_cast<char*>(c.Get(len + 1));
  } catch (const MarshalError& e) {
    MessageBox(nullptr, CodeName(e.code()), "Error", MB_OK | MB_ICONERROR);
    throw;
  }
  r.Bytes(s, len + 1);
  return s;
}

// Unicode: each unit keeps only its low byte.
template <typename Ctx>
WCHAR* TakeString16(Ctx& c, MarshalReader& r) {
  const BYTE* start = r.Take(0);
  const size_t units = r.Remaining() / 2;
  size_t len = 0;
  while (len < units && (start[2 * len] | start[2 * len + 1]) != 0) ++len;
  if (len == units) Damaged("unterminated string");
  WCHAR* s = c.template Array<WCHAR>(len + 1);
  for (size_t i = 0; i <= len; ++i) s[i] = static_cast<WCHAR>(r.U16() & 0xFF);
  return s;
}

template <typename Ctx>
GUID* TakeGuid(Ctx& c, MarshalReader& r, GUID* into = nullptr) {
  std::array<BYTE, 16> b;
  r.Bytes(b.data(), 16);
  GUID* g = into ? into : c.template Array<GUID>(1);
  *g = GuidFromBytes(b.data());
  return g;
}

}  // namespace

void CMapiMarshal::ReadBinaryInto(Ctx& c, MarshalReader& r, ULONG tag, ULONG& cb, LPBYTE& data, bool translate) const {
  ULONG len = r.U32();
  const BYTE* src = r.Take(len);
  if (substitute_provider_ && tag == kTagMdbProvider) {
    // Our own provider UID replaces the peer's; the length stays.
    data = static_cast<LPBYTE>(c.Get(len));
    std::memcpy(data, provider_uid_, len < 16 ? len : 16);
    cb = len;
    return;
  }
  if (translate && translate_) {
    std::vector<BYTE> t;
    if (translate_(Direction::kIncoming, {src, len}, t)) {
      data = static_cast<LPBYTE>(c.Get(t.size()));
      if (!t.empty()) std::memcpy(data, t.data(), t.size());
      cb = static_cast<ULONG>(t.size());
      return;
    }
  }
  data = len ? static_cast<LPBYTE>(c.Get(len)) : nullptr;
  if (len) std::memcpy(data, src, len);
  cb = len;
}

void CMapiMarshal::ReadPropInto(Ctx& c, MarshalReader& r, SPropValue& v) const {
  v.ulPropTag = r.U32();
  v.dwAlignPad = 0;
  r.Skip(4);
  const BYTE* value = r.Take(8);
  const ULONG type = PROP_TYPE(v.ulPropTag);
  std::memset(&v.Value, 0, sizeof v.Value);
  ULONG count = LoadLe32(value);
  switch (type) {
    case PT_STRING8:
      v.Value.lpszA = TakeString8(c, r);
      return;
    case PT_UNICODE:
      v.Value.lpszW = TakeString16(c, r);
      return;
    case PT_CLSID:
      v.Value.lpguid = TakeGuid(c, r);
      return;
    case PT_BINARY:
      ReadBinaryInto(c, r, v.ulPropTag, v.Value.bin.cb, v.Value.bin.lpb, true);
      return;
    case PT_MV_STRING8: {
      r.Need(count);  // at least the terminators
      auto* a = c.Array<LPSTR>(count);
      for (ULONG i = 0; i < count; ++i) a[i] = TakeString8(c, r);
      v.Value.MVszA = {count, a};
      return;
    }
    case PT_MV_UNICODE: {
      r.Need(2ull * count);
      auto* a = c.Array<LPWSTR>(count);
      for (ULONG i = 0; i < count; ++i) a[i] = TakeString16(c, r);
      v.Value.MVszW = {count, a};
      return;
    }
    case PT_MV_BINARY: {
      r.Need(4ull * count);
      auto* a = c.Array<SBinary>(count);
      for (ULONG i = 0; i < count; ++i) ReadBinaryInto(c, r, v.ulPropTag, a[i].cb, a[i].lpb, true);
      v.Value.MVbin = {count, a};
      return;
    }
    default:
      break;
  }
  if (size_t e = FixedElementSize(type)) {
    r.Need(std::uint64_t(count) * e);
    if (count == 0) {
      v.Value.MVi = {0, nullptr};
      return;
    }
    switch (type) {
      case PT_MV_I2: {
        auto* a = c.Array<SHORT>(count);
        for (ULONG i = 0; i < count; ++i) a[i] = static_cast<SHORT>(r.U16());
        v.Value.MVi = {count, a};
        return;
      }
      case PT_MV_LONG: {
        auto* a = c.Array<LONG>(count);
        for (ULONG i = 0; i < count; ++i) a[i] = static_cast<LONG>(r.U32());
        v.Value.MVl = {count, a};
        return;
      }
      case PT_MV_R4: {
        auto* a = c.Array<float>(count);
        for (ULONG i = 0; i < count; ++i) r.Bytes(&a[i], 4);
        v.Value.MVflt = {count, a};
        return;
      }
      case PT_MV_DOUBLE:
      case PT_MV_APPTIME: {
        auto* a = c.Array<double>(count);
        for (ULONG i = 0; i < count; ++i) r.Bytes(&a[i], 8);
        v.Value.MVdbl = {count, a};
        return;
      }
      case PT_MV_CURRENCY: {
        auto* a = c.Array<CURRENCY>(count);
        for (ULONG i = 0; i < count; ++i) a[i].int64 = static_cast<LONGLONG>(r.U64());
        v.Value.MVcur = {count, a};
        return;
      }
      case PT_MV_I8: {
        auto* a = c.Array<LARGE_INTEGER>(count);
        for (ULONG i = 0; i < count; ++i) a[i].QuadPart = static_cast<LONGLONG>(r.U64());
        v.Value.MVli = {count, a};
        return;
      }
      case PT_MV_SYSTIME: {
        auto* a = c.Array<FILETIME>(count);
        for (ULONG i = 0; i < count; ++i) {
          a[i].dwLowDateTime = r.U32();
          a[i].dwHighDateTime = r.U32();
        }
        v.Value.MVft = {count, a};
        return;
      }
      case PT_MV_CLSID: {
        auto* a = c.Array<GUID>(count);
        for (ULONG i = 0; i < count; ++i) TakeGuid(c, r, &a[i]);
        v.Value.MVguid = {count, a};
        return;
      }
      default:
        break;
    }
  }
  // Everything else lives in the image's value bytes.
  std::memcpy(&v.Value, value, 8);
}

SPropValue* CMapiMarshal::ReadPropsIn(Ctx& c, MarshalReader& r, ULONG count) const {
  if (count == 0) return nullptr;
  r.Need(std::uint64_t(count) * kValueImage);
  auto* values = c.Array<SPropValue>(count);
  for (ULONG i = 0; i < count; ++i) ReadPropInto(c, r, values[i]);
  return values;
}

HRESULT CMapiMarshal::ReadProps(MarshalReader& r, ULONG count, void* parent, LPSPropValue* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) { return ReadPropsIn(c, r, count); });
}

// ---- tag arrays and problem arrays --------------------------------------------

size_t CMapiMarshal::SizeTagArray(const SPropTagArray* tags) const {
  return 8 + 4 * size_t(tags ? tags->cValues : 0);
}

void CMapiMarshal::WriteTagArray(MarshalWriter& w, const SPropTagArray* tags) const {
  const ULONG n = tags ? tags->cValues : 0;
  w.U32(n);
  w.U32(n ? tags->aulPropTag[0] : 0);  // the filler repeats the first tag
  for (ULONG i = 0; i < n; ++i) w.U32(tags->aulPropTag[i]);
}

SPropTagArray* CMapiMarshal::ReadTagArrayIn(Ctx& c, MarshalReader& r) const {
  const ULONG n = r.U32();
  r.Skip(4);
  r.Need(4ull * n);
  auto* tags = static_cast<SPropTagArray*>(c.Get(CbNewSPropTagArray(n ? n : 1)));
  tags->cValues = n;
  for (ULONG i = 0; i < n; ++i) tags->aulPropTag[i] = r.U32();
  return tags;
}

HRESULT CMapiMarshal::ReadTagArray(MarshalReader& r, void* parent, LPSPropTagArray* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) { return ReadTagArrayIn(c, r); });
}

size_t CMapiMarshal::SizeProblems(const SPropProblemArray* p) const {
  return p ? 16 + 12 * size_t(p->cProblem) : 0;
}

void CMapiMarshal::WriteProblems(MarshalWriter& w, const SPropProblemArray* p) const {
  if (!p) return;
  w.U32(p->cProblem);
  for (ULONG i = 0; i < p->cProblem; ++i) {
    w.U32(p->aProblem[i].ulIndex);
    w.U32(p->aProblem[i].ulPropTag);
    w.U32(static_cast<ULONG>(p->aProblem[i].scode));
  }
  w.Zero(12);
}

HRESULT CMapiMarshal::ReadProblems(MarshalReader& r, void* parent, LPSPropProblemArray* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) -> SPropProblemArray* {
    if (r.Remaining() == 0) return nullptr;  // no problem array: an empty block
    const ULONG n = r.U32();
    r.Need(12ull * n + 12);
    auto* p = static_cast<SPropProblemArray*>(c.Get(CbNewSPropProblemArray(n ? n : 1)));
    p->cProblem = n;
    for (ULONG i = 0; i < n; ++i) {
      p->aProblem[i].ulIndex = r.U32();
      p->aProblem[i].ulPropTag = r.U32();
      p->aProblem[i].scode = static_cast<SCODE>(r.U32());
    }
    r.Skip(12);
    return p;
  });
}

// ---- row sets and address lists -------------------------------------------------

static_assert(sizeof(ADRENTRY) == sizeof(SRow) && offsetof(ADRLIST, aEntries) == offsetof(SRowSet, aRow) &&
              offsetof(ADRENTRY, rgPropVals) == offsetof(SRow, lpProps));

size_t CMapiMarshal::SizeRowsImpl(bool present, ULONG count, const SRow* rows) const {
  if (!present) return 1;
  size_t n = 1 + 4 + kRowImage * size_t(count) + 12;
  for (ULONG i = 0; i < count; ++i) n += SizeProps(rows[i].lpProps, rows[i].cValues);
  return n;
}

void CMapiMarshal::WriteRowsImpl(MarshalWriter& w, bool present, ULONG count, const SRow* rows) const {
  w.U8(present ? 1 : 0);
  if (!present) return;
  w.U32(count);
  for (ULONG i = 0; i < count; ++i) {
    w.U32(rows[i].ulAdrEntryPad);
    w.U32(rows[i].lpProps ? rows[i].cValues : 0);
    w.Ptr(rows[i].lpProps);
  }
  w.Zero(12);
  for (ULONG i = 0; i < count; ++i) WriteProps(w, rows[i].lpProps, rows[i].cValues);
}

size_t CMapiMarshal::SizeRowSet(const SRowSet* rows) const {
  return SizeRowsImpl(rows != nullptr, rows ? rows->cRows : 0, rows ? rows->aRow : nullptr);
}
void CMapiMarshal::WriteRowSet(MarshalWriter& w, const SRowSet* rows) const {
  WriteRowsImpl(w, rows != nullptr, rows ? rows->cRows : 0, rows ? rows->aRow : nullptr);
}
size_t CMapiMarshal::SizeAdrList(const ADRLIST* list) const {
  return SizeRowSet(reinterpret_cast<const SRowSet*>(list));
}
void CMapiMarshal::WriteAdrList(MarshalWriter& w, const ADRLIST* list) const {
  WriteRowSet(w, reinterpret_cast<const SRowSet*>(list));
}

SRowSet* CMapiMarshal::ReadRowSetIn(Ctx& c, MarshalReader& r) const {
  if (r.U8() == 0) return nullptr;
  const ULONG n = r.U32();
  r.Need(kRowImage * std::uint64_t(n) + 12);
  auto* rows = static_cast<SRowSet*>(c.Get(CbNewSRowSet(n ? n : 1)));
  rows->cRows = n;
  for (ULONG i = 0; i < n; ++i) {
    rows->aRow[i].ulAdrEntryPad = r.U32();
    rows->aRow[i].cValues = r.U32();
    r.Skip(4);
  }
  r.Skip(12);
  for (ULONG i = 0; i < n; ++i) rows->aRow[i].lpProps = ReadPropsIn(c, r, rows->aRow[i].cValues);
  return rows;
}

HRESULT CMapiMarshal::ReadRowSet(MarshalReader& r, void* parent, LPSRowSet* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) { return ReadRowSetIn(c, r); });
}
HRESULT CMapiMarshal::ReadAdrList(MarshalReader& r, void* parent, LPADRLIST* out) const {
  return Run(parent, reinterpret_cast<void**>(out),
             [&](Ctx& c) { return reinterpret_cast<ADRLIST*>(ReadRowSetIn(c, r)); });
}

// ---- sort order sets -------------------------------------------------------------

size_t CMapiMarshal::SizeSortOrderSet(const SSortOrderSet* s) const {
  return s ? 1 + 20 + 8 * size_t(s->cSorts) : 1;
}

void CMapiMarshal::WriteSortOrderSet(MarshalWriter& w, const SSortOrderSet* s) const {
  w.U8(s ? 1 : 0);
  if (!s) return;
  w.U32(s->cSorts);
  w.U32(s->cCategories);
  w.U32(s->cExpanded);
  for (ULONG i = 0; i < s->cSorts; ++i) {
    w.U32(s->aSort[i].ulPropTag);
    w.U32(s->aSort[i].ulOrder);
  }
  w.Zero(8);
}

HRESULT CMapiMarshal::ReadSortOrderSet(MarshalReader& r, void* parent, LPSSortOrderSet* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) -> SSortOrderSet* {
    if (r.U8() == 0) return nullptr;
    const ULONG n = r.U32();
    r.Need(8 + 8ull * n + 8);
    auto* s = static_cast<SSortOrderSet*>(c.Get(CbNewSSortOrderSet(n ? n : 1)));
    s->cSorts = n;
    s->cCategories = r.U32();
    s->cExpanded = r.U32();
    for (ULONG i = 0; i < n; ++i) {
      s->aSort[i].ulPropTag = r.U32();
      s->aSort[i].ulOrder = r.U32();
    }
    r.Skip(8);
    return s;
  });
}

// ---- restrictions ----------------------------------------------------------------

size_t CMapiMarshal::SizeRestriction(const SRestriction* res) const {
  return SizeRestrictionAt(res, 0);
}

size_t CMapiMarshal::SizeRestrictionAt(const SRestriction* res, int depth) const {
  if (!res) return 1;
  if (depth >= kMaxRestrictionDepth) throw MarshalError(MAPI_E_NO_SUPPORT, "restriction nested too deep");
  size_t n = 1 + kRestrictionImage;
  switch (res->rt) {
    case RES_AND:
    case RES_OR:
      n += 1;
      if (res->res.resAnd.lpRes)
        for (ULONG i = 0; i < res->res.resAnd.cRes; ++i) n += SizeRestrictionAt(&res->res.resAnd.lpRes[i], depth + 1);
      return n;
    case RES_NOT:
    case RES_SUBRESTRICTION:
      return n + SizeRestrictionAt(res->res.resNot.lpRes, depth + 1);
    case RES_CONTENT:
    case RES_PROPERTY: {
      static const SPropValue kEmpty{};
      const SPropValue* p = res->res.resProperty.lpProp;
      return n + SizeProp(p ? *p : kEmpty);
    }
    case RES_COMMENT:
      return n + SizeRestrictionAt(res->res.resComment.lpRes, depth + 1) +
             SizeProps(res->res.resComment.lpProp, res->res.resComment.cValues);
    default:
      return n;
  }
}

void CMapiMarshal::WriteRestriction(MarshalWriter& w, const SRestriction* res) const {
  WriteRestrictionAt(w, res, 0);
}

void CMapiMarshal::WriteRestrictionAt(MarshalWriter& w, const SRestriction* res, int depth) const {
  w.U8(res ? 1 : 0);
  if (!res) return;
  if (depth >= kMaxRestrictionDepth) throw MarshalError(MAPI_E_NO_SUPPORT, "restriction nested too deep");
  w.U32(res->rt);
  const auto& u = res->res;
  switch (res->rt) {
    case RES_AND:
    case RES_OR: {
      const ULONG n = u.resAnd.lpRes ? u.resAnd.cRes : 0;
      w.U32(n);
      w.Ptr(u.resAnd.lpRes);
      w.Zero(4);
      w.U8(u.resAnd.lpRes ? 1 : 0);
      for (ULONG i = 0; i < n; ++i) WriteRestrictionAt(w, &u.resAnd.lpRes[i], depth + 1);
      return;
    }
    case RES_NOT:
    case RES_SUBRESTRICTION:
      w.U32(u.resNot.ulReserved);
      w.Ptr(u.resNot.lpRes);
      w.Zero(4);
      WriteRestrictionAt(w, u.resNot.lpRes, depth + 1);
      return;
    case RES_CONTENT:
    case RES_PROPERTY: {
      static const SPropValue kEmpty{};
      w.U32(u.resProperty.relop);
      w.U32(u.resProperty.ulPropTag);
      w.Ptr(u.resProperty.lpProp);
      WriteProp(w, u.resProperty.lpProp ? *u.resProperty.lpProp : kEmpty);
      return;
    }
    case RES_COMMENT: {
      const ULONG n = u.resComment.lpProp ? u.resComment.cValues : 0;
      w.U32(n);
      w.Ptr(u.resComment.lpRes);
      w.Ptr(u.resComment.lpProp);
      WriteRestrictionAt(w, u.resComment.lpRes, depth + 1);
      WriteProps(w, u.resComment.lpProp, n);
      return;
    }
    default:
      // Three plain words (compare-props, bitmask, size, exist and unknown).
      w.U32(u.resCompareProps.relop);
      w.U32(u.resCompareProps.ulPropTag1);
      w.U32(u.resCompareProps.ulPropTag2);
      return;
  }
}

SRestriction* CMapiMarshal::ReadRestrictionIn(Ctx& c, MarshalReader& r, int depth) const {
  if (r.U8() == 0) return nullptr;
  auto* res = c.Array<SRestriction>(1);
  ReadRestrictionInto(c, r, *res, depth);
  return res;
}

void CMapiMarshal::ReadRestrictionInto(Ctx& c, MarshalReader& r, SRestriction& res, int depth) const {
  if (depth >= kMaxRestrictionDepth) Damaged("restriction nested too deep");
  res.rt = r.U32();
  const ULONG w1 = r.U32();
  const ULONG w2 = r.U32();
  const ULONG w3 = r.U32();
  auto& u = res.res;
  switch (res.rt) {
    case RES_AND:
    case RES_OR: {
      u.resAnd.cRes = w1;
      u.resAnd.lpRes = nullptr;
      if (r.U8() == 0) {
        u.resAnd.cRes = 0;
        return;
      }
      r.Need((1 + kRestrictionImage) * std::uint64_t(w1));
      auto* subs = w1 ? c.Array<SRestriction>(w1) : nullptr;
      for (ULONG i = 0; i < w1; ++i) {
        if (r.U8() == 0) Damaged("null member of a restriction array");
        ReadRestrictionInto(c, r, subs[i], depth + 1);
      }
      u.resAnd.lpRes = subs;
      return;
    }
    case RES_NOT:
    case RES_SUBRESTRICTION:
      u.resNot.ulReserved = w1;
      u.resNot.lpRes = ReadRestrictionIn(c, r, depth + 1);
      return;
    case RES_CONTENT:
    case RES_PROPERTY:
      u.resProperty.relop = w1;
      u.resProperty.ulPropTag = w2;
      u.resProperty.lpProp = ReadPropsIn(c, r, 1);
      return;
    case RES_COMMENT:
      u.resComment.cValues = w1;
      u.resComment.lpRes = ReadRestrictionIn(c, r, depth + 1);
      u.resComment.lpProp = ReadPropsIn(c, r, w1);
      return;
    default:
      u.resCompareProps.relop = w1;
      u.resCompareProps.ulPropTag1 = w2;
      u.resCompareProps.ulPropTag2 = w3;
      return;
  }
}

HRESULT CMapiMarshal::ReadRestriction(MarshalReader& r, void* parent, LPSRestriction* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) { return ReadRestrictionIn(c, r, 0); });
}

// ---- entry lists -------------------------------------------------------------------

size_t CMapiMarshal::SizeEntryList(const ENTRYLIST* list) const {
  if (!list) return 1;
  size_t n = 9;
  if (list->lpbin)
    for (ULONG i = 0; i < list->cValues; ++i) n += SizeBinary(list->lpbin[i].cb, list->lpbin[i].lpb);
  return n;
}

void CMapiMarshal::WriteEntryList(MarshalWriter& w, const ENTRYLIST* list) const {
  w.U8(list ? 1 : 0);
  if (!list) return;
  const ULONG n = list->lpbin ? list->cValues : 0;
  w.U32(n);
  w.Ptr(list->lpbin);
  for (ULONG i = 0; i < n; ++i) WriteBinary(w, list->lpbin[i].cb, list->lpbin[i].lpb);
}

HRESULT CMapiMarshal::ReadEntryList(MarshalReader& r, void* parent, LPENTRYLIST* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) -> ENTRYLIST* {
    if (r.U8() == 0) return nullptr;
    const ULONG n = r.U32();
    r.Skip(4);
    r.Need(4ull * n);
    auto* list = c.Array<ENTRYLIST>(1);
    list->cValues = n;
    list->lpbin = n ? c.Array<SBinary>(n) : nullptr;
    for (ULONG i = 0; i < n; ++i) ReadBinaryInto(c, r, 0, list->lpbin[i].cb, list->lpbin[i].lpb, true);
    return list;
  });
}

// ---- error records -------------------------------------------------------------------

size_t CMapiMarshal::SizeError(const MAPIERROR* e) const {
  size_t n = 20;
  if (e && e->lpszComponent) n += SizeString8(e->lpszComponent);
  if (e && e->lpszError) n += SizeString8(e->lpszError);
  return n;
}

void CMapiMarshal::WriteError(MarshalWriter& w, const MAPIERROR* e) const {
  if (!e) {
    w.Zero(20);  // decodes to an empty record
    return;
  }
  w.U32(e->ulVersion);
  w.Ptr(e->lpszError);
  w.Ptr(e->lpszComponent);
  w.U32(e->ulLowLevelError);
  w.U32(e->ulContext);
  if (e->lpszComponent) WriteString8(w, e->lpszComponent);
  if (e->lpszError) WriteString8(w, e->lpszError);
}

MAPIERROR* CMapiMarshal::ReadErrorIn(Ctx& c, MarshalReader& r) const {
  auto* e = c.Array<MAPIERROR>(1);
  e->ulVersion = r.U32();
  const ULONG error_ptr = r.U32();
  const ULONG component_ptr = r.U32();
  e->ulLowLevelError = r.U32();
  e->ulContext = r.U32();
  if (component_ptr) e->lpszComponent = TakeString8(c, r);
  if (error_ptr) e->lpszError = TakeString8(c, r);
  return e;
}

HRESULT CMapiMarshal::ReadError(MarshalReader& r, void* parent, LPMAPIERROR* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) { return ReadErrorIn(c, r); });
}

// ---- named-property identifiers ------------------------------------------------------

size_t CMapiMarshal::SizeNameID(const MAPINAMEID* name) const {
  size_t n = 12;
  if (!name) return n;
  if (name->lpguid) n += 16;
  if (name->ulKind == MNID_STRING && name->Kind.lpwstrName) n += SizeString16(name->Kind.lpwstrName);
  return n;
}

void CMapiMarshal::WriteNameID(MarshalWriter& w, const MAPINAMEID* name) const {
  if (!name) {
    w.Zero(12);
    return;
  }
  w.Ptr(name->lpguid);
  w.U32(name->ulKind);
  if (name->ulKind == MNID_STRING)
    w.Ptr(name->Kind.lpwstrName);
  else
    w.U32(static_cast<ULONG>(name->Kind.lID));
  if (name->lpguid) w.Bytes(GuidToBytes(*name->lpguid).data(), 16);
  if (name->ulKind == MNID_STRING && name->Kind.lpwstrName) WriteString16(w, name->Kind.lpwstrName);
}

size_t CMapiMarshal::SizeNameIDArray(MAPINAMEID* const* names, ULONG count) const {
  size_t n = 0;
  for (ULONG i = 0; i < count; ++i) n += SizeNameID(names ? names[i] : nullptr);
  return n;
}

void CMapiMarshal::WriteNameIDArray(MarshalWriter& w, MAPINAMEID* const* names, ULONG count) const {
  for (ULONG i = 0; i < count; ++i) WriteNameID(w, names ? names[i] : nullptr);
}

MAPINAMEID* CMapiMarshal::ReadNameIDIn(Ctx& c, MarshalReader& r) const {
  auto* name = c.Array<MAPINAMEID>(1);
  const ULONG guid_ptr = r.U32();
  name->ulKind = r.U32();
  const ULONG word = r.U32();
  name->Kind.lID = static_cast<LONG>(word);
  if (name->ulKind == MNID_STRING) name->Kind.lpwstrName = nullptr;
  if (guid_ptr) name->lpguid = TakeGuid(c, r);
  if (name->ulKind == MNID_STRING && word) name->Kind.lpwstrName = TakeString16(c, r);
  return name;
}

HRESULT CMapiMarshal::ReadMAPINAMEID(MarshalReader& r, void* parent, LPMAPINAMEID* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) { return ReadNameIDIn(c, r); });
}

HRESULT CMapiMarshal::ReadMAPINAMEIDArray(MarshalReader& r, ULONG count, void* parent, LPMAPINAMEID** out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) -> MAPINAMEID** {
    if (count == 0) return nullptr;
    r.Need(12ull * count);
    auto* names = c.Array<LPMAPINAMEID>(count);
    for (ULONG i = 0; i < count; ++i) {
      try {
        names[i] = ReadNameIDIn(c, r);
      } catch (const MarshalError&) {
        char text[64];
        std::snprintf(text, sizeof text, "ReadMAPINAMEID %d von %d", static_cast<int>(i), static_cast<int>(count));
        MessageBox(nullptr, text, "Error in ReadMAPINAMEIDArray", MB_OK | MB_ICONERROR);
        names[i] = nullptr;
        // Nothing after a damaged element can be placed: the cursor goes to the
        // end, so each later element fails (and is reported) in turn.
        r.SkipToEnd();
      }
    }
    return names;
  });
}

// ---- notifications -------------------------------------------------------------------

size_t CMapiMarshal::SizeNotification(const NOTIFICATION* n) const {
  if (!n) return 1;
  size_t s = 1 + kNotificationImage;
  const ULONG type = n->ulEventType;
  if (type == fnevCriticalError) {
    const auto& e = n->info.err;
    return s + 4 + NotifLen(e.cbEntryID, e.lpEntryID) + SizeError(e.lpMAPIError);
  }
  if (type == fnevNewMail) {
    const auto& m = n->info.newmail;
    return s + 8 + NotifLen(m.cbEntryID, m.lpEntryID) + NotifLen(m.cbParentID, m.lpParentID) +
           SizeString8(m.lpszMessageClass);
  }
  if (IsObjectEvent(type)) {
    const auto& o = n->info.obj;
    s += 16 + NotifLen(o.cbEntryID, o.lpEntryID) + NotifLen(o.cbParentID, o.lpParentID) +
         NotifLen(o.cbOldID, o.lpOldID) + NotifLen(o.cbOldParentID, o.lpOldParentID);
    if (o.lpPropTagArray) s += SizeTagArray(o.lpPropTagArray);
    return s;
  }
  if (type == fnevTableModified) {
    const auto& t = n->info.tab;
    s += SizeProp(t.propIndex) + SizeProp(t.propPrior);
    if (t.row.lpProps) s += SizeProps(t.row.lpProps, t.row.cValues);
    return s;
  }
  if (type == fnevExtended) return s + 4 + NotifLen(n->info.ext.cb, n->info.ext.pbEventParameters);
  return s;
}

namespace {
void WriteCounted(MarshalWriter& w, ULONG cb, const void* p) {
  cb = NotifLen(cb, p);
  w.U32(cb);
  w.Bytes(p, cb);
}
}  // namespace

void CMapiMarshal::WriteNotification(MarshalWriter& w, const NOTIFICATION* n) const {
  w.U8(n ? 1 : 0);
  if (!n) return;
  const ULONG type = n->ulEventType;
  w.U32(type);
  w.U32(0);
  // The 56-byte union, composed in a scratch image of its own.
  BYTE image[56] = {};
  MarshalWriter u(image, sizeof image);
  if (type == fnevCriticalError) {
    const auto& e = n->info.err;
    u.U32(NotifLen(e.cbEntryID, e.lpEntryID));
    u.Ptr(e.lpEntryID);
    u.U32(static_cast<ULONG>(e.scode));
    u.U32(e.ulFlags);
    u.Ptr(e.lpMAPIError);
  } else if (type == fnevNewMail) {
    const auto& m = n->info.newmail;
    u.U32(NotifLen(m.cbEntryID, m.lpEntryID));
    u.Ptr(m.lpEntryID);
    u.U32(NotifLen(m.cbParentID, m.lpParentID));
    u.Ptr(m.lpParentID);
    u.U32(m.ulFlags);
    u.Ptr(m.lpszMessageClass);
    u.U32(m.ulMessageFlags);
  } else if (IsObjectEvent(type)) {
    const auto& o = n->info.obj;
    u.U32(NotifLen(o.cbEntryID, o.lpEntryID));
    u.Ptr(o.lpEntryID);
    u.U32(o.ulObjType);
    u.U32(NotifLen(o.cbParentID, o.lpParentID));
    u.Ptr(o.lpParentID);
    u.U32(NotifLen(o.cbOldID, o.lpOldID));
    u.Ptr(o.lpOldID);
    u.U32(NotifLen(o.cbOldParentID, o.lpOldParentID));
    u.Ptr(o.lpOldParentID);
    u.Ptr(o.lpPropTagArray);
  } else if (type == fnevTableModified) {
    const auto& t = n->info.tab;
    u.U32(t.ulTableEvent);
    u.U32(static_cast<ULONG>(t.hResult));
    WriteValueImage(u, t.propIndex);
    WriteValueImage(u, t.propPrior);
    u.U32(t.row.ulAdrEntryPad);
    u.U32(t.row.lpProps ? t.row.cValues : 0);
    u.Ptr(t.row.lpProps);
    u.U32(t.ulPad);
  } else if (type == fnevExtended) {
    const auto& x = n->info.ext;
    u.U32(x.ulEvent);
    u.U32(NotifLen(x.cb, x.pbEventParameters));
    u.Ptr(x.pbEventParameters);
  } else if (type == fnevStatusObjectModified) {
    const auto& so = n->info.statobj;
    u.U32(so.cbEntryID);
    u.Ptr(so.lpEntryID);
    u.U32(so.cValues);
    u.Ptr(so.lpPropVals);
  }
  w.Bytes(image, sizeof image);

  if (type == fnevCriticalError) {
    WriteCounted(w, n->info.err.cbEntryID, n->info.err.lpEntryID);
    WriteError(w, n->info.err.lpMAPIError);
  } else if (type == fnevNewMail) {
    const auto& m = n->info.newmail;
    WriteCounted(w, m.cbEntryID, m.lpEntryID);
    WriteCounted(w, m.cbParentID, m.lpParentID);
    WriteString8(w, m.lpszMessageClass);
  } else if (IsObjectEvent(type)) {
    const auto& o = n->info.obj;
    WriteCounted(w, o.cbEntryID, o.lpEntryID);
    WriteCounted(w, o.cbParentID, o.lpParentID);
    WriteCounted(w, o.cbOldID, o.lpOldID);
    WriteCounted(w, o.cbOldParentID, o.lpOldParentID);
    if (o.lpPropTagArray) WriteTagArray(w, o.lpPropTagArray);
  } else if (type == fnevTableModified) {
    const auto& t = n->info.tab;
    WriteProp(w, t.propIndex);
    WriteProp(w, t.propPrior);
    if (t.row.lpProps) WriteProps(w, t.row.lpProps, t.row.cValues);
  } else if (type == fnevExtended) {
    WriteCounted(w, n->info.ext.cb, n->info.ext.pbEventParameters);
  }
}

namespace {
template <typename Ctx>
void TakeCounted(Ctx& c, MarshalReader& r, ULONG& cb, LPENTRYID& id) {
  cb = r.U32();
  const BYTE* src = r.Take(cb);
  id = nullptr;
  if (cb) {
    id = static_cast<LPENTRYID>(c.Get(cb));
    std::memcpy(id, src, cb);
  }
}
ULONG Word(const BYTE* image, size_t offset) {
  return LoadLe32(image + offset);
}
}  // namespace

HRESULT CMapiMarshal::ReadNotification(MarshalReader& r, void* parent, LPNOTIFICATION* out) const {
  return Run(parent, reinterpret_cast<void**>(out), [&](Ctx& c) -> NOTIFICATION* {
    if (r.U8() == 0) return nullptr;
    // The entry IDs a notification names, in the reader's form.
    auto take_id = [&](ULONG& cb, LPENTRYID& id) {
      TakeCounted(c, r, cb, id);
      std::vector<BYTE> t;
      if (!translate_ || !id || !translate_(Direction::kIncoming, {reinterpret_cast<const BYTE*>(id), cb}, t)) return;
      id = t.empty() ? nullptr : static_cast<LPENTRYID>(c.Get(t.size()));
      if (!t.empty()) std::memcpy(id, t.data(), t.size());
      cb = static_cast<ULONG>(t.size());
    };
    auto* n = c.Array<NOTIFICATION>(1);
    n->ulEventType = r.U32();
    r.Skip(4);
    const BYTE* u = r.Take(56);
    const ULONG type = n->ulEventType;
    if (type == fnevCriticalError) {
      auto& e = n->info.err;
      e.scode = static_cast<SCODE>(Word(u, 8));
      e.ulFlags = Word(u, 12);
      take_id(e.cbEntryID, e.lpEntryID);
      e.lpMAPIError = ReadErrorIn(c, r);
    } else if (type == fnevNewMail) {
      auto& m = n->info.newmail;
      m.ulFlags = Word(u, 16);
      m.ulMessageFlags = Word(u, 24);
      take_id(m.cbEntryID, m.lpEntryID);
      take_id(m.cbParentID, m.lpParentID);
      m.lpszMessageClass = TakeString8(c, r);
    } else if (IsObjectEvent(type)) {
      auto& o = n->info.obj;
      o.ulObjType = Word(u, 8);
      take_id(o.cbEntryID, o.lpEntryID);
      take_id(o.cbParentID, o.lpParentID);
      take_id(o.cbOldID, o.lpOldID);
      take_id(o.cbOldParentID, o.lpOldParentID);
      if (Word(u, 36)) o.lpPropTagArray = ReadTagArrayIn(c, r);
    } else if (type == fnevTableModified) {
      auto& t = n->info.tab;
      t.ulTableEvent = Word(u, 0);
      t.hResult = static_cast<HRESULT>(Word(u, 4));
      ReadPropInto(c, r, t.propIndex);
      ReadPropInto(c, r, t.propPrior);
      t.row.ulAdrEntryPad = Word(u, 40);
      t.row.cValues = Word(u, 44);
      t.ulPad = Word(u, 52);
      if (Word(u, 48))
        t.row.lpProps = ReadPropsIn(c, r, t.row.cValues);
      else
        t.row.cValues = 0;
    } else if (type == fnevExtended) {
      auto& x = n->info.ext;
      x.ulEvent = Word(u, 0);
      LPENTRYID p;
      TakeCounted(c, r, x.cb, p);
      x.pbEventParameters = reinterpret_cast<LPBYTE>(p);
    } else if (type == fnevStatusObjectModified) {
      // The image alone: the counts survive, the pointers cannot.
      n->info.statobj.cbEntryID = 0;
      n->info.statobj.cValues = 0;
    }
    return n;
  });
}

}  // namespace vantrel::zel
