#include "client/ClientModule.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/base/HResult.h"

#include "platform/registry/Registry.h"
#include "platform/win/Locale.h"
#include "platform/win/Module.h"
#include "platform/win/Resources.h"

namespace vantrel::client {

namespace {

std::once_flag g_startup;
std::atomic<HINSTANCE> g_resources{nullptr};

HMODULE SelfModule() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&SelfModule), &self);
  return self;
}

void ReadLanguage() {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, "Software\\HOLLIN\\Brimwell", 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  DWORD lang = 0, type = 0, cb = sizeof(lang);
  if (RegQueryValueEx(key, "Lang", nullptr, &type, reinterpret_cast<LPBYTE>(&lang), &cb) == ERROR_SUCCESS &&
      type == REG_DWORD)
    SetThreadLocale(lang & 0xFFFF);
  RegCloseKey(key);
}

std::string ResourceLibraryPath() {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\HOLLIN\\Brimwell", 0, KEY_READ, &key) != ERROR_SUCCESS &&
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\HOLLIN\\Brimwell", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return "";
  char path[261] = {};
  DWORD type = 0, cb = 260;
  std::string out;
  if (RegQueryValueEx(key, "ResouceDLLZelclient", nullptr, &type, reinterpret_cast<LPBYTE>(path), &cb) ==
          ERROR_SUCCESS &&
      type == REG_SZ)
    out.assign(path, strnlen(path, sizeof(path) - 1));
  RegCloseKey(key);
  return out;
}

}  // namespace

void ClientModuleStartup() {
  std::call_once(g_startup, [] {
    ReadLanguage();
    HMODULE self = SelfModule();
    g_resources.store(win::LoadResourceLibrary(ResourceLibraryPath(), self));
  });
}

HINSTANCE ClientResources() {
  ClientModuleStartup();
  return g_resources.load();
}

std::string ClientString(UINT id) {
  const char* text = nullptr;
  int n = LoadStringA(ClientResources(), id, reinterpret_cast<LPSTR>(&text), 0);
  if (n <= 0 || !text) return "";
  return std::string(text, static_cast<size_t>(n));
}

}  // namespace vantrel::client
