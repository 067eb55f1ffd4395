#include "Libraries/MapiWrapper/PropValue.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "Libraries/MapiWrapper/MapiException.h"
#include "platform/base/CodePage.h"
#include "platform/base/Guid.h"
#include "platform/base/Variant.h"

using vantrel::Variant;
using vantrel::VarType;

namespace {

LPVOID AllocateMore(size_t cb, LPVOID parent) {
  LPVOID p = nullptr;
  CheckHr(MAPIAllocateMore(static_cast<ULONG>(cb), parent, &p));
  return p;
}

LPSTR CopyString(std::string_view s, LPVOID parent) {
  auto* p = static_cast<LPSTR>(AllocateMore(s.size() + 1, parent));
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

// The value as a variant, for the text form.
Variant ToVariant(const SPropValue& v) {
  Variant r;
  switch (PROP_TYPE(v.ulPropTag)) {
    case PT_I2:
      r.vt = VarType::I4;
      r.lVal = v.Value.i;
      break;
    case PT_LONG:
      r.vt = VarType::I4;
      r.lVal = v.Value.l;
      break;
    case PT_R4:
      r.vt = VarType::R4;
      r.fltVal = v.Value.flt;
      break;
    case PT_DOUBLE:
      r.vt = VarType::R8;
      r.dblVal = v.Value.dbl;
      break;
    case PT_CURRENCY:
      r.vt = VarType::Currency;
      r.cyVal = v.Value.cur.int64;
      break;
    case PT_APPTIME:
      r.vt = VarType::Date;
      r.dblVal = v.Value.at;
      break;
    case PT_BOOLEAN:
      r.vt = VarType::Bool;
      r.boolVal = v.Value.b != 0;
      break;
    case PT_SYSTIME: {
      vantrel::SystemTime st{};
      vantrel::VariantTime vt = 0;
      if (vantrel::FileTimeToSystemTime(v.Value.ft, &st) && vantrel::SystemTimeToVariantTime(st, &vt)) {
        r = Variant::FromDate(vt);
      }
      break;
    }
    case PT_STRING8:
      r = Variant::FromText(v.Value.lpszA ? v.Value.lpszA : "");
      break;
    case PT_UNICODE:
      r = Variant::FromText(v.Value.lpszW ? vantrel::Utf16ToAnsi(v.Value.lpszW) : "");
      break;
    case PT_BINARY:
      r = Variant::FromText(vantrel::mapiwrapper::HexFromBytes(v.Value.bin.lpb, v.Value.bin.cb));
      break;
    case PT_MV_STRING8: {
      std::string joined;
      for (ULONG i = 0; i < v.Value.MVszA.cValues; ++i) {
        if (i) joined += ';';
        if (v.Value.MVszA.lppszA[i]) joined += v.Value.MVszA.lppszA[i];
      }
      r = Variant::FromText(std::move(joined));
      break;
    }
    case PT_ERROR:
      r = Variant::FromText("<Empty (PT_ERROR)>");
      break;
    default:
      break;
  }
  return r;
}

}  // namespace

CPropValue CPropValue::Adopt(LPSPropValue record) {
  CPropValue v;
  v.value_ = record;
  v.owns_ = true;
  return v;
}

CPropValue CPropValue::View(const SPropValue* record) {
  CPropValue v;
  v.value_ = const_cast<LPSPropValue>(record);
  v.owns_ = false;
  return v;
}

CPropValue CPropValue::Copy(const SPropValue& value) {
  LPSPropValue p = nullptr;
  CheckHr(MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&p)));
  CPropValue v = Adopt(p);
  CheckHr(PropCopyMore(p, const_cast<LPSPropValue>(&value), MAPIAllocateMore, p));
  return v;
}

CPropValue::CPropValue(const CPropValue& other) {
  if (other.value_) *this = Copy(*other.value_);
}

CPropValue& CPropValue::operator=(const CPropValue& other) {
  if (this != &other) *this = other.value_ ? Copy(*other.value_) : CPropValue();
  return *this;
}

