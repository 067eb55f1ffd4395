#include <dlfcn.h>
#include <strings.h>

#include <cstring>
#include <map>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/ProfSect.h"
#include "platform/mapi/Providers.h"
#include "platform/mapi/ServiceAdmin.h"
#include "platform/mapi/Services.h"
#include "platform/mapi/Support.h"

namespace vantrel::mapi {
namespace {

const std::vector<ULONG> kStoreColumns = {PR_DISPLAY_NAME,   PR_ENTRYID,       PR_MDB_PROVIDER,
                                          PR_RESOURCE_FLAGS, PR_DEFAULT_STORE, PR_PROVIDER_DISPLAY,
                                          PR_INSTANCE_KEY,   PR_RECORD_KEY,    PR_OBJECT_TYPE};
const std::vector<ULONG> kStatusColumns = {PR_RESOURCE_TYPE,     PR_DISPLAY_NAME,   PR_PROVIDER_DISPLAY,
                                           PR_PROVIDER_DLL_NAME, PR_RESOURCE_FLAGS, PR_STATUS_CODE,
                                           PR_RESOURCE_METHODS,  PR_INSTANCE_KEY,   PR_OBJECT_TYPE};

struct Init {
  vantrel::Mutex lock;
  int count GUARDED_BY(lock) = 0;
};
Init& Initialization() {
  static Init i;
  return i;
}
bool Initialized() {
  Init& init = Initialization();
  MutexLock lock(init.lock);
  return init.count > 0;
}

std::vector<ProviderInfo> StoreProviders(const std::vector<ProviderInfo>& all) {
  std::vector<ProviderInfo> out;
  for (const ProviderInfo& p : all)
    if (p.ResourceType() == MAPI_STORE_PROVIDER || p.ResourceType() == 0) out.push_back(p);
  return out;
}

// Index of the default store among the store providers.
size_t DefaultStore(const std::vector<ProviderInfo>& stores) {
  for (size_t i = 0; i < stores.size(); ++i)
    if (stores[i].ResourceFlags() & STATUS_DEFAULT_STORE) return i;
  return 0;
}

class Session;

// Sessions that MAPILogonEx may share, by profile. The lock comes before
// a session's own and before the support objects' (a session's last
// Release runs its destructor under it).
struct SharedSessions {
  vantrel::Mutex mu;
  std::map<std::string, Session*> by_profile GUARDED_BY(mu);
};
SharedSessions& Shared() {
  static SharedSessions s;
  return s;
}

// Where a session call on an entry ID goes: the provider's logon object
// when it has one, else its store.
struct Route {
  ComPtr<IMSLogon> logon;
  ComPtr<IMsgStore> store;
};

class Session final : public RefCounted<IMAPISession>, public SupportHost {
 public:
  Session(std::string profile, bool shared) : profile_(std::move(profile)), shared_(shared) {}
  // A shared session's count changes to zero only under Shared().mu, so
  // MAPILogonEx never hands out a session that is being destroyed; the
  // destructor then runs under that lock.
  ULONG Release() override {
    if (!shared_) return RefCounted::Release();
    MutexLock lock(Shared().mu);
    return RefCounted::Release();
  }
  ~Session() override {
    std::map<std::string, ProviderLogon> stores;
    std::map<std::string, ComPtr<IMAPISupport>> supports;
    {
      MutexLock lock(lock_);
      supports.swap(supports_);
      stores.swap(stores_);
    }
    for (auto& [uid, support] : supports) DetachSupport(support.get());
    // A session released without Logoff still ends its provider logons.
    for (auto& [uid, logon] : stores) CloseProviderLogon(&logon);
    if (shared_) {
      SharedSessions& all = Shared();
      all.mu.AssertHeld();  // Release holds it around the destructor
      auto it = all.by_profile.find(profile_);
      if (it != all.by_profile.end() && it->second == this) all.by_profile.erase(it);
    }
  }

