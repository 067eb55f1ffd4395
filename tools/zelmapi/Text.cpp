#include "tools/zelmapi/Text.h"

#include <cstdio>
#include <ctime>

namespace zelmapi {
namespace {

// The code points of 0x80-0x9F in Windows-1252 (0: unassigned).
constexpr unsigned kHigh[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

void PutUtf8(unsigned cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string FromCp1252(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    unsigned cp = c;
    if (c >= 0x80 && c < 0xA0) cp = kHigh[c - 0x80] ? kHigh[c - 0x80] : 0xFFFD;
    PutUtf8(cp, &out);
  }
  return out;
}

std::string ToCp1252(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    unsigned cp = 0;
    size_t len = 1;
    if (c < 0x80) cp = c;
    else if ((c & 0xE0) == 0xC0) cp = c & 0x1F, len = 2;
    else if ((c & 0xF0) == 0xE0) cp = c & 0x0F, len = 3;
    else if ((c & 0xF8) == 0xF0) cp = c & 0x07, len = 4;
    else cp = 0xFFFD;
    if (i + len > s.size()) len = s.size() - i, cp = 0xFFFD;
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (cp < 0x80 || (cp >= 0xA0 && cp < 0x100)) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    char mapped = '?';
    for (unsigned k = 0; k < 32; ++k)
      if (kHigh[k] == cp) mapped = static_cast<char>(0x80 + k);
    out.push_back(mapped);
  }
  return out;
}

std::string LocalDate(const FILETIME& ft) {
  unsigned long long ticks = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  if (ticks == 0) return "";
  const unsigned long long kEpochDiff = 116444736000000000ULL;  // 1601 to 1970 in 100 ns
  if (ticks < kEpochDiff) return "";
  time_t t = static_cast<time_t>((ticks - kEpochDiff) / 10000000ULL);
  struct tm tm;
  if (!localtime_r(&t, &tm)) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
  return buf;
}

bool ParseLocalDate(const std::string& text, FILETIME* ft) {
  struct tm tm = {};
  int y = 0, mo = 0, d = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &mo, &d, &tail) != 3 || mo < 1 || mo > 12 || d < 1 || d > 31)
    return false;
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t == static_cast<time_t>(-1) || t < 0) return false;
  unsigned long long ticks = static_cast<unsigned long long>(t) * 10000000ULL + 116444736000000000ULL;
  ft->dwLowDateTime = static_cast<DWORD>(ticks);
  ft->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return true;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string Hex(const unsigned char* p, size_t n) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) out += {d[p[i] >> 4], d[p[i] & 15]};
  return out;
}

bool Unhex(const std::string& hex, std::string* bytes) {
  if (hex.empty() || hex.size() % 2) return false;
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nib(hex[i]), lo = nib(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

}  // namespace zelmapi
