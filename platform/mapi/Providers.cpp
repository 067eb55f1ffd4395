#include "platform/mapi/Providers.h"

#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/ServiceAdmin.h"
#include "platform/mapi/Support.h"

#if __has_include("platform/mapi/PstStore.h")
#include "platform/mapi/PstStore.h"
#define VANTREL_HAVE_PST_STORE 1
#else
// The store engine's entry points (platform/mapi/PstStore.h); weak until
// that engine is part of the library, so a build without it still links.
HRESULT OpenPstStore(const std::string& path, const std::string& display_name, ULONG flags, IMsgStore** out)
    __attribute__((weak));
HRESULT PstStoreEntryID(const std::string& path, std::vector<BYTE>& out) __attribute__((weak));
#endif

namespace vantrel::mapi {
namespace {

// Prefix of a store ID that names the provider, for providers without an
// ID of their own.
constexpr MAPIUID kWrappedStoreUid = {
    {0x38, 0xa1, 0xbb, 0x10, 0x05, 0xe5, 0x10, 0x1a, 0xa1, 0xbb, 0x08, 0x00, 0x2b, 0x2a, 0x56, 0xc2}};

// The store backend a test or a program set; copied out before use, so
// no store code runs under the lock.
struct BackendSlot {
  vantrel::Mutex mu;
  PstBackend backend GUARDED_BY(mu);
};
BackendSlot& Backend() {
  static BackendSlot b;
  return b;
}

PstBackend CurrentBackend() {
  BackendSlot& slot = Backend();
  PstBackend b;
  {
    vantrel::MutexLock lock(slot.mu);
    b = slot.backend;
  }
  if (!b.open)
    b.open = [](const std::string& path, const std::string& name, ULONG flags, IMsgStore** out) -> HRESULT {
#ifndef VANTREL_HAVE_PST_STORE
      if (!&OpenPstStore) return MAPI_E_NO_SUPPORT;
#endif
      return OpenPstStore(path, name, flags, out);
    };
  if (!b.entry_id)
    b.entry_id = [](const std::string& path, std::vector<BYTE>& out) -> HRESULT {
#ifndef VANTREL_HAVE_PST_STORE
      if (!&PstStoreEntryID) return MAPI_E_NO_SUPPORT;
#endif
      return PstStoreEntryID(path, out);
    };
  return b;
}

// Loaded libraries stay loaded for the life of the process: providers hand
// out objects whose code lives there.
struct LoadedLibraries {
  vantrel::Mutex mu;
  std::map<std::string, void*> by_path GUARDED_BY(mu);
};
LoadedLibraries& Libraries() {
  static LoadedLibraries libs;
  return libs;
}

HRESULT LoadSymbol(const std::string& dll, const std::string& symbol, void** out) {
  std::string path = ProviderLibraryPath(dll);
  if (path.empty()) return MAPI_E_NOT_FOUND;
  LoadedLibraries& libs = Libraries();
  vantrel::MutexLock lock(libs.mu);
  void*& handle = libs.by_path[path];
  if (!handle) handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    libs.by_path.erase(path);
    return MAPI_E_NOT_FOUND;
  }
  *out = dlsym(handle, symbol.c_str());
  return *out ? S_OK : MAPI_E_NOT_FOUND;
}

std::string TextOf(const ProfProps& props, ULONG tag) {
  const ProfProp* p = FindProp(props, tag);
  return p ? p->AsText() : std::string();
}

// The built-in personal-folders service: its configuration is the file path
// and the display name of each of its stores.
HRESULT PstServiceEntry(const std::string& profile, const MAPIUID& service, ULONG context, ULONG count,
                        const SPropValue* props) {
  if (context != MSG_SERVICE_CONFIGURE) return S_OK;
  ProfProps update;
  std::string display;
  for (ULONG i = 0; i < count; ++i) {
    ULONG tag = props[i].ulPropTag;
    if (tag != PR_PST_PATH && tag != PR_DISPLAY_NAME) continue;
    if (!props[i].Value.lpszA || !*props[i].Value.lpszA) return MAPI_E_INVALID_PARAMETER;
    update.push_back(ProfProp::Text(tag, props[i].Value.lpszA));
    if (tag == PR_DISPLAY_NAME) display = props[i].Value.lpszA;
  }
  std::vector<ProviderInfo> providers;
  if (HRESULT hr = ListProviders(profile, &service, &providers); FAILED(hr)) return hr;
  for (const ProviderInfo& p : providers)
    if (HRESULT hr = ProfileStore::WriteProps(profile, p.uid, update); FAILED(hr)) return hr;
  if (!display.empty()) return ProfileStore::WriteProps(profile, service, {ProfProp::Text(PR_DISPLAY_NAME, display)});
  return S_OK;
}

}  // namespace

void SetPstBackend(PstBackend backend) {
  BackendSlot& slot = Backend();
  vantrel::MutexLock lock(slot.mu);
  slot.backend = std::move(backend);
}

bool IsPstDll(const std::string& dll_name) {
  return strcasecmp(dll_name.c_str(), kPstDll) == 0;
}

std::string ProviderDirectory() {
  return MapiSvcInf::SystemDirectory() + "/providers";
}

std::string ProviderLibraryPath(const std::string& dll_name) {
  if (dll_name.empty() || IsPstDll(dll_name) || dll_name.find('/') != std::string::npos ||
      dll_name.find("..") != std::string::npos)
    return "";
  std::string base = dll_name;
  std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::tolower(c); });
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0) base.resize(base.size() - 4);
  return ProviderDirectory() + "/" + base + ".so";
}