  // A reference to a live shared session.
  bool TryAddRef() REQUIRES(Shared().mu) {
    ULONG n = RefCount();
    if (n == 0) return false;
    AddRef();
    return true;
  }

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
    if (err) *err = nullptr;
    return S_OK;
  }
  HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE* table) override {
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    TableRows rows;
    if (HRESULT hr = MsgStoresRows(profile_, &rows); FAILED(hr)) return hr;
    return RowsToTable(kStoreColumns, rows, table);
  }
  HRESULT OpenMsgStore(ULONG_PTR, ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, LPMDB* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    if (!id || cb == 0) return MAPI_E_INVALID_ENTRYID;
    ProviderInfo provider;
    if (HRESULT hr = FindStore(reinterpret_cast<const BYTE*>(id), cb, &provider); FAILED(hr)) return hr;
    ComPtr<IMsgStore> store;
    if (HRESULT hr = OpenStore(provider, flags, store.Out()); FAILED(hr)) return hr;
    if (iid && *iid != IID_IMsgStore && *iid != IID_IMAPIProp && *iid != IID_IUnknown)
      return MAPI_E_INTERFACE_NOT_SUPPORTED;
    *out = store.Detach();
    return S_OK;
  }
  HRESULT OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK* out) override {
    if (out) *out = nullptr;
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT OpenProfileSection(LPMAPIUID uid, LPCIID, ULONG flags, LPPROFSECT* out) override {
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    if (!uid) return MAPI_E_INVALID_PARAMETER;
    return OpenProfSect(profile_, *uid, flags, out);
  }
  HRESULT GetStatusTable(ULONG, LPMAPITABLE* table) override {
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    TableRows rows;
    if (HRESULT hr = StatusRows(profile_, &rows); FAILED(hr)) return hr;
    return RowsToTable(kStatusColumns, rows, table);
  }
  // A store's entry ID opens the store; an ID carrying a UID a provider
  // registered goes to that provider's logon; any other ID is offered to
  // each store of the profile in turn.
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    if (!id || cb == 0) return MAPI_E_INVALID_ENTRYID;
    ProviderInfo provider;
    if (SUCCEEDED(FindStore(reinterpret_cast<const BYTE*>(id), cb, &provider))) {
      ComPtr<IMsgStore> store;
      if (HRESULT hr = OpenStore(provider, flags, store.Out()); FAILED(hr)) return hr;
      if (type) *type = MAPI_STORE;
      *out = store.Detach();
      return S_OK;
    }
    Route route;
    if (HRESULT hr = RouteOf(reinterpret_cast<const BYTE*>(id), cb, &route); hr != MAPI_E_NOT_FOUND) {
      if (FAILED(hr)) return hr;
      return route.logon ? route.logon->OpenEntry(cb, id, iid, flags, type, out)
                         : route.store->OpenEntry(cb, id, iid, flags, type, out);
    }
    std::vector<ProviderInfo> all;
    if (HRESULT hr = ListProviders(profile_, nullptr, &all); FAILED(hr)) return hr;
    for (const ProviderInfo& p : StoreProviders(all)) {
      ComPtr<IMsgStore> store;
      if (FAILED(OpenStore(p, MAPI_BEST_ACCESS, store.Out()))) continue;
      if (SUCCEEDED(store->OpenEntry(cb, id, iid, flags, type, out))) return S_OK;
    }
    return MAPI_E_UNKNOWN_ENTRYID;
  }
  // Equal bytes are equal; otherwise the provider whose UID either ID
  // carries decides (it knows every form of its own IDs), and two store
  // IDs of one provider name the same store.
  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG flags, ULONG* result) override {
    if (!result || (cb1 && !id1) || (cb2 && !id2)) return MAPI_E_INVALID_PARAMETER;
    *result = FALSE;
    if (cb1 == cb2 && (cb1 == 0 || std::memcmp(id1, id2, cb1) == 0)) {
      *result = TRUE;
      return S_OK;
    }
    for (auto [cb, id] : {std::pair{cb1, id1}, std::pair{cb2, id2}}) {
      Route route;
      if (FAILED(RouteOf(reinterpret_cast<const BYTE*>(id), cb, &route))) continue;
      HRESULT hr = route.logon ? route.logon->CompareEntryIDs(cb1, id1, cb2, id2, flags, result)
                               : route.store->CompareEntryIDs(cb1, id1, cb2, id2, flags, result);
      if (SUCCEEDED(hr)) return hr;
    }
    ProviderInfo a, b;
    if (SUCCEEDED(FindStore(reinterpret_cast<const BYTE*>(id1), cb1, &a)) &&
        SUCCEEDED(FindStore(reinterpret_cast<const BYTE*>(id2), cb2, &b)))
      *result = a.uid == b.uid;
    return S_OK;
  }
  HRESULT Advise(ULONG cb, LPENTRYID id, ULONG mask, LPMAPIADVISESINK sink, ULONG* connection) override {
    if (!sink || !connection) return MAPI_E_INVALID_PARAMETER;
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    if (!id || cb == 0) return MAPI_E_INVALID_ENTRYID;
    // The store the ID belongs to takes the registration.
    ProviderInfo provider;
    Route target;
    ULONG store_connection = 0;
    HRESULT hr = MAPI_E_UNKNOWN_ENTRYID;
    if (SUCCEEDED(FindStore(reinterpret_cast<const BYTE*>(id), cb, &provider))) {
      hr = OpenStore(provider, MAPI_BEST_ACCESS, target.store.Out());
      if (SUCCEEDED(hr)) hr = target.store->Advise(0, nullptr, mask, sink, &store_connection);
    } else if (hr = RouteOf(reinterpret_cast<const BYTE*>(id), cb, &target); hr != MAPI_E_NOT_FOUND) {
      if (SUCCEEDED(hr))
        hr = target.logon ? target.logon->Advise(cb, id, mask, sink, &store_connection)
                          : target.store->Advise(cb, id, mask, sink, &store_connection);
    } else {
      hr = MAPI_E_UNKNOWN_ENTRYID;
      std::vector<ProviderInfo> all;
      ListProviders(profile_, nullptr, &all);
      for (const ProviderInfo& p : StoreProviders(all)) {
        target = Route{};
        if (FAILED(OpenStore(p, MAPI_BEST_ACCESS, target.store.Out()))) continue;
        hr = target.store->Advise(cb, id, mask, sink, &store_connection);
        if (SUCCEEDED(hr)) break;
      }
    }
    if (FAILED(hr)) return hr;
    MutexLock lock(lock_);
    ULONG c = next_connection_++;
    advises_[c] = {std::move(target), store_connection};
    *connection = c;
    return S_OK;
  }
  HRESULT Unadvise(ULONG connection) override {
    std::pair<Route, ULONG> entry;
    {
      MutexLock lock(lock_);
      auto it = advises_.find(connection);
      if (it == advises_.end()) return MAPI_E_NOT_FOUND;
      entry = std::move(it->second);
      advises_.erase(it);
    }
    return UnadviseRoute(entry);
  }
  HRESULT MessageOptions(ULONG_PTR, ULONG, LPSTR, LPMESSAGE) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryDefaultMessageOpt(LPSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT EnumAdrTypes(ULONG, ULONG*, LPSTR**) override { return MAPI_E_NO_SUPPORT; }
  HRESULT QueryIdentity(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
  // Ends every provider logon of the session: registrations first, then
  // each store with its logon's Logoff and its provider's Shutdown.
  HRESULT Logoff(ULONG_PTR, ULONG, ULONG) override {
    std::map<ULONG, std::pair<Route, ULONG>> advises;
    std::map<std::string, ComPtr<IMAPISupport>> supports;
    std::map<std::string, ProviderLogon> stores;
    {
      MutexLock lock(lock_);
      logged_off_ = true;
      advises.swap(advises_);
      supports.swap(supports_);
      stores.swap(stores_);
      routes_.clear();
    }
    for (auto& [c, entry] : advises) UnadviseRoute(entry);
    for (auto& [uid, logon] : stores) CloseProviderLogon(&logon);
    for (auto& [uid, support] : supports) DetachSupport(support.get());
    if (shared_) {
      SharedSessions& all = Shared();
      MutexLock lock(all.mu);
      auto it = all.by_profile.find(profile_);
      if (it != all.by_profile.end() && it->second == this) all.by_profile.erase(it);
    }
    return S_OK;
  }
  HRESULT SetDefaultStore(ULONG flags, ULONG cb, LPENTRYID id) override {
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    if ((flags & 0xF) != MAPI_DEFAULT_STORE) return MAPI_E_NO_SUPPORT;
    ProviderInfo chosen;
    if (HRESULT hr = FindStore(reinterpret_cast<const BYTE*>(id), cb, &chosen); FAILED(hr)) return hr;
    std::vector<ProviderInfo> all;
    if (HRESULT hr = ListProviders(profile_, nullptr, &all); FAILED(hr)) return hr;
    for (const ProviderInfo& p : StoreProviders(all)) {
      ULONG f = p.ResourceFlags() & ~STATUS_DEFAULT_STORE;
      if (p.uid == chosen.uid) f |= STATUS_DEFAULT_STORE;
      if (HRESULT hr = ProfileStore::WriteProps(profile_, p.uid, {ProfProp::Long(PR_RESOURCE_FLAGS, f)}); FAILED(hr))
        return hr;
    }
    return S_OK;
  }
  HRESULT AdminServices(ULONG, LPSERVICEADMIN* out) override {
    if (HRESULT hr = Alive(); FAILED(hr)) return hr;
    return NewMsgServiceAdmin(profile_, out);
  }
  HRESULT ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG, ULONG,
                   LPSTR) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return MAPI_E_NO_SUPPORT; }

  void RegisterProviderUid(const MAPIUID& provider, const MAPIUID& uid) override {
    MutexLock lock(lock_);
    if (!logged_off_) routes_[UidToHex(uid)] = provider;
  }

 private:
  static HRESULT UnadviseRoute(const std::pair<Route, ULONG>& entry) {
    const Route& r = entry.first;
    return r.logon ? r.logon->Unadvise(entry.second) : r.store->Unadvise(entry.second);
  }

  // The opened store of the provider that registered the UID in bytes 4 to
  // 19 of the ID; MAPI_E_NOT_FOUND when no provider did.
  HRESULT RouteOf(const BYTE* id, ULONG cb, Route* out) {
    if (!id || cb < 20) return MAPI_E_NOT_FOUND;
    MAPIUID uid;
    std::memcpy(uid.ab, id + 4, 16);
    MAPIUID provider_uid;
    {
      MutexLock lock(lock_);
      auto it = routes_.find(UidToHex(uid));
      if (it == routes_.end()) return MAPI_E_NOT_FOUND;
      provider_uid = it->second;
      auto open = stores_.find(UidToHex(provider_uid));
      if (open != stores_.end()) {
        out->logon = open->second.logon;
        out->store = open->second.store;
        return S_OK;
      }
    }
    ProviderInfo provider;
    if (HRESULT hr = ReadProvider(profile_, provider_uid, &provider); FAILED(hr)) return hr;
    if (HRESULT hr = OpenStore(provider, MAPI_BEST_ACCESS, out->store.Out()); FAILED(hr)) return hr;
    MutexLock lock(lock_);
    if (auto open = stores_.find(UidToHex(provider_uid)); open != stores_.end()) out->logon = open->second.logon;
    return S_OK;
  }

  HRESULT Alive() {
    MutexLock lock(lock_);
    return logged_off_ ? MAPI_E_END_OF_SESSION : S_OK;
  }

  HRESULT FindStore(const BYTE* id, ULONG cb, ProviderInfo* out) {
    if (!id || cb == 0) return MAPI_E_INVALID_ENTRYID;
    MAPIUID wrapped;
    bool is_wrapped = UnwrapStoreEntryID(id, cb, &wrapped);
    std::vector<ProviderInfo> all;
    if (HRESULT hr = ListProviders(profile_, nullptr, &all); FAILED(hr)) return hr;
    for (ProviderInfo& p : StoreProviders(all)) {
      if (is_wrapped) {
        if (p.uid == wrapped) {
          *out = std::move(p);
          return S_OK;
        }
        continue;
      }
      std::vector<BYTE> own;
      if (SUCCEEDED(StoreEntryID(profile_, p, &own)) && own.size() == cb && std::memcmp(own.data(), id, cb) == 0) {
        *out = std::move(p);
        return S_OK;
      }
    }
    return MAPI_E_NOT_FOUND;
  }

  // One logon per provider for the life of the session: the first open
  // logs on (outside the lock: the provider calls back through its support
  // object), later ones share that store.
  HRESULT OpenStore(const ProviderInfo& provider, ULONG flags, IMsgStore** out) {
    *out = nullptr;
    const std::string key = UidToHex(provider.uid);
    ComPtr<IMAPISupport> support;
    {
      MutexLock lock(lock_);
      if (logged_off_) return MAPI_E_END_OF_SESSION;
      if (auto it = stores_.find(key); it != stores_.end()) {
        *out = ComPtr<IMsgStore>(it->second.store).Detach();
        return S_OK;
      }
      ComPtr<IMAPISupport>& s = supports_[key];
      if (!s) {
        if (HRESULT hr = NewSupport(profile_, this, provider.uid, s.Out(), this); FAILED(hr)) return hr;
      }
      support = s;
    }
    // The shared store is opened for the widest use any caller may ask.
    flags |= MAPI_BEST_ACCESS | MDB_WRITE;
    ProviderLogon made;
    if (HRESULT hr = OpenProviderStore(profile_, provider, support.get(), flags, &made); FAILED(hr)) return hr;
    // The built-in store has no support object to register its UID through:
    // its record key is the UID in its entry IDs.
    if (!made.logon) {
      LPSPropValue key_prop = nullptr;
      if (SUCCEEDED(HrGetOneProp(made.store.get(), PR_STORE_RECORD_KEY, &key_prop)) &&
          key_prop->Value.bin.cb == sizeof(MAPIUID)) {
        MAPIUID uid;
        std::memcpy(uid.ab, key_prop->Value.bin.lpb, sizeof uid.ab);
        RegisterProviderUid(provider.uid, uid);
      }
      MAPIFreeBuffer(key_prop);
    }
    ProviderLogon unused;
    HRESULT hr = S_OK;
    {
      MutexLock lock(lock_);
      if (logged_off_) {
        unused = std::move(made);
        hr = MAPI_E_END_OF_SESSION;
      } else {
        auto [it, inserted] = stores_.emplace(key, std::move(made));
        if (!inserted) unused = std::move(made);  // another thread's logon came first
        *out = ComPtr<IMsgStore>(it->second.store).Detach();
      }
    }
    CloseProviderLogon(&unused);
    return hr;
  }

  const std::string profile_;
  const bool shared_;
  vantrel::Mutex lock_;
  bool logged_off_ GUARDED_BY(lock_) = false;
  ULONG next_connection_ GUARDED_BY(lock_) = 1;
  std::map<ULONG, std::pair<Route, ULONG>> advises_ GUARDED_BY(lock_);
  // The one logon of each provider (by its UID in hex) while the session
  // lasts, and which provider each registered entry-ID UID belongs to.
  std::map<std::string, ProviderLogon> stores_ GUARDED_BY(lock_);
  std::map<std::string, MAPIUID> routes_ GUARDED_BY(lock_);
  // One support object per provider, made on first use; they point back at
  // this session without a reference.
  std::map<std::string, ComPtr<IMAPISupport>> supports_ GUARDED_BY(lock_);
};

}  // namespace

