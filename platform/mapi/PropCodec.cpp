#include "platform/mapi/PropCodec.h"

#include <cstring>
#include <string>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiMemory.h"

namespace vantrel::mapi {
namespace {

size_t FixedSize(ULONG base) {
  switch (base) {
    case PT_I2:
    case PT_BOOLEAN:
      return 2;
    case PT_LONG:
    case PT_R4:
    case PT_ERROR:
      return 4;
    case PT_DOUBLE:
    case PT_CURRENCY:
    case PT_APPTIME:
    case PT_SYSTIME:
    case PT_I8:
      return 8;
    case PT_CLSID:
      return 16;
    default:
      return 0;
  }
}

bool IsVar(ULONG base) {
  return base == PT_STRING8 || base == PT_UNICODE || base == PT_BINARY;
}

void PutU32(std::vector<BYTE>& o, uint32_t v) {
  for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(v >> (8 * i)));
}

// One element's bytes as the stored form (strings as UTF-8).
std::string VarBytes(ULONG base, const void* p, ULONG cb) {
  if (base == PT_STRING8) return AnsiToUtf8(p ? static_cast<const char*>(p) : "");
  if (base == PT_UNICODE) return Utf16ToUtf8(p ? static_cast<const char16_t*>(p) : u"");
  return std::string(static_cast<const char*>(p), cb);
}

const void* FixedPtr(ULONG base, const _PV& v) {
  switch (base) {
    case PT_I2:
      return &v.i;
    case PT_BOOLEAN:
      return &v.b;
    case PT_LONG:
      return &v.l;
    case PT_R4:
      return &v.flt;
    case PT_ERROR:
      return &v.err;
    case PT_DOUBLE:
      return &v.dbl;
    case PT_CURRENCY:
      return &v.cur;
    case PT_APPTIME:
      return &v.at;
    case PT_SYSTIME:
      return &v.ft;
    case PT_I8:
      return &v.li;
    case PT_CLSID:
      return v.lpguid;
  }
  return nullptr;
}

class Cursor {
 public:
  explicit Cursor(const std::vector<BYTE>& b) : p_(b.data()), n_(b.size()) {}
  bool U32(uint32_t& v) {
    if (n_ < 4) return false;
    v = p_[0] | (p_[1] << 8) | (p_[2] << 16) | (static_cast<uint32_t>(p_[3]) << 24);
    p_ += 4;
    n_ -= 4;
    return true;
  }
  const BYTE* Take(size_t k) {
    if (n_ < k) return nullptr;
    const BYTE* r = p_;
    p_ += k;
    n_ -= k;
    return r;
  }
  size_t left() const { return n_; }

