// Modules: shared objects loaded at run time, with the published names,
// signatures and values. A module handle is the loader's handle of the
// object (the same for every way of reaching it: LoadLibrary, GetModuleHandle,
// an address inside it); null names the program. Every handle this library
// hands out stays valid until FreeLibrary drops its last reference.
// Failures set the thread's last error (platform/base/LastError.h).
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/LastError.h"
#include "platform/win/WinUser.h"

using HANDLE = void*;
// Always cast to the procedure's real type. The published type returns
// INT_PTR; void() is the type compilers accept as any function's stand-in,
// so a cast to the real type compiles without warnings.
using FARPROC = void (*)();

inline constexpr DWORD DONT_RESOLVE_DLL_REFERENCES = 0x00000001;
inline constexpr DWORD LOAD_LIBRARY_AS_DATAFILE = 0x00000002;
inline constexpr DWORD LOAD_LIBRARY_AS_IMAGE_RESOURCE = 0x00000020;
inline constexpr DWORD LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE = 0x00000040;

inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_PIN = 1;
inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 2;
inline constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 4;

// A number in place of a name: ordinals, resource types and names. Macros,
// as published; other headers of the platform define them the same way.
#ifndef MAKEINTRESOURCEA
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#endif
#ifndef MAKEINTRESOURCE
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#endif
#ifndef IS_INTRESOURCE
#define IS_INTRESOURCE(p) ((reinterpret_cast<ULONG_PTR>(p) >> 16) == 0)
#endif

// A name without a folder is looked up among the loaded modules, then by
// the loader's search path (the platform libraries' folder first), then in
// the program's folder; a name without an extension gets ".so". Errors:
// ERROR_MOD_NOT_FOUND (no such file), ERROR_BAD_EXE_FORMAT (a file that
// is no loadable module; LastLoadError says why).
// A module loaded as a data file (LOAD_LIBRARY_AS_DATAFILE, _IMAGE_RESOURCE)
// is read, never run: its resources are served from the file's bytes,
// GetProcAddress refuses it and GetModuleHandle does not find it. A module
// already loaded as code is returned as it is.
HMODULE LoadLibraryA(LPCSTR fileName);
HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
BOOL FreeLibrary(HMODULE module);
// By name, or by ordinal as MAKEINTRESOURCE(n) through the module's own
// ordinal table (never a dependency's).
FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
// The full path; null names the program. A too small buffer gets the path
// cut and NUL-terminated, the result is `size` and the last error
// ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
HMODULE GetModuleHandleA(LPCSTR moduleName);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, `moduleName` is an address
// inside the module. Without _UNCHANGED_REFCOUNT or _PIN the module gains a
// reference that FreeLibrary drops.
BOOL GetModuleHandleExA(DWORD flags, LPCSTR moduleName, HMODULE* module);

namespace vantrel::win {

class ResourceTable;

// The checked resource table of `module` (null: the program), or false
// with the last error set: ERROR_INVALID_HANDLE for a handle this library
// did not give out, ERROR_RESOURCE_DATA_NOT_FOUND when the module carries
// no table or a damaged one (`why` says which).
bool ModuleResourceTable(HMODULE module, ResourceTable* out, std::string* why = nullptr);

// What the loader said about the last failed LoadLibrary of this thread.
std::string LastLoadError();

}  // namespace vantrel::win