bool ProviderLoads(const ProviderInfo& provider) {
  std::string dll = provider.DllName();
  if (IsPstDll(dll)) {
    const ProfProp* path = FindProp(provider.props, PR_PST_PATH);
    return path && !path->data.empty();
  }
  std::string lib = ProviderLibraryPath(dll);
  if (lib.empty()) return false;
  // Loadable means the library opens and has the entry point its kind needs.
  void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (!handle) handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return false;
  bool ok = provider.ResourceType() != MAPI_STORE_PROVIDER || dlsym(handle, "MSProviderInit") != nullptr;
  dlclose(handle);
  return ok;
}

HRESULT MsgStoresRows(const std::string& profile, TableRows* rows) {
  rows->clear();
  std::vector<ProviderInfo> all;
  if (HRESULT hr = ListProviders(profile, nullptr, &all); FAILED(hr)) return hr;
  std::vector<ProviderInfo> stores = StoreProviders(all);
  size_t def = DefaultStore(stores);
  for (size_t i = 0; i < stores.size(); ++i) {
    const ProviderInfo& p = stores[i];
    ProfProps row;
    std::string name = p.DisplayName();
    row.push_back(ProfProp::Text(PR_DISPLAY_NAME, name));
    std::vector<BYTE> id;
    if (SUCCEEDED(StoreEntryID(profile, p, &id))) row.push_back(ProfProp::Binary(PR_ENTRYID, id.data(), id.size()));
    if (const ProfProp* mdb = FindProp(p.props, PR_MDB_PROVIDER))
      row.push_back(*mdb);
    else if (IsPstDll(p.DllName()))
      row.push_back(ProfProp::Uid(PR_MDB_PROVIDER, kPstMdbProvider));
    ULONG flags = p.ResourceFlags() & ~STATUS_DEFAULT_STORE;
    if (i == def) flags |= STATUS_DEFAULT_STORE;
    row.push_back(ProfProp::Long(PR_RESOURCE_FLAGS, flags));
    row.push_back(ProfProp::Bool(PR_DEFAULT_STORE, i == def));
    if (const ProfProp* pd = FindProp(p.props, PR_PROVIDER_DISPLAY)) row.push_back(*pd);
    row.push_back(ProfProp::Uid(PR_INSTANCE_KEY, p.uid));
    row.push_back(ProfProp::Uid(PR_RECORD_KEY, p.uid));
    row.push_back(ProfProp::Long(PR_OBJECT_TYPE, MAPI_STORE));
    row.push_back(ProfProp::Uid(PR_PROVIDER_UID, p.uid));
    rows->push_back(std::move(row));
  }
  return S_OK;
}

