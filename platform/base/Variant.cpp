#include "platform/base/Variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vantrel {
namespace {

constexpr LONGLONG kTicksPerSecond = 10'000'000;
constexpr LONGLONG kSecondsPerDay = 86'400;

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
constexpr LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d) {
  y -= m <= 2;
  const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

void CivilFromDays(LONGLONG z, LONGLONG* y, unsigned* m, unsigned* d) {
  z += 719468;
  const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<LONGLONG>(yoe) + era * 400 + (*m <= 2);
}

constexpr LONGLONG k1601 = DaysFromCivil(1601, 1, 1);
constexpr LONGLONG k1899 = DaysFromCivil(1899, 12, 30);

bool IsLeap(LONGLONG y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(LONGLONG y, unsigned m) {
  static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

bool ValidFields(const SystemTime& st) {
  return st.wMonth >= 1 && st.wMonth <= 12 && st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) &&
         st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// Fills a SystemTime from days since 1970-01-01 and a time of day.
void FromDays(LONGLONG days, LONGLONG ms_of_day, SystemTime* st) {
  LONGLONG y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  st->wHour = static_cast<WORD>(ms_of_day / 3'600'000);
  st->wMinute = static_cast<WORD>(ms_of_day / 60'000 % 60);
  st->wSecond = static_cast<WORD>(ms_of_day / 1000 % 60);
  st->wMilliseconds = static_cast<WORD>(ms_of_day % 1000);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Reads exactly `n` digits at s[*pos].
bool Digits(std::string_view s, size_t* pos, size_t n, unsigned* out) {
  if (*pos + n > s.size()) return false;
  unsigned v = 0;
  for (size_t i = 0; i < n; ++i) {
    char c = s[*pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  *pos += n;
  *out = v;
  return true;
}

bool Expect(std::string_view s, size_t* pos, char c) {
  if (*pos >= s.size() || s[*pos] != c) return false;
  ++*pos;
  return true;
}

template <typename T>
std::string Shortest(T v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace

Variant Variant::FromLong(LONG v) {
  Variant r;
  r.vt = VarType::I4;
  r.lVal = v;
  return r;
}

Variant Variant::FromText(std::string v) {
  Variant r;
  r.vt = VarType::Text;
  r.text = std::move(v);
  return r;
}

Variant Variant::FromDate(VariantTime v) {
  Variant r;
  r.vt = VarType::Date;
  r.dblVal = v;
  return r;
}

std::string VariantToText(const Variant& v) {
  switch (v.vt) {
    case VarType::Empty:
      return {};
    case VarType::I2:
    case VarType::I4:
      return std::to_string(v.lVal);
    case VarType::R4:
      return Shortest(v.fltVal);
    case VarType::R8:
      return Shortest(v.dblVal);
    case VarType::Currency: {
      ULONGLONG mag = v.cyVal < 0 ? 0 - static_cast<ULONGLONG>(v.cyVal) : static_cast<ULONGLONG>(v.cyVal);
      std::string out = (v.cyVal < 0 ? "-" : "") + std::to_string(mag / 10000);
      unsigned frac = static_cast<unsigned>(mag % 10000);
      if (frac) {
        char buf[16];
        std::snprintf(buf, sizeof buf, ".%04u", frac);
        std::string f = buf;
        while (f.back() == '0') f.pop_back();
        out += f;
      }
      return out;
    }
    case VarType::Date: {
      SystemTime st{};
      if (!VariantTimeToSystemTime(v.dblVal, &st)) return {};
      char buf[64];
      std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                    st.wMinute, st.wSecond);
      return buf;
    }
    case VarType::Text:
      return v.text;
    case VarType::Bool:
      return v.boolVal ? "-1" : "0";
  }
  return {};
}

std::optional<double> TextToDouble(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  double v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<LONG> TextToLong(std::string_view text) {
  std::string_view t = Trim(text);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  LONGLONG whole = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), whole);
  if (r.ec == std::errc() && r.ptr == t.data() + t.size()) {
    if (whole < std::numeric_limits<LONG>::min() || whole > std::numeric_limits<LONG>::max()) return std::nullopt;
    return static_cast<LONG>(whole);
  }
  std::optional<double> d = TextToDouble(text);
  if (!d) return std::nullopt;
  double rounded = std::nearbyint(*d);  // the default rounding: half to even
  if (rounded < std::numeric_limits<LONG>::min() || rounded > std::numeric_limits<LONG>::max()) return std::nullopt;
  return static_cast<LONG>(rounded);
}

std::optional<VariantTime> TextToDate(std::string_view text) {
  std::string_view s = Trim(text);
  size_t pos = 0;
  unsigned y, mo, d, h = 0, mi = 0, sec = 0;
  if (!Digits(s, &pos, 4, &y) || !Expect(s, &pos, '-') || !Digits(s, &pos, 2, &mo) || !Expect(s, &pos, '-') ||
      !Digits(s, &pos, 2, &d)) {
    return std::nullopt;
  }
  if (pos < s.size()) {
    if (!Expect(s, &pos, ' ')) return std::nullopt;
    while (pos < s.size() && s[pos] == ' ') ++pos;
    if (!Digits(s, &pos, 2, &h) || !Expect(s, &pos, ':') || !Digits(s, &pos, 2, &mi)) return std::nullopt;
    if (pos < s.size() && (!Expect(s, &pos, ':') || !Digits(s, &pos, 2, &sec))) return std::nullopt;
    if (pos != s.size()) return std::nullopt;
  }
  SystemTime st{static_cast<WORD>(y),  static_cast<WORD>(mo),  0, static_cast<WORD>(d), static_cast<WORD>(h),
                static_cast<WORD>(mi), static_cast<WORD>(sec), 0};
  VariantTime vt = 0;
  if (!SystemTimeToVariantTime(st, &vt)) return std::nullopt;
  return vt;
}

bool FileTimeToSystemTime(const FILETIME& ft, SystemTime* st) {
  ULONGLONG q = FileTimeToQuad(ft);
  if (q > static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max())) return false;
  LONGLONG ms = static_cast<LONGLONG>(q / 10'000);
  LONGLONG days = ms / (kSecondsPerDay * 1000);
  FromDays(k1601 + days, ms % (kSecondsPerDay * 1000), st);
  return true;
}

bool SystemTimeToFileTime(const SystemTime& st, FILETIME* ft) {
  if (st.wYear < 1601 || st.wYear > 30827 || !ValidFields(st)) return false;
  LONGLONG days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - k1601;
  LONGLONG secs = days * kSecondsPerDay + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  *ft = QuadToFileTime(static_cast<ULONGLONG>(secs * kTicksPerSecond + st.wMilliseconds * 10'000LL));
  return true;
}

bool SystemTimeToVariantTime(const SystemTime& st, VariantTime* vt) {
  if (st.wYear < 100 || st.wYear > 9999 || !ValidFields(st)) return false;
  LONGLONG days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) - k1899;
  LONGLONG secs = st.wHour * 3600 + st.wMinute * 60 + st.wSecond + (st.wMilliseconds >= 500 ? 1 : 0);
  if (secs == kSecondsPerDay) {  // 23:59:59.5 and later round into the next day
    ++days;
    secs = 0;
  }
  double frac = static_cast<double>(secs) / kSecondsPerDay;
  *vt = days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
  return true;
}

bool VariantTimeToSystemTime(VariantTime vt, SystemTime* st) {
  // 0100-01-01 to the last second of 9999-12-31.
  constexpr double kMin = -657434.0, kMax = 2958466.0;
  if (!std::isfinite(vt) || vt <= kMin - 1 || vt >= kMax) return false;
  double whole = std::trunc(vt);
  LONGLONG days = static_cast<LONGLONG>(whole);
  LONGLONG secs = std::llround(std::fabs(vt - whole) * kSecondsPerDay);
  if (secs >= kSecondsPerDay) {
    ++days;
    secs -= kSecondsPerDay;
  }
  LONGLONG civil = days + k1899;
  if (civil < DaysFromCivil(100, 1, 1) || civil > DaysFromCivil(9999, 12, 31)) return false;
  FromDays(civil, secs * 1000, st);
  return true;
}

}  // namespace vantrel
