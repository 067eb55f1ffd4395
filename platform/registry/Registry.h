// The registry: the local-machine and current-user hives with keys and
// typed values, under the home platform's functions and semantics. Key and
// value names compare without regard to case and are kept as written.
//
// Each hive is one text file in the folder named by ZEL_REGISTRY_DIR
// (default: <user data home>/vantrel/registry). Every change is written with
// an atomic replace under a file lock, and a process re-reads a hive that
// another process changed, so several processes share one registry.
#pragma once

#include <functional>
#include <string>

#include "platform/base/WinTypes.h"

using HKEY = struct RegKey*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002));

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// A missing subkey gives ERROR_FILE_NOT_FOUND. A null or empty subkey opens
// the key itself again. One leading backslash is ignored.
LSTATUS RegOpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options, REGSAM sam, PHKEY result);
// Creates every missing key on the path; disposition (may be null) says
// whether the last one was new.
LSTATUS RegCreateKeyEx(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR key_class, DWORD options, REGSAM sam,
                       void* security, PHKEY result, LPDWORD disposition);
// data null: only type and size. A short buffer gives ERROR_MORE_DATA with
// the size needed in *cb_data. Values come back exactly as stored.
LSTATUS RegQueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD cb_data);
LSTATUS RegSetValueEx(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type, const BYTE* data, DWORD cb_data);
// Values in the order of their creation; ERROR_NO_MORE_ITEMS past the end.
// *cch_name is in characters without the NUL on return.
LSTATUS RegEnumValue(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                     LPDWORD cb_data);
// Subkeys in alphabetical order, compared without regard to case.
LSTATUS RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, LPDWORD cch_name, LPDWORD reserved, LPSTR key_class,
                     LPDWORD cch_class, FILETIME* last_write);
LSTATUS RegDeleteValue(HKEY key, LPCSTR value_name);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise).
LSTATUS RegDeleteKey(HKEY key, LPCSTR sub_key);
// Deletes a key with everything below it; a null subkey empties the key.
LSTATUS RegDeleteTree(HKEY key, LPCSTR sub_key);
LSTATUS RegCloseKey(HKEY key);

namespace vantrel::registry {

// The folder the hives live in (ZEL_REGISTRY_DIR or the default).
std::string Folder();

// A registry that fails on demand, for tests of what callers do when a
// write fails (a full disk, a key they may not write): the filter is asked
// before every RegSetValueEx of this process with the key's path (the hive
// first: "HKEY_CURRENT_USER\\Software\\...") and the value name; any status
// but ERROR_SUCCESS fails the write with that status and leaves the value
// as it was. Null removes the filter.
using WriteFilter = std::function<LSTATUS(const std::string& key, const std::string& value)>;
void SetWriteFilter(WriteFilter filter);

}  // namespace vantrel::registry