HRESULT StatusRows(const std::string& profile, TableRows* rows) {
  rows->clear();
  std::vector<ProviderInfo> all;
  if (HRESULT hr = ListProviders(profile, nullptr, &all); FAILED(hr)) return hr;
  static const MAPIUID kSubsystemKey = {
      {0x13, 0xdb, 0xb0, 0xc8, 0xaa, 0x05, 0x10, 0x1a, 0x9b, 0xb0, 0x00, 0xaa, 0x00, 0x2f, 0xc4, 0x5a}};
  rows->push_back({ProfProp::Long(PR_RESOURCE_TYPE, MAPI_SUBSYSTEM), ProfProp::Text(PR_DISPLAY_NAME, profile),
                   ProfProp::Text(PR_PROVIDER_DISPLAY, "MAPI Subsystem"), ProfProp::Long(PR_RESOURCE_FLAGS, 0),
                   ProfProp::Long(PR_STATUS_CODE, STATUS_AVAILABLE), ProfProp::Long(PR_RESOURCE_METHODS, 0),
                   ProfProp::Uid(PR_INSTANCE_KEY, kSubsystemKey), ProfProp::Long(PR_OBJECT_TYPE, MAPI_STATUS)});
  for (const ProviderInfo& p : all) {
    ProfProps row;
    row.push_back(ProfProp::Long(PR_RESOURCE_TYPE, p.ResourceType() ? p.ResourceType() : MAPI_STORE_PROVIDER));
    row.push_back(ProfProp::Text(PR_DISPLAY_NAME, p.DisplayName()));
    if (const ProfProp* pd = FindProp(p.props, PR_PROVIDER_DISPLAY)) row.push_back(*pd);
    row.push_back(ProfProp::Text(PR_PROVIDER_DLL_NAME, p.DllName()));
    row.push_back(ProfProp::Long(PR_RESOURCE_FLAGS, p.ResourceFlags()));
    row.push_back(ProfProp::Long(PR_STATUS_CODE, ProviderLoads(p) ? STATUS_AVAILABLE : STATUS_FAILURE));
    row.push_back(ProfProp::Long(PR_RESOURCE_METHODS, 0));
    row.push_back(ProfProp::Uid(PR_INSTANCE_KEY, p.uid));
    row.push_back(ProfProp::Long(PR_OBJECT_TYPE, MAPI_STATUS));
    rows->push_back(std::move(row));
  }
  return S_OK;
}

}  // namespace vantrel::mapi

