// The module's exports: the entry point the mail client calls, and its
// registration under the client's extension key.
#include "extension/ZelExtModule.h"

#include <cstdio>
#include <cstring>

#include "extension/DlgInstallZel.h"
#include "extension/ZelExtension.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/registry/Registry.h"
#include "platform/win/Module.h"
#include "platform/win/Resources.h"

namespace vantrel::ext {
namespace {

constexpr char kExtensionsKey[] = "SOFTWARE\\Microsoft\\Exchange\\Client\\Extensions";
constexpr char kValueName[] = "ZelConfig";
constexpr char kValueFormat[] = "4.0;%s;1;11010000000101";
constexpr std::size_t kMaxPath = 512;
constexpr char kSettingsKey[] = "SOFTWARE\\HOLLIN\\Brimwell";
constexpr char kResourceValue[] = "ResouceDLLVantrelConfig";
constexpr UINT kMenuItemString = 2;

Mutex resource_mu;
HMODULE resource_library GUARDED_BY(resource_mu) = nullptr;

HMODULE SelfModule() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&SelfModule), &self);
  return self;
}

// Loaded with the module, like the client's own setting is.
struct LoadAtStart {
  LoadAtStart() { ReloadResourceLibrary(); }
} load_at_start;

}  // namespace

void ReloadResourceLibrary() {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\HOLLIN\\Brimwell", 0, KEY_READ, &key) != ERROR_SUCCESS &&
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return;
  }
  char name[261] = {};
  DWORD type = 0;
  DWORD size = 260;
  LSTATUS status = RegQueryValueEx(key, kResourceValue, nullptr, &type, reinterpret_cast<LPBYTE>(name), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_SZ || name[0] == '\0') return;
  name[size < 260 ? size : 260] = '\0';
  HMODULE lib = LoadLibraryA(name);
  if (!lib) return;
  MutexLock lock(resource_mu);
  if (resource_library) FreeLibrary(resource_library);
  resource_library = lib;
}

void MenuItemText(char* out, std::size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  {
    MutexLock lock(resource_mu);
    if (resource_library && LoadStringA(resource_library, kMenuItemString, out, static_cast<int>(size)) > 0) return;
  }
  if (LoadStringA(SelfModule(), kMenuItemString, out, static_cast<int>(size)) > 0) return;
  std::snprintf(out, size, "%s", "Install Vantrel");
}

static HINSTANCE Resources() {
  {
    MutexLock lock(resource_mu);
    if (resource_library) return resource_library;
  }
  return SelfModule();
}

HRESULT RunInstaller(HWND owner, LPMAPISESSION session) {
  CDlgInstallZel dialog(Resources(), session);
  return dialog.DoModal(owner) == -1 ? E_FAIL : S_OK;
}

}  // namespace vantrel::ext

extern "C" {

LPEXCHEXT ExchEntryPoint() { return vantrel::ext::ZelExtension::Create(); }

HRESULT DllRegisterServer() {
  using namespace vantrel::ext;
  char path[kMaxPath + 1];
  DWORD n = GetModuleFileNameA(SelfModule(), path, sizeof path);
  if (n == 0) return E_FAIL;
  // A cut path would register a library that is not there.
  if (n >= kMaxPath) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  char value[kMaxPath + sizeof kValueFormat];
  int len = std::snprintf(value, sizeof value, kValueFormat, path);
  if (len < 0 || static_cast<std::size_t>(len) >= sizeof value) return E_FAIL;
  HKEY key = nullptr;
  // No extensions key: no mail client to register with.
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kExtensionsKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return S_OK;
  LSTATUS status = RegSetValueEx(key, kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                 static_cast<DWORD>(len));
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<std::uint32_t>(status));
}

HRESULT DllUnregisterServer() {
  using namespace vantrel::ext;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kExtensionsKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return S_OK;
  RegDeleteValue(key, kValueName);
  RegCloseKey(key);
  return S_OK;
}

}  // extern "C"
