// The ANSI code page of the system (Windows-1252) and UTF-16. Strings on
// the wire and in 8-bit properties are in this code page.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Each byte to its Windows-1252 character. The five bytes the code page
// leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the same C1 code
// point, as the platform does, so every byte string round-trips.
std::u16string AnsiToUtf16(std::string_view ansi);
// Characters outside Windows-1252 become '?'. Surrogate pairs count as one
// character.
std::string Utf16ToAnsi(std::u16string_view wide);

// Lower case of ANSI text for comparisons without regard to case: the ASCII
// letters and the Latin letters of the code page.
std::string FoldAnsi(std::string_view ansi);

// UTF-8 bridges for logs and terminals.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view wide);

}  // namespace vantrel
