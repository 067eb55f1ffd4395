// Owning classes for property values and binary values.
//
// Text forms: PT_STRING8 as it is; PT_BINARY as two uppercase hexadecimal
// digits per byte; PT_MV_STRING8 joined with ";"; PT_ERROR as
// "<Empty (PT_ERROR)>"; numbers, booleans and dates through the variant
// text form of platform/base/Variant.h (dates "YYYY-MM-DD HH:MM:SS", without
// time-zone change; numbers in the C locale).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Libraries/MapiWrapper/MapiInclude.h"

class CBinary;

// One property value. An owning CPropValue frees its record (and everything
// chained to it) with MAPIFreeBuffer; a view (taken from a row or an array)
// frees nothing. "Present" means it points at a record.
class CPropValue {
 public:
  CPropValue() = default;
  // A new record with `tag` and a zero value (SetTag).
  explicit CPropValue(ULONG tag) { SetTag(tag); }
  // Takes over a record allocated with MAPIAllocateBuffer.
  static CPropValue Adopt(LPSPropValue record);
  // Refers to a record owned elsewhere.
  static CPropValue View(const SPropValue* record);
  // A deep copy of `value` (PropCopyMore), owned.
  static CPropValue Copy(const SPropValue& value);

  CPropValue(const CPropValue& other);  // deep copy
  CPropValue& operator=(const CPropValue& other);
  CPropValue(CPropValue&& other) noexcept;
  CPropValue& operator=(CPropValue&& other) noexcept;
  ~CPropValue();

  bool Present() const { return value_ != nullptr; }
  bool Owns() const { return owns_; }
  ULONG Tag() const { return value_ ? value_->ulPropTag : PR_NULL; }
  ULONG Type() const { return PROP_TYPE(Tag()); }
  const SPropValue* get() const { return value_; }
  SPropValue* get() { return value_; }
  const SPropValue* operator->() const { return value_; }
  // Gives up an owned record to the caller (who frees it).
  LPSPropValue Detach();

  // Frees the old record and allocates a new one of 16 bytes holding only
  // the tag; an allocation failure is thrown (CheckHr).
  void SetTag(ULONG tag);

  // The text form; an absent value gives "".
  std::string ToString() const;
  // A new record of `tag` from text: PT_BINARY from hexadecimal pairs,
  // PT_MV_STRING8 split at ";", PT_SYSTIME from the date form, PT_LONG from
  // an integer, PT_STRING8 copied, PT_UNICODE widened from the ANSI code
  // page. False (and the value unchanged) for other types or text that does
  // not convert.
  bool FromString(ULONG tag, std::string_view text);

  // PT_I2, PT_LONG, PT_R4, PT_DOUBLE and PT_BOOLEAN as an integer (reals
  // rounded half to even); 0 for anything else.
  LONG ToLong() const;
  // Stores `v` in the value's own type (PT_I2, PT_LONG, PT_R4, PT_DOUBLE,
  // PT_BOOLEAN); false for other types or an absent value.
  bool SetLong(LONG v);
  // Sets a PT_STRING8, PT_BINARY or PT_BOOLEAN value (new record of `tag`).
  void SetString(ULONG tag, std::string_view s);
  void SetBinary(ULONG tag, const CBinary& bin);
  void SetBool(ULONG tag, bool b);

 private:
  void Free();

  LPSPropValue value_ = nullptr;
  bool owns_ = true;
};

// The values of one GetProps call (one MAPI block), owned; each value is
// a view into it.
class CPropArray {
 public:
  CPropArray() = default;
  CPropArray(ULONG count, LPSPropValue values) : count_(count), values_(values) {}
  CPropArray(CPropArray&& o) noexcept : count_(o.count_), values_(o.values_) {
    o.count_ = 0;
    o.values_ = nullptr;
  }
  CPropArray& operator=(CPropArray&& o) noexcept;
  CPropArray(const CPropArray&) = delete;
  CPropArray& operator=(const CPropArray&) = delete;
  ~CPropArray();

  ULONG Count() const { return count_; }
  // Value `index` as a view; past the end, absent.
  CPropValue Value(ULONG index) const { return index < count_ ? CPropValue::View(&values_[index]) : CPropValue(); }
  CPropValue operator[](ULONG index) const { return Value(index); }
  const SPropValue* get() const { return values_; }

 private:
  ULONG count_ = 0;
  LPSPropValue values_ = nullptr;
};

// A counted byte string, owned, kept with 10 spare zero bytes past its end.
class CBinary {
 public:
  CBinary() = default;
  CBinary(const BYTE* bytes, ULONG cb) { Assign(bytes, cb); }
  explicit CBinary(const SBinary& bin) { Assign(bin.lpb, bin.cb); }
  // A PT_BINARY value's bytes; anything else gives an empty CBinary.
  static CBinary FromPropValue(const SPropValue* value);
  // Pairs of hexadecimal digits; an odd count or another character gives
  // false and leaves the value empty.
  bool FromString(std::string_view hex);

  void Assign(const BYTE* bytes, ULONG cb);
  ULONG Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  const BYTE* Data() const { return bytes_.data(); }
  BYTE* Data() { return bytes_.data(); }
  // A view for MAPI calls; valid while this object is unchanged.
  SBinary AsSBinary() { return SBinary{size_, bytes_.data()}; }
  LPENTRYID AsEntryID() { return reinterpret_cast<LPENTRYID>(bytes_.data()); }

  std::string ToString() const;

  friend bool operator==(const CBinary& a, const CBinary& b);

 private:
  static constexpr size_t kSpare = 10;
  ULONG size_ = 0;
  std::vector<BYTE> bytes_ = std::vector<BYTE>(kSpare, 0);
};

namespace vantrel::mapiwrapper {

// Two uppercase hexadecimal digits per byte, and back (either case read).
std::string HexFromBytes(const BYTE* bytes, size_t cb);
bool BytesFromHex(std::string_view hex, std::vector<BYTE>* out);

// The GUID text form "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X".
std::string GuidText(const GUID& g);
bool GuidFromText(std::string_view text, GUID* g);

}  // namespace vantrel::mapiwrapper