using namespace vantrel::mapi;
using vantrel::ComPtr;

HRESULT MAPIInitialize(LPVOID) {
  {
    Init& init = Initialization();
    vantrel::MutexLock lock(init.lock);
    if (init.count++ > 0) return S_OK;
  }
  MapiSvcInf inf;
  // A missing or unwritable system folder leaves MAPI usable with the
  // profiles it has; creating services then fails on its own.
  MapiSvcInf::LoadInstalled(&inf);
  MapiSvcInf::RegisterSharedDll();
  return S_OK;
}

void MAPIUninitialize() {
  Init& init = Initialization();
  vantrel::MutexLock lock(init.lock);
  if (init.count > 0) --init.count;
}

HRESULT MAPILogonEx(ULONG_PTR, LPSTR profile_name, LPSTR, ULONG flags, LPMAPISESSION* out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (!Initialized()) return MAPI_E_NOT_INITIALIZED;
  std::string profile = profile_name ? profile_name : "";
  if (profile.empty() && (flags & MAPI_USE_DEFAULT)) profile = ProfileStore::DefaultProfile();
  if (profile.empty() || !ProfileStore::Exists(profile)) return MAPI_E_LOGON_FAILED;
  // The key's own spelling, so shared sessions and status rows agree.
  for (const std::string& name : ProfileStore::List())
    if (strcasecmp(name.c_str(), profile.c_str()) == 0) profile = name;

  ComPtr<IMAPISession> session;
  bool share = !(flags & MAPI_NEW_SESSION);
  if (share) {
    vantrel::MutexLock lock(Shared().mu);
    auto it = Shared().by_profile.find(profile);
    if (it != Shared().by_profile.end() && it->second->TryAddRef()) session = ComPtr<IMAPISession>::Adopt(it->second);
  }
  if (!session) {
    auto* s = new Session(profile, share);
    session = ComPtr<IMAPISession>::Adopt(s);
    if (share) {
      SharedSessions& all = Shared();
      vantrel::MutexLock lock(all.mu);
      all.by_profile[profile] = s;
    }
  }
  std::vector<ProviderInfo> providers;
  if (FAILED(ListProviders(profile, nullptr, &providers))) return MAPI_E_LOGON_FAILED;
  bool all_load = true;
  for (const ProviderInfo& p : providers) all_load = all_load && ProviderLoads(p);
  *out = session.Detach();
  return all_load ? S_OK : MAPI_E_FAILONEPROVIDER;
}

HRESULT MAPIAdminProfiles(ULONG, LPPROFADMIN* out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  if (!Initialized()) return MAPI_E_NOT_INITIALIZED;
  return NewProfAdmin(out);
}
