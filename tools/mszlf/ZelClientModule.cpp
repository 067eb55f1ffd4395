#include "tools/mszlf/ZelClientModule.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/Module.h"

namespace vantrel::mszlf {
namespace {

// The folder of the object that holds `address`, as the loader opened it.
std::string FolderOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return "";
  return std::filesystem::path(info.dli_fname).parent_path().string();
}

HMODULE LoadZelClient() {
  if (const char* named = std::getenv("ZEL_CLIENT_MODULE"); named && *named) return LoadLibraryA(named);
  static const int anchor = 0;
  // Beside this provider, then beside the platform libraries: named
  // explicitly, since a loader search from here need not look there.
  for (const std::string& folder : {FolderOf(&anchor), FolderOf(reinterpret_cast<const void*>(&LoadLibraryA))}) {
    std::string path = folder + "/zelclient.so";
    if (!folder.empty() && std::filesystem::exists(path)) return LoadLibraryA(path.c_str());
  }
  return LoadLibraryA("zelclient");
}

// One export by its name, which must be the same procedure as its ordinal.
template <class Fn>
bool Bind(HMODULE module, const char* name, int ordinal, Fn* out, std::string* why) {
  FARPROC by_name = GetProcAddress(module, name);
  FARPROC by_ordinal = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  if (!by_name || !by_ordinal || by_name != by_ordinal) {
    if (why) *why = std::string("zelclient has no export ") + name + " @" + std::to_string(ordinal);
    return false;
  }
  *out = reinterpret_cast<Fn>(by_name);
  return true;
}

struct Bound {
  vantrel::Mutex mu;
  bool done GUARDED_BY(mu) = false;  // bound for good
  HRESULT result GUARDED_BY(mu) = MAPI_E_NOT_FOUND;
  std::string why GUARDED_BY(mu);
  ZelClientExports exports GUARDED_BY(mu);
};

}  // namespace

HRESULT BindZelClient(ZelClientExports* out, std::string* why) {
  static Bound bound;
  vantrel::MutexLock lock(bound.mu);
  if (!bound.done) {
    // Loaded for the life of the process: the store and its proxies run
    // its code until the last of them is released.
    HMODULE module = LoadZelClient();
    ZelClientExports e;
    if (!module) {
      bound.why = "zelclient does not load: " + vantrel::win::LastLoadError();
    } else if (Bind(module, "LogonClient", kLogonClientOrdinal, &e.logon_client, &bound.why) &&
               Bind(module, "CreateStoreID", kCreateStoreIDOrdinal, &e.create_store_id, &bound.why)) {
      // The dialog is needed only to configure with the user; a library
      // without it still logs on.
      std::string no_dialog;
      Bind(module, "ConnectionDialog", kConnectionDialogOrdinal, &e.connection_dialog, &no_dialog);
      bound.exports = e;
      bound.result = S_OK;
      bound.done = true;  // a failure is tried again on the next logon
    }
  }
  if (why) *why = bound.why;
  if (SUCCEEDED(bound.result)) *out = bound.exports;
  return bound.result;
}

}  // namespace vantrel::mszlf