CPropValue::CPropValue(CPropValue&& other) noexcept : value_(other.value_), owns_(other.owns_) {
  other.value_ = nullptr;
  other.owns_ = true;
}

CPropValue& CPropValue::operator=(CPropValue&& other) noexcept {
  if (this != &other) {
    Free();
    value_ = other.value_;
    owns_ = other.owns_;
    other.value_ = nullptr;
    other.owns_ = true;
  }
  return *this;
}

CPropValue::~CPropValue() {
  Free();
}

void CPropValue::Free() {
  if (value_ && owns_) MAPIFreeBuffer(value_);
  value_ = nullptr;
  owns_ = true;
}

LPSPropValue CPropValue::Detach() {
  LPSPropValue p = value_;
  value_ = nullptr;
  owns_ = true;
  return p;
}

void CPropValue::SetTag(ULONG tag) {
  Free();
  LPSPropValue p = nullptr;
  CheckHr(MAPIAllocateBuffer(sizeof(SPropValue), reinterpret_cast<LPVOID*>(&p)));
  std::memset(p, 0, sizeof(SPropValue));
  p->ulPropTag = tag;
  value_ = p;
}

std::string CPropValue::ToString() const {
  if (!value_) return {};
  if (Type() == PT_STRING8) return value_->Value.lpszA ? value_->Value.lpszA : "";
  return vantrel::VariantToText(ToVariant(*value_));
}

bool CPropValue::FromString(ULONG tag, std::string_view text) {
  switch (PROP_TYPE(tag)) {
    case PT_STRING8:
      SetString(tag, text);
      return true;
    case PT_UNICODE: {
      std::u16string wide = vantrel::AnsiToUtf16(text);
      CPropValue v(tag);
      auto* w = static_cast<LPWSTR>(AllocateMore((wide.size() + 1) * sizeof(char16_t), v.value_));
      std::memcpy(w, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
      v.value_->Value.lpszW = w;
      *this = std::move(v);
      return true;
    }
    case PT_BINARY: {
      CBinary bin;
      if (!bin.FromString(text)) return false;
      SetBinary(tag, bin);
      return true;
    }
    case PT_LONG: {
      std::optional<LONG> l = vantrel::TextToLong(text);
      if (!l) return false;
      CPropValue v(tag);
      v.value_->Value.l = *l;
      *this = std::move(v);
      return true;
    }
    case PT_SYSTIME: {
      std::optional<vantrel::VariantTime> vt = vantrel::TextToDate(text);
      vantrel::SystemTime st{};
      FILETIME ft{};
      if (!vt || !vantrel::VariantTimeToSystemTime(*vt, &st) || !vantrel::SystemTimeToFileTime(st, &ft)) return false;
      CPropValue v(tag);
      v.value_->Value.ft = ft;
      *this = std::move(v);
      return true;
    }
    case PT_MV_STRING8: {
      std::vector<std::string_view> parts;
      for (size_t start = 0;;) {
        size_t semi = text.find(';', start);
        parts.push_back(text.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start));
        if (semi == std::string_view::npos) break;
        start = semi + 1;
      }
      CPropValue v(tag);
      auto* list = static_cast<LPSTR*>(AllocateMore(parts.size() * sizeof(LPSTR), v.value_));
      for (size_t i = 0; i < parts.size(); ++i) list[i] = CopyString(parts[i], v.value_);
      v.value_->Value.MVszA.cValues = static_cast<ULONG>(parts.size());
      v.value_->Value.MVszA.lppszA = list;
      *this = std::move(v);
      return true;
    }
    default:
      return false;
  }
}

LONG CPropValue::ToLong() const {
  if (!value_) return 0;
  switch (Type()) {
    case PT_I2:
      return value_->Value.i;
    case PT_LONG:
      return value_->Value.l;
    case PT_BOOLEAN:
      return value_->Value.b;
    case PT_R4:
    case PT_DOUBLE: {
      double d = Type() == PT_R4 ? value_->Value.flt : value_->Value.dbl;
      if (!std::isfinite(d) || d < -2147483648.0 || d > 2147483647.0) return 0;
      return static_cast<LONG>(std::nearbyint(d));
    }
    default:
      return 0;
  }
}