 private:
  const BYTE* p_;
  size_t n_;
};

// Converts one stored (UTF-8) string into the requested base type.
HRESULT PutString(ULONG base, const BYTE* p, size_t n, void* root, void** out) {
  std::string_view utf8(reinterpret_cast<const char*>(p), n);
  if (base == PT_UNICODE) {
    std::u16string w = Utf8ToUtf16(utf8);
    void* m;
    if (MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * 2), root, &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(m, w.c_str(), (w.size() + 1) * 2);
    *out = m;
  } else {
    std::string a = Utf8ToAnsi(utf8);
    void* m;
    if (MAPIAllocateMore(static_cast<ULONG>(a.size() + 1), root, &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(m, a.c_str(), a.size() + 1);
    *out = m;
  }
  return S_OK;
}

}  // namespace

ULONG StoredType(ULONG type) {
  if (type == PT_STRING8) return PT_UNICODE;
  if (type == PT_MV_STRING8) return PT_MV_UNICODE;
  return type;
}

std::optional<std::vector<BYTE>> EncodeProp(const SPropValue& v) {
  ULONG type = PROP_TYPE(v.ulPropTag);
  ULONG base = type & ~MV_FLAG;
  std::vector<BYTE> o;
  if (!(type & MV_FLAG)) {
    if (size_t fs = FixedSize(base)) {
      const void* p = FixedPtr(base, v.Value);
      if (!p) return std::nullopt;
      o.assign(static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + fs);
      return o;
    }
    if (base == PT_STRING8) {
      auto s = VarBytes(base, v.Value.lpszA, 0);
      return std::vector<BYTE>(s.begin(), s.end());
    }
    if (base == PT_UNICODE) {
      auto s = VarBytes(base, v.Value.lpszW, 0);
      return std::vector<BYTE>(s.begin(), s.end());
    }
    if (base == PT_BINARY) {
      if (v.Value.bin.cb && !v.Value.bin.lpb) return std::nullopt;
      return std::vector<BYTE>(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
    }
    return std::nullopt;
  }
  // Every multi-valued array has its count first and its pointer second.
  ULONG count = v.Value.MVl.cValues;
  PutU32(o, count);
  if (size_t fs = FixedSize(base)) {
    if (base == PT_ERROR || base == PT_BOOLEAN) return std::nullopt;
    const BYTE* arr = base == PT_CLSID ? reinterpret_cast<const BYTE*>(v.Value.MVguid.lpguid)
                                       : reinterpret_cast<const BYTE*>(v.Value.MVl.lpl);
    if (count && !arr) return std::nullopt;
    o.insert(o.end(), arr, arr + size_t{count} * fs);
    return o;
  }
  if (!IsVar(base)) return std::nullopt;
  for (ULONG i = 0; i < count; ++i) {
    std::string s;
    if (base == PT_BINARY)
      s = VarBytes(base, v.Value.MVbin.lpbin[i].lpb, v.Value.MVbin.lpbin[i].cb);
    else if (base == PT_STRING8)
      s = VarBytes(base, v.Value.MVszA.lppszA[i], 0);
    else
      s = VarBytes(base, v.Value.MVszW.lppszW[i], 0);
    PutU32(o, static_cast<uint32_t>(s.size()));
    o.insert(o.end(), s.begin(), s.end());
  }
  return o;
}

HRESULT DecodeProp(ULONG tag, ULONG stored_type, const std::vector<BYTE>& bytes, void* root, SPropValue& out) {
  ULONG want = PROP_TYPE(tag);
  if (StoredType(want) != stored_type) return MAPI_E_INVALID_TYPE;
  if (want == PT_OBJECT) return MAPI_E_NO_SUPPORT;  // objects are opened with OpenProperty
  out.ulPropTag = tag;
  out.dwAlignPad = 0;
  ULONG base = want & ~MV_FLAG;
  if (!(want & MV_FLAG)) {
    if (size_t fs = FixedSize(base)) {
      if (bytes.size() != fs) return MAPI_E_CORRUPT_DATA;
      if (base == PT_CLSID) {
        void* m;
        if (MAPIAllocateMore(16, root, &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
        std::memcpy(m, bytes.data(), 16);
        out.Value.lpguid = static_cast<LPGUID>(m);
      } else {
        std::memset(&out.Value, 0, sizeof(out.Value));
        std::memcpy(const_cast<void*>(FixedPtr(base, out.Value)), bytes.data(), fs);
      }
      return S_OK;
    }
    if (base != PT_STRING8 && base != PT_UNICODE && base != PT_BINARY) return MAPI_E_INVALID_TYPE;
    if (base == PT_BINARY) {
      void* m = nullptr;
      if (MAPIAllocateMore(static_cast<ULONG>(bytes.size() ? bytes.size() : 1), root, &m))
        return MAPI_E_NOT_ENOUGH_MEMORY;
      if (!bytes.empty()) std::memcpy(m, bytes.data(), bytes.size());
      out.Value.bin.cb = static_cast<ULONG>(bytes.size());
      out.Value.bin.lpb = static_cast<LPBYTE>(m);
      return S_OK;
    }
    void* s;
    HRESULT hr = PutString(base, bytes.data(), bytes.size(), root, &s);
    if (base == PT_UNICODE)
      out.Value.lpszW = static_cast<LPWSTR>(s);
    else
      out.Value.lpszA = static_cast<LPSTR>(s);
    return hr;
  }
  Cursor c(bytes);
  uint32_t count;
  if (!c.U32(count)) return MAPI_E_CORRUPT_DATA;
  if (size_t fs = FixedSize(base)) {
    if (c.left() != size_t{count} * fs) return MAPI_E_CORRUPT_DATA;
    void* m;
    if (MAPIAllocateMore(static_cast<ULONG>(count * fs + 1), root, &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    std::memcpy(m, c.Take(count * fs), count * fs);
    out.Value.MVl.cValues = count;
    out.Value.MVl.lpl = static_cast<LONG*>(m);
    if (base == PT_CLSID) out.Value.MVguid.lpguid = static_cast<GUID*>(m);
    return S_OK;
  }
  if (count > c.left() / 4) return MAPI_E_CORRUPT_DATA;
  void* arr;
  size_t elem = base == PT_BINARY ? sizeof(SBinary) : sizeof(void*);
  if (MAPIAllocateMore(static_cast<ULONG>(count * elem + 1), root, &arr)) return MAPI_E_NOT_ENOUGH_MEMORY;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t len;
    const BYTE* p;
    if (!c.U32(len) || !(p = c.Take(len))) return MAPI_E_CORRUPT_DATA;
    if (base == PT_BINARY) {
      void* m;
      if (MAPIAllocateMore(len ? len : 1, root, &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
      std::memcpy(m, p, len);
      static_cast<SBinary*>(arr)[i] = {len, static_cast<LPBYTE>(m)};
    } else {
      void* s;
      if (HRESULT hr = PutString(base, p, len, root, &s); FAILED(hr)) return hr;
      static_cast<void**>(arr)[i] = s;
    }
  }
  out.Value.MVbin.cValues = count;
  out.Value.MVbin.lpbin = static_cast<SBinary*>(arr);
  if (base != PT_BINARY) out.Value.MVszA.lppszA = static_cast<LPSTR*>(arr);
  return S_OK;
}

}  // namespace vantrel::mapi
