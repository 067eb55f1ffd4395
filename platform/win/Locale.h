// Languages and the thread's locale, with the published names and values.
// A thread starts in the process's locale, taken from the POSIX locale
// variables (LC_ALL, LC_MESSAGES, LANG); without one it is 1033.
#pragma once

#include <string_view>

#include "platform/base/WinTypes.h"

using LANGID = WORD;
using LCID = DWORD;

inline constexpr WORD LANG_NEUTRAL = 0x00;
inline constexpr WORD LANG_GERMAN = 0x07;
inline constexpr WORD LANG_ENGLISH = 0x09;
inline constexpr WORD LANG_SPANISH = 0x0a;
inline constexpr WORD LANG_FRENCH = 0x0c;
inline constexpr WORD LANG_ITALIAN = 0x10;
inline constexpr WORD LANG_JAPANESE = 0x11;
inline constexpr WORD LANG_DUTCH = 0x13;
inline constexpr WORD LANG_PORTUGUESE = 0x16;

inline constexpr WORD SUBLANG_NEUTRAL = 0x00;
inline constexpr WORD SUBLANG_DEFAULT = 0x01;
inline constexpr WORD SUBLANG_SYS_DEFAULT = 0x02;
inline constexpr WORD SUBLANG_GERMAN = 0x01;
inline constexpr WORD SUBLANG_GERMAN_SWISS = 0x02;
inline constexpr WORD SUBLANG_GERMAN_AUSTRIAN = 0x03;
inline constexpr WORD SUBLANG_ENGLISH_US = 0x01;
inline constexpr WORD SUBLANG_ENGLISH_UK = 0x02;
inline constexpr WORD SUBLANG_SPANISH = 0x01;
inline constexpr WORD SUBLANG_SPANISH_MEXICAN = 0x02;
inline constexpr WORD SUBLANG_SPANISH_MODERN = 0x03;
inline constexpr WORD SUBLANG_PORTUGUESE_BRAZILIAN = 0x01;
inline constexpr WORD SUBLANG_PORTUGUESE = 0x02;
inline constexpr WORD SUBLANG_JAPANESE_JAPAN = 0x01;

inline constexpr WORD SORT_DEFAULT = 0x0;

inline constexpr LANGID MAKELANGID(WORD primary, WORD sub) {
  return static_cast<LANGID>((sub << 10) | primary);
}
inline constexpr WORD PRIMARYLANGID(LANGID lang) {
  return lang & 0x3ff;
}
inline constexpr WORD SUBLANGID(LANGID lang) {
  return lang >> 10;
}
inline constexpr LCID MAKELCID(LANGID lang, WORD sort) {
  return (static_cast<DWORD>(sort) << 16) | lang;
}
inline constexpr LANGID LANGIDFROMLCID(LCID lcid) {
  return static_cast<LANGID>(lcid & 0xffff);
}

inline constexpr LCID LOCALE_NEUTRAL = MAKELCID(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), SORT_DEFAULT);

// The calling thread's locale; SetThreadLocale changes this thread only.
// A locale without a primary language is refused (ERROR_INVALID_PARAMETER).
LCID GetThreadLocale();
BOOL SetThreadLocale(LCID locale);

namespace vantrel::win {

// The locale of a POSIX locale name ("de_DE.UTF-8" -> 1031, "pt_BR" ->
// 1046, "es" -> 3082); 0 for "C", "POSIX" and languages this table lacks.
LCID LcidFromPosixLocale(std::string_view name);

// The process's locale from the environment, read once.
LCID ProcessLocale();

}  // namespace vantrel::win
