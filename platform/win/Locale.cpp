#include "platform/win/Locale.h"

#include <cstdlib>
#include <string>

#include "platform/base/HResult.h"
#include "platform/base/LastError.h"

namespace vantrel::win {

namespace {

struct LocaleName {
  const char* name;  // language, or language_TERRITORY
  LANGID lang;
};

// The territory form is tried first, then the language alone.
constexpr LocaleName kLocales[] = {
    {"de_DE", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},
    {"de_CH", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_SWISS)},
    {"de_AT", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN)},
    {"de", MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)},
    {"en_US", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)},
    {"en_GB", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK)},
    {"en", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)},
    {"es_MX", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MEXICAN)},
    {"es", MAKELANGID(LANG_SPANISH, SUBLANG_SPANISH_MODERN)},
    {"pt_PT", MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE)},
    {"pt", MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN)},
    {"ja", MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN)},
    {"fr", MAKELANGID(LANG_FRENCH, SUBLANG_DEFAULT)},
    {"it", MAKELANGID(LANG_ITALIAN, SUBLANG_DEFAULT)},
    {"nl", MAKELANGID(LANG_DUTCH, SUBLANG_DEFAULT)},
};

LANGID Lookup(std::string_view key) {
  for (const auto& entry : kLocales) {
    if (key == entry.name) return entry.lang;
  }
  return 0;
}

// 0 means "not set on this thread yet": the process's locale applies.
thread_local LCID threadLocale = 0;

}  // namespace

LCID LcidFromPosixLocale(std::string_view name) {
  // language[_TERRITORY][.codeset][@modifier]
  const auto cut = name.find_first_of(".@");
  if (cut != std::string_view::npos) name = name.substr(0, cut);
  if (name.empty() || name == "C" || name == "POSIX") return 0;
  LANGID lang = Lookup(name);
  if (lang == 0) lang = Lookup(name.substr(0, name.find('_')));
  return lang == 0 ? 0 : MAKELCID(lang, SORT_DEFAULT);
}

LCID ProcessLocale() {
  static const LCID locale = [] {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = std::getenv(var);
      if (value == nullptr || *value == '\0') continue;
      // The first variable that is set decides, as for the C library.
      const LCID lcid = LcidFromPosixLocale(value);
      return lcid != 0 ? lcid : MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
    }
    return MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
  }();
  return locale;
}

}  // namespace vantrel::win

LCID GetThreadLocale() {
  return vantrel::win::threadLocale != 0 ? vantrel::win::threadLocale : vantrel::win::ProcessLocale();
}

BOOL SetThreadLocale(LCID locale) {
  if (PRIMARYLANGID(LANGIDFROMLCID(locale)) == LANG_NEUTRAL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  vantrel::win::threadLocale = locale;
  return TRUE;
}
