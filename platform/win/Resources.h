// Resources of a module: string tables by language, dialog and menu
// templates, custom resources. A module's resources are written in a
// resource script and compiled into its resource table (ResourceTable.h) by
// vantrel_resources(); null as a module names the program.
//
// The language of a resource is chosen as the thread's language
// (GetThreadLocale), then the same primary language, then a neutral one,
// then 1033, then the first the module has.
#pragma once

#include <string>
#include <string_view>

#include "platform/win/Locale.h"
#include "platform/win/Module.h"

struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = void*;

#ifndef RT_MENU
#define RT_MENU MAKEINTRESOURCEA(4)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_RCDATA MAKEINTRESOURCEA(10)
#endif

inline constexpr WORD kRtMenu = 4;
inline constexpr WORD kRtDialog = 5;
inline constexpr WORD kRtString = 6;
inline constexpr WORD kRtRcdata = 10;

// Type and name are numbers (MAKEINTRESOURCE, or a string "#123") or
// strings compared without case ("INF"). Errors: ERROR_RESOURCE_TYPE_NOT_FOUND,
// ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_RESOURCE_DATA_NOT_FOUND (no table).
HRSRC FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
// `language` 0 (LANG_NEUTRAL) chooses as FindResourceA does; otherwise the
// choice starts at `language`.
HRSRC FindResourceExA(HMODULE module, LPCSTR type, LPCSTR name, WORD language);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);
BOOL FreeResource(HGLOBAL data);

// The string `id` in the thread's language, copied into `buffer` and
// NUL-terminated; a longer string is cut to `bufferMax` - 1 characters.
// Returns the characters copied without the NUL; 0 when the string is
// missing (ERROR_RESOURCE_NAME_NOT_FOUND, the buffer then holds "").
// With `bufferMax` 0, `buffer` receives a read-only pointer to the string
// itself (NUL-terminated) and the result is its length.
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax);

namespace vantrel::win {

// The bytes of a resource in the thread's language, or false with the last
// error set. For dialogs and menus the bytes are the text of the statement.
bool FindResourceBytes(HMODULE module, LPCSTR type, LPCSTR name, std::string_view* bytes);

// The resource library at `path` (the caller reads the path from the
// registry), loaded for its resources; `builtIn` when the path is empty,
// the library is missing, cannot be loaded or carries no valid resource
// table. Every fallback is logged.
HMODULE LoadResourceLibrary(const std::string& path, HMODULE builtIn);

}  // namespace vantrel::win
