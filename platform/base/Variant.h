// A small variant: the value types a property can take on its way to and
// from text, and the one text form this system uses for them.
//
// Text forms (fixed, independent of any locale):
//   integers   decimal, "-" for negatives                 "-42"
//   R4, R8     C locale, the shortest text that reads back
//              to the same value                          "2.5", "1e+100"
//   currency   decimal with up to four fraction digits,
//              trailing zeros dropped                     "12.5", "-0.0001"
//   dates      "YYYY-MM-DD HH:MM:SS", no time zone        "2026-12-10 04:49:21"
//   booleans   the variant's number: "-1" (true), "0"
//   empty      ""
// Reading accepts the same forms, with spaces around them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/WinTypes.h"

namespace vantrel {

// The variant type codes of the platform (VT_*), for the types used here.
enum class VarType : std::uint16_t {
  Empty = 0,
  I2 = 2,
  I4 = 3,
  R4 = 4,
  R8 = 5,
  Currency = 6,
  Date = 7,
  Text = 8,
  Bool = 11,
};

// Days since 1899-12-30 00:00; the fraction is the time of day. Before that
// day the integer part counts back and the fraction still runs forward
// (-1.25 is 1899-12-29 06:00), as on the home platform.
using VariantTime = double;

struct SystemTime {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

struct Variant {
  VarType vt = VarType::Empty;
  LONG lVal = 0;         // I2 (sign-extended), I4
  float fltVal = 0;      // R4
  double dblVal = 0;     // R8, Date
  LONGLONG cyVal = 0;    // Currency, in units of 1/10000
  bool boolVal = false;  // Bool
  std::string text;      // Text, in the ANSI code page

  static Variant FromLong(LONG v);
  static Variant FromText(std::string v);
  static Variant FromDate(VariantTime v);
};

// The text form above.
std::string VariantToText(const Variant& v);

// Text to a number or a date; nullopt when the text is not one (or the
// number does not fit). A long accepts a fraction and rounds it half to even.
std::optional<LONG> TextToLong(std::string_view text);
std::optional<double> TextToDouble(std::string_view text);
// "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD"; years 100-9999.
std::optional<VariantTime> TextToDate(std::string_view text);

// Conversions between the platform's time forms, without time-zone change.
// FILETIME counts 100 ns since 1601-01-01; years past 30827 do not convert.
bool FileTimeToSystemTime(const FILETIME& ft, SystemTime* st);
bool SystemTimeToFileTime(const SystemTime& st, FILETIME* ft);
// Variant times carry whole seconds: milliseconds round to the nearest
// second. Years 100-9999.
bool SystemTimeToVariantTime(const SystemTime& st, VariantTime* vt);
bool VariantTimeToSystemTime(VariantTime vt, SystemTime* st);

}  // namespace vantrel
