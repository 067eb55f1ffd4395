// Text for the terminal and for scripts: the store's 8-bit strings as
// UTF-8, local dates, JSON strings.
#pragma once

#include <string>

#include "platform/base/WinTypes.h"

namespace zelmapi {

// Windows-1252 (the store's 8-bit strings) to UTF-8.
std::string FromCp1252(const std::string& s);
// UTF-8 to Windows-1252; characters it lacks become '?'.
std::string ToCp1252(const std::string& s);
// "YYYY-MM-DD HH:MM" in the local time zone; empty for a zero time.
std::string LocalDate(const FILETIME& ft);
// "YYYY-MM-DD" as local midnight; false when it is not such a date.
bool ParseLocalDate(const std::string& text, FILETIME* ft);
// A quoted JSON string.
std::string Json(const std::string& utf8);
std::string Hex(const unsigned char* p, size_t n);
// False when `hex` is not an even run of hex digits.
bool Unhex(const std::string& hex, std::string* bytes);

}  // namespace zelmapi
