#include "platform/mapi/PropCodec.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/base/ByteCoder.h"
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
    // ASCII reads the same in both: most stored text is copied as it is.
    const bool ascii = std::all_of(p, p + n, [](BYTE b) { return b < 0x80; });
    std::string a = ascii ? std::string() : Utf8ToAnsi(utf8);
    std::string_view text = ascii ? utf8 : std::string_view(a);
    void* m;
    if (MAPIAllocateMore(static_cast<ULONG>(text.size() + 1), root, &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    if (!text.empty()) std::memcpy(m, text.data(), text.size());  // an empty view may have no data
    static_cast<char*>(m)[text.size()] = '\0';
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
  LeWriter(o).U32(count);
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
    LeWriter(o).U32(static_cast<uint32_t>(s.size()));
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
  LeReader c(bytes);
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
  if (!c.Need(count, 4)) return MAPI_E_CORRUPT_DATA;
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

namespace vantrel::mapi {
namespace {

constexpr int kMaxDepth = 64;

bool PutValue(std::vector<BYTE>& o, const SPropValue* v) {
  if (!v) return false;
  auto enc = EncodeProp(*v);
  if (!enc) return false;
  LeWriter(o).U32(v->ulPropTag);
  LeWriter(o).U32(static_cast<uint32_t>(enc->size()));
  o.insert(o.end(), enc->begin(), enc->end());
  return true;
}

bool PutRes(std::vector<BYTE>& o, const SRestriction& r, int depth) {
  if (depth > kMaxDepth) return false;
  LeWriter(o).U32(r.rt);
  switch (r.rt) {
    case RES_AND:
    case RES_OR:
      if (r.res.resAnd.cRes && !r.res.resAnd.lpRes) return false;
      LeWriter(o).U32(r.res.resAnd.cRes);
      for (ULONG i = 0; i < r.res.resAnd.cRes; ++i)
        if (!PutRes(o, r.res.resAnd.lpRes[i], depth + 1)) return false;
      return true;
    case RES_NOT:
      return r.res.resNot.lpRes && PutRes(o, *r.res.resNot.lpRes, depth + 1);
    case RES_CONTENT:
      LeWriter(o).U32(r.res.resContent.ulFuzzyLevel);
      LeWriter(o).U32(r.res.resContent.ulPropTag);
      return PutValue(o, r.res.resContent.lpProp);
    case RES_PROPERTY:
      LeWriter(o).U32(r.res.resProperty.relop);
      LeWriter(o).U32(r.res.resProperty.ulPropTag);
      return PutValue(o, r.res.resProperty.lpProp);
    case RES_COMPAREPROPS:
    case RES_BITMASK:
    case RES_SIZE:
    case RES_EXIST:
      // Three words in each of these.
      LeWriter(o).U32(r.res.resCompareProps.relop);
      LeWriter(o).U32(r.res.resCompareProps.ulPropTag1);
      LeWriter(o).U32(r.res.resCompareProps.ulPropTag2);
      return true;
    case RES_SUBRESTRICTION:
      LeWriter(o).U32(r.res.resSub.ulSubObject);
      return r.res.resSub.lpRes && PutRes(o, *r.res.resSub.lpRes, depth + 1);
    case RES_COMMENT:
      LeWriter(o).U32(r.res.resComment.cValues);
      for (ULONG i = 0; i < r.res.resComment.cValues; ++i)
        if (!PutValue(o, &r.res.resComment.lpProp[i])) return false;
      LeWriter(o).U32(r.res.resComment.lpRes ? 1 : 0);
      return !r.res.resComment.lpRes || PutRes(o, *r.res.resComment.lpRes, depth + 1);
  }
  return false;
}

class ResReader {
 public:
  ResReader(const std::vector<BYTE>& b, void* root) : c_(b), root_(root) {}
  HRESULT Value(LPSPropValue* out, ULONG n = 1) {
    void* m;
    if (MAPIAllocateMore(static_cast<ULONG>(sizeof(SPropValue) * (n ? n : 1)), root_, &m))
      return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* v = static_cast<SPropValue*>(m);
    for (ULONG i = 0; i < n; ++i) {
      uint32_t tag, len;
      const BYTE* p;
      if (!c_.U32(tag) || !c_.U32(len) || !(p = c_.Take(len))) return MAPI_E_CORRUPT_DATA;
      std::vector<BYTE> bytes(p, p + len);
      if (HRESULT hr = DecodeProp(tag, StoredType(PROP_TYPE(tag)), bytes, root_, v[i]); FAILED(hr)) return hr;
      v[i].ulPropTag = tag;
    }
    *out = v;
    return S_OK;
  }
  HRESULT Res(SRestriction& r, int depth) {
    if (depth > kMaxDepth) return MAPI_E_CORRUPT_DATA;
    uint32_t a, b, c;
    if (!c_.U32(a)) return MAPI_E_CORRUPT_DATA;
    r.rt = a;
    switch (r.rt) {
      case RES_AND:
      case RES_OR: {
        if (!c_.U32(a) || !c_.Need(a, 4)) return MAPI_E_CORRUPT_DATA;
        void* m;
        if (MAPIAllocateMore(static_cast<ULONG>(sizeof(SRestriction) * (a ? a : 1)), root_, &m))
          return MAPI_E_NOT_ENOUGH_MEMORY;
        r.res.resAnd.cRes = a;
        r.res.resAnd.lpRes = static_cast<LPSRestriction>(m);
        for (uint32_t i = 0; i < a; ++i)
          if (HRESULT hr = Res(r.res.resAnd.lpRes[i], depth + 1); FAILED(hr)) return hr;
        return S_OK;
      }
      case RES_NOT:
        r.res.resNot.ulReserved = 0;
        return Child(&r.res.resNot.lpRes, depth);
      case RES_CONTENT:
      case RES_PROPERTY:
        if (!c_.U32(a) || !c_.U32(b)) return MAPI_E_CORRUPT_DATA;
        r.res.resProperty.relop = a;
        r.res.resProperty.ulPropTag = b;
        return Value(&r.res.resProperty.lpProp);
      case RES_COMPAREPROPS:
      case RES_BITMASK:
      case RES_SIZE:
      case RES_EXIST:
        if (!c_.U32(a) || !c_.U32(b) || !c_.U32(c)) return MAPI_E_CORRUPT_DATA;
        r.res.resCompareProps = {a, b, c};
        return S_OK;
      case RES_SUBRESTRICTION:
        if (!c_.U32(a)) return MAPI_E_CORRUPT_DATA;
        r.res.resSub.ulSubObject = a;
        return Child(&r.res.resSub.lpRes, depth);
      case RES_COMMENT: {
        if (!c_.U32(a) || !c_.Need(a, 8)) return MAPI_E_CORRUPT_DATA;
        r.res.resComment.cValues = a;
        if (HRESULT hr = Value(&r.res.resComment.lpProp, a); FAILED(hr)) return hr;
        if (!c_.U32(b)) return MAPI_E_CORRUPT_DATA;
        r.res.resComment.lpRes = nullptr;
        return b ? Child(&r.res.resComment.lpRes, depth) : S_OK;
      }
    }
    return MAPI_E_CORRUPT_DATA;
  }
  size_t left() const { return c_.left(); }

 private:
  HRESULT Child(LPSRestriction* out, int depth) {
    void* m;
    if (MAPIAllocateMore(sizeof(SRestriction), root_, &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    *out = static_cast<LPSRestriction>(m);
    return Res(**out, depth + 1);
  }
  LeReader c_;
  void* root_;
};

}  // namespace

std::optional<std::vector<BYTE>> EncodeRestriction(const SRestriction& r) {
  std::vector<BYTE> o;
  if (!PutRes(o, r, 0)) return std::nullopt;
  return o;
}

HRESULT DecodeRestriction(const std::vector<BYTE>& bytes, LPSRestriction* out) {
  void* root;
  if (MAPIAllocateBuffer(sizeof(SRestriction), &root)) return MAPI_E_NOT_ENOUGH_MEMORY;
  ResReader r(bytes, root);
  HRESULT hr = r.Res(*static_cast<LPSRestriction>(root), 0);
  if (SUCCEEDED(hr) && r.left() != 0) hr = MAPI_E_CORRUPT_DATA;
  if (FAILED(hr)) {
    MAPIFreeBuffer(root);
    return hr;
  }
  *out = static_cast<LPSRestriction>(root);
  return S_OK;
}

}  // namespace vantrel::mapi
