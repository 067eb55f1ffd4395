// Test support: registers zelext as its installer would (the module's own
// DllRegisterServer, ordinal 2, under the mail client's extension key), so
// the mail client in its place finds it.
#pragma once

#include <gtest/gtest.h>

#include "platform/registry/Registry.h"
#include "platform/win/Module.h"

inline void RegisterExtension(const char* module_path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Exchange\\Client\\Extensions", 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
  HMODULE module = LoadLibraryA(module_path);
  ASSERT_NE(module, nullptr) << vantrel::win::LastLoadError();
  auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, MAKEINTRESOURCEA(2)));
  ASSERT_NE(reg, nullptr);
  ASSERT_EQ(reg(), S_OK);
  FreeLibrary(module);
}