HRESULT CallServiceEntry(const std::string& profile, const MAPIUID& service, ULONG_PTR ui_param, ULONG flags,
                         ULONG context, ULONG count, const SPropValue* props) {
  ProfProps sp;
  if (HRESULT hr = ProfileStore::ReadSection(profile, service, &sp); FAILED(hr)) return hr;
  std::string dll = TextOf(sp, PR_SERVICE_DLL_NAME);
  if (IsPstDll(dll)) return PstServiceEntry(profile, service, context, count, props);
  std::string entry = TextOf(sp, PR_SERVICE_ENTRY_NAME);
  if (entry.empty()) entry = "ServiceEntry";
  void* sym = nullptr;
  if (FAILED(LoadSymbol(dll, entry, &sym))) {
    // A service without a library of its own is configured by its
    // properties alone: they go to the service section.
    if (context != MSG_SERVICE_CONFIGURE) return S_OK;
    ProfProps update;
    for (ULONG i = 0; i < count; ++i) {
      ProfProp p;
      if (HRESULT hr = PropFromValue(props[i], &p); FAILED(hr)) return hr;
      update.push_back(std::move(p));
    }
    return ProfileStore::WriteProps(profile, service, update);
  }
  ComPtr<IProviderAdmin> admin;
  if (HRESULT hr = NewProviderAdmin(profile, service, admin.Out()); FAILED(hr)) return hr;
  ComPtr<IMAPISupport> support;
  if (HRESULT hr = NewSupport(profile, nullptr, service, support.Out()); FAILED(hr)) return hr;
  // The entry may keep or change what it is given, so it gets a copy.
  LPSPropValue copy = nullptr;
  if (count) {
    if (HRESULT hr =
            MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * count), reinterpret_cast<void**>(&copy));
        FAILED(hr))
      return hr;
    for (ULONG i = 0; i < count; ++i)
      if (HRESULT hr = PropCopyMore(&copy[i], const_cast<LPSPropValue>(&props[i]), MAPIAllocateMore, copy);
          FAILED(hr)) {
        MAPIFreeBuffer(copy);
        return hr;
      }
  }
  LPMAPIERROR error = nullptr;
  HRESULT hr = reinterpret_cast<MSGSERVICEENTRY*>(sym)(nullptr, nullptr, support.get(), ui_param, flags, context, count,
                                                       copy, admin.get(), &error);
  MAPIFreeBuffer(error);
  MAPIFreeBuffer(copy);
  return hr;
}

HRESULT StoreEntryID(const std::string& profile, const ProviderInfo& provider, std::vector<BYTE>* out) {
  out->clear();
  if (IsPstDll(provider.DllName())) {
    std::string path = TextOf(provider.props, PR_PST_PATH);
    if (path.empty()) return MAPI_E_NOT_FOUND;  // not configured yet
    return CurrentBackend().entry_id(path, *out);
  }
  if (const ProfProp* id = FindProp(provider.props, PR_ENTRYID); id && !id->data.empty()) {
    *out = id->data;
    return S_OK;
  }
  (void)profile;
  out->assign(4, 0);
  out->insert(out->end(), kWrappedStoreUid.ab, kWrappedStoreUid.ab + 16);
  out->insert(out->end(), provider.uid.ab, provider.uid.ab + 16);
  return S_OK;
}

bool UnwrapStoreEntryID(const BYTE* id, ULONG cb, MAPIUID* provider) {
  if (!id || cb != 36 || std::memcmp(id + 4, kWrappedStoreUid.ab, 16) != 0) return false;
  std::memcpy(provider->ab, id + 20, 16);
  return true;
}

HRESULT OpenProviderStore(const std::string& profile, const ProviderInfo& provider, LPMAPISUP support, ULONG flags,
                          ProviderLogon* out) {
  *out = ProviderLogon{};
  std::string dll = provider.DllName();
  if (IsPstDll(dll)) {
    std::string path = TextOf(provider.props, PR_PST_PATH);
    if (path.empty()) return MAPI_E_UNCONFIGURED;
    std::string name = provider.DisplayName();
    return CurrentBackend().open(path, name.empty() ? path : name, flags, out->store.Out());
  }
  void* sym = nullptr;
  if (HRESULT hr = LoadSymbol(dll, "MSProviderInit", &sym); FAILED(hr)) return hr;
  ComPtr<IMSProvider> ms;
  ULONG version = 0;
  if (HRESULT hr = reinterpret_cast<MSPROVIDERINIT*>(sym)(nullptr, nullptr, MAPIAllocateBuffer, MAPIAllocateMore,
                                                          MAPIFreeBuffer, 0, CURRENT_SPI_VERSION, &version, ms.Out());
      FAILED(hr))
    return hr;
  if (!ms) return MAPI_E_CALL_FAILED;
  std::vector<BYTE> id;
  StoreEntryID(profile, provider, &id);
  std::string name = profile;
  ProviderLogon made;
  LPMAPIERROR error = nullptr;
  HRESULT hr = ms->Logon(support, 0, name.data(), static_cast<ULONG>(id.size()), reinterpret_cast<LPENTRYID>(id.data()),
                         flags, nullptr, nullptr, nullptr, &error, made.logon.Out(), made.store.Out());
  MAPIFreeBuffer(error);
  made.provider = std::move(ms);
  if (FAILED(hr) || !made.store) {
    // Whatever the provider made of a failed logon is ended as a logon.
    CloseProviderLogon(&made);
    return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
  }
  *out = std::move(made);
  return S_OK;
}

void CloseProviderLogon(ProviderLogon* logon) {
  logon->store.Reset();
  if (logon->logon) {
    ULONG flags = 0;
    logon->logon->Logoff(&flags);
    logon->logon.Reset();
  }
  if (logon->provider) {
    ULONG flags = 0;
    logon->provider->Shutdown(&flags);
    logon->provider.Reset();
  }
}

}  // namespace vantrel::mapi
