#include "tools/zelmail/ExtensionHost.h"

#include <cstdlib>

#include "platform/registry/Registry.h"
#include "platform/win/Dialog.h"
#include "platform/win/Menu.h"
#include "platform/win/Module.h"

namespace vantrel::mail {
namespace {

constexpr char kExtensionsKey[] = "SOFTWARE\\Microsoft\\Exchange\\Client\\Extensions";
constexpr size_t kContexts = 14;

struct Registration {
  std::string path;
  int ordinal = 0;
  std::string contexts;
};

// "version;path;ordinal;map" with a map of up to 14 digits.
bool Parse(const std::string& value, Registration* out) {
  size_t a = value.find(';');
  if (a == std::string::npos) return false;
  size_t b = value.find(';', a + 1);
  if (b == std::string::npos) return false;
  size_t c = value.find(';', b + 1);
  std::string ordinal = value.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
  char* end = nullptr;
  long n = std::strtol(ordinal.c_str(), &end, 10);
  if (ordinal.empty() || *end != '\0' || n < 1 || n > 65535) return false;
  out->path = value.substr(a + 1, b - a - 1);
  out->ordinal = static_cast<int>(n);
  out->contexts = c == std::string::npos ? std::string() : value.substr(c + 1);
  if (out->contexts.size() > kContexts) out->contexts.resize(kContexts);
  return !out->path.empty();
}

}  // namespace

HRESULT HostCallback::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IExchExtCallback) {
    *ppv = static_cast<IExchExtCallback*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

HRESULT HostCallback::GetVersion(ULONG* version, ULONG flags) {
  if (!version) return E_INVALIDARG;
  if (flags != EECBGV_GETBUILDVERSION) return E_INVALIDARG;
  *version = kBuild;
  return S_OK;
}

HRESULT HostCallback::GetWindow(HWND* hwnd) {
  if (!hwnd) return E_INVALIDARG;
  *hwnd = nullptr;
  return S_OK;
}

HRESULT HostCallback::GetMenu(HMENU* menu) {
  if (!menu) return E_INVALIDARG;
  *menu = tools_;
  return S_OK;
}

HRESULT HostCallback::GetSession(LPMAPISESSION* session, LPADRBOOK* book) {
  if (book) *book = nullptr;
  if (!session) return E_INVALIDARG;
  *session = session_;
  if (!session_) return MAPI_E_NOT_FOUND;
  session_->AddRef();
  return S_OK;
}

HRESULT HostCallback::GetMenuPos(ULONG cmd, HMENU* menu, ULONG* first, ULONG* last, ULONG) {
  if (!menu || !first || !last) return E_INVALIDARG;
  const int count = GetMenuItemCount(tools_);
  for (int i = 0; i < count; ++i) {
    if (GetMenuItemID(tools_, i) == cmd) {
      *menu = tools_;
      *first = 0;
      *last = static_cast<ULONG>(count);
      return S_OK;
    }
  }
  return E_FAIL;
}

ExtensionHost::~ExtensionHost() {
  for (Installed& i : installed_) {
    if (i.commands) i.commands->Release();
    i.ext->Release();
  }
  for (HMODULE m : modules_) FreeLibrary(m);
}

void ExtensionHost::LoadRegistered(std::vector<std::string>* why) {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kExtensionsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  std::vector<std::pair<std::string, std::string>> values;
  for (DWORD i = 0;; ++i) {
    char name[256];
    char data[1024];
    DWORD cch = sizeof name;
    DWORD cb = sizeof data - 1;
    DWORD type = 0;
    LSTATUS st = RegEnumValue(key, i, name, &cch, nullptr, &type, reinterpret_cast<LPBYTE>(data), &cb);
    if (st == ERROR_NO_MORE_ITEMS) break;
    if (st != ERROR_SUCCESS || type != REG_SZ) continue;
    data[cb] = '\0';
    values.emplace_back(name, data);
  }
  RegCloseKey(key);

  for (const auto& [name, value] : values) {
    Registration reg;
    if (!Parse(value, &reg)) {
      if (why) why->push_back(name + ": cannot read \"" + value + "\"");
      continue;
    }
    HMODULE module = LoadLibraryA(reg.path.c_str());
    if (!module) {
      if (why) why->push_back(name + ": " + win::LastLoadError());
      continue;
    }
    auto entry = reinterpret_cast<LPFNEXCHEXTENTRY>(GetProcAddress(module, MAKEINTRESOURCEA(reg.ordinal)));
    if (!entry) {
      if (why) why->push_back(name + ": no export " + std::to_string(reg.ordinal));
      FreeLibrary(module);
      continue;
    }
    modules_.push_back(module);
    for (size_t i = 0; i < reg.contexts.size(); ++i) {
      if (reg.contexts[i] != '1') continue;
      const ULONG context = static_cast<ULONG>(i + 1);
      IExchExt* ext = entry();
      if (!ext) continue;
      if (ext->Install(&callback_, context, EE_MODAL) != S_OK) {
        ext->Release();
        continue;
      }
      IExchExtCommands* commands = nullptr;
      if (FAILED(ext->QueryInterface(IID_IExchExtCommands, reinterpret_cast<void**>(&commands)))) commands = nullptr;
      installed_.push_back({ext, context, commands});
    }
  }
  // The viewer's menu is built once every extension is installed; this
  // client has the one window, the viewer's.
  for (Installed& i : installed_) {
    if (!i.commands || i.context != EECONTEXT_VIEWER) continue;
    HMENU menu = nullptr;
    callback_.GetMenu(&menu);
    i.commands->InstallCommands(&callback_, nullptr, menu, &next_command_, nullptr, 0, 0);
  }
}

HRESULT ExtensionHost::DoCommand(UINT cmd) {
  for (Installed& i : installed_) {
    if (!i.commands) continue;
    HRESULT hr = i.commands->DoCommand(&callback_, cmd);
    if (hr != S_FALSE) return hr;
  }
  return S_FALSE;
}

}  // namespace vantrel::mail