bool CPropValue::SetLong(LONG v) {
  if (!value_) return false;
  switch (Type()) {
    case PT_I2:
      value_->Value.i = static_cast<SHORT>(v);
      return true;
    case PT_LONG:
      value_->Value.l = v;
      return true;
    case PT_R4:
      value_->Value.flt = static_cast<float>(v);
      return true;
    case PT_DOUBLE:
      value_->Value.dbl = v;
      return true;
    case PT_BOOLEAN:
      value_->Value.b = v ? 1 : 0;
      return true;
    default:
      return false;
  }
}

void CPropValue::SetString(ULONG tag, std::string_view s) {
  CPropValue v(tag);
  v.value_->Value.lpszA = CopyString(s, v.value_);
  *this = std::move(v);
}

void CPropValue::SetBinary(ULONG tag, const CBinary& bin) {
  CPropValue v(tag);
  auto* bytes = static_cast<LPBYTE>(AllocateMore(bin.Size() ? bin.Size() : 1, v.value_));
  if (bin.Size()) std::memcpy(bytes, bin.Data(), bin.Size());
  v.value_->Value.bin.cb = bin.Size();
  v.value_->Value.bin.lpb = bytes;
  *this = std::move(v);
}

void CPropValue::SetBool(ULONG tag, bool b) {
  CPropValue v(tag);
  v.value_->Value.b = b ? 1 : 0;
  *this = std::move(v);
}

CPropArray& CPropArray::operator=(CPropArray&& o) noexcept {
  if (this != &o) {
    if (values_) MAPIFreeBuffer(values_);
    count_ = std::exchange(o.count_, 0);
    values_ = std::exchange(o.values_, nullptr);
  }
  return *this;
}

CPropArray::~CPropArray() {
  if (values_) MAPIFreeBuffer(values_);
}

CBinary CBinary::FromPropValue(const SPropValue* value) {
  if (!value || PROP_TYPE(value->ulPropTag) != PT_BINARY) return {};
  return CBinary(value->Value.bin);
}

bool CBinary::FromString(std::string_view hex) {
  std::vector<BYTE> bytes;
  if (!vantrel::mapiwrapper::BytesFromHex(hex, &bytes)) {
    Assign(nullptr, 0);
    return false;
  }
  Assign(bytes.data(), static_cast<ULONG>(bytes.size()));
  return true;
}

void CBinary::Assign(const BYTE* bytes, ULONG cb) {
  std::vector<BYTE> fresh(cb + kSpare, 0);
  if (cb) std::memcpy(fresh.data(), bytes, cb);
  bytes_ = std::move(fresh);
  size_ = cb;
}

std::string CBinary::ToString() const {
  return vantrel::mapiwrapper::HexFromBytes(bytes_.data(), size_);
}

bool operator==(const CBinary& a, const CBinary& b) {
  if (&a == &b) return true;
  return a.size_ == b.size_ && std::memcmp(a.bytes_.data(), b.bytes_.data(), a.size_) == 0;
}

namespace vantrel::mapiwrapper {

std::string HexFromBytes(const BYTE* bytes, size_t cb) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out(cb * 2, '0');
  for (size_t i = 0; i < cb; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return out;
}

bool BytesFromHex(std::string_view hex, std::vector<BYTE>* out) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  out->clear();
  if (hex.size() % 2) return false;
  out->reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) {
      out->clear();
      return false;
    }
    out->push_back(static_cast<BYTE>(hi << 4 | lo));
  }
  return true;
}

std::string GuidText(const GUID& g) {
  return vantrel::GuidToString(g);
}

bool GuidFromText(std::string_view text, GUID* g) {
  std::optional<GUID> parsed = vantrel::GuidFromString(text);
  if (!parsed) return false;
  *g = *parsed;
  return true;
}

}  // namespace vantrel::mapiwrapper
