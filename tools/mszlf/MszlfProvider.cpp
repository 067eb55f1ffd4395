// The Vantrel store provider "Mszlf.DLL" (here providers/mszlf.so): MAPI
// enters it through ServiceEntry to configure the service and through
// MSProviderInit to log on to the store; each logon is a logon of
// zelclient, whose store proxy the provider hands to MAPI.
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/Providers.h"
#include "platform/mapi/Services.h"
#include "platform/mapi/TableData.h"
#include "tools/mszlf/MszlfConfig.h"
#include "tools/mszlf/MszlfProps.h"
#include "tools/mszlf/ZelClientModule.h"

using namespace vantrel::mapi;
using vantrel::ComPtr;
using vantrel::mszlf::Config;

namespace {

// The connection record of ConnectionDialog: three texts of 260 bytes.
constexpr size_t kField = 260;

void PutField(char* record, size_t index, const std::string& text) {
  std::strncpy(record + index * kField, text.c_str(), kField - 1);
  record[index * kField + kField - 1] = '\0';
}
std::string GetField(const char* record, size_t index) {
  return std::string(record + index * kField, strnlen(record + index * kField, kField));
}

// Asks the user through zelclient's dialog; false on Cancel.
HRESULT AskUser(Config* config) {
  vantrel::mszlf::ZelClientExports zel;
  if (HRESULT hr = vantrel::mszlf::BindZelClient(&zel); FAILED(hr)) return hr;
  if (!zel.connection_dialog) return MAPI_E_NO_SUPPORT;
  char record[3 * kField] = {};
  PutField(record, 0, config->server.empty() ? std::string() : config->Connection());
  PutField(record, 1, config->login);
  PutField(record, 2, config->password);
  if (zel.connection_dialog(record) != 0) return MAPI_E_USER_CANCEL;
  config->SetConnection(GetField(record, 0));
  config->login = GetField(record, 1);
  config->password = GetField(record, 2);
  return S_OK;
}

// The identifier the server keeps for the configured store.
HRESULT FetchStoreUid(Config* config) {
  vantrel::mszlf::ZelClientExports zel;
  if (HRESULT hr = vantrel::mszlf::BindZelClient(&zel); FAILED(hr)) return hr;
  BYTE uid[16] = {};
  if (HRESULT hr = zel.create_store_id(config->Connection().c_str(), uid); hr != S_OK)
    return FAILED(hr) ? hr : MAPI_E_NETWORK_ERROR;
  config->store_uid.assign(uid, uid + 16);
  return S_OK;
}

// The provider sections of the service, from its provider table.
HRESULT ProviderSections(LPPROVIDERADMIN admin, std::vector<ComPtr<IProfSect>>* out) {
  ComPtr<IMAPITable> table;
  if (HRESULT hr = admin->GetProviderTable(0, table.Out()); FAILED(hr)) return hr;
  SizedSPropTagArray<1> cols{1, {PR_PROVIDER_UID}};
  LPSRowSet rows = nullptr;
  if (HRESULT hr = HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, &rows); FAILED(hr)) return hr;
  HRESULT hr = S_OK;
  for (ULONG i = 0; SUCCEEDED(hr) && i < rows->cRows; ++i) {
    const SPropValue& v = rows->aRow[i].lpProps[0];
    if (v.ulPropTag != PR_PROVIDER_UID || v.Value.bin.cb != sizeof(MAPIUID)) continue;
    MAPIUID uid;
    std::memcpy(uid.ab, v.Value.bin.lpb, sizeof uid.ab);
    ComPtr<IProfSect> section;
    hr = admin->OpenProfileSection(&uid, nullptr, MAPI_MODIFY, section.Out());
    if (SUCCEEDED(hr)) out->push_back(std::move(section));
  }
  FreeProws(rows);
  return hr;
}

HRESULT Configure(ULONG flags, ULONG count, const SPropValue* props, LPPROVIDERADMIN admin) {
  std::vector<ComPtr<IProfSect>> sections;
  if (HRESULT hr = ProviderSections(admin, &sections); FAILED(hr)) return hr;
  if (sections.empty()) return MAPI_E_NOT_FOUND;
  Config config;
  ReadConfig(sections[0].get(), &config);
  ApplyProps(count, props, &config);
  if (flags & SERVICE_UI_ALWAYS) {
    std::string before = config.Connection();
    if (HRESULT hr = AskUser(&config); FAILED(hr)) return hr;
    if (config.Connection() != before) config.store_uid.clear();
  }
  if (!config.Complete()) return MAPI_E_UNCONFIGURED;
  // Without a server at hand the identifier is fetched at the first logon.
  if (config.store_uid.size() != 16) FetchStoreUid(&config);
  for (auto& section : sections)
    if (HRESULT hr = WriteConfig(section.get(), config); FAILED(hr)) return hr;
  return S_OK;
}

// MAPI's side of one provider logon: the zelclient logon and store it
// made, on which the session's calls for this provider's entry IDs are made.
class MszlfLogon final : public vantrel::RefCounted<IMSLogon> {
 public:
  MszlfLogon(vantrel::mszlf::ClientLogonRef* client, IMsgStore* store) : client_(client), store_(store) {}
  ~MszlfLogon() override { Logoff(nullptr); }

  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override {
    if (error) *error = nullptr;
    return S_OK;
  }
  // Gives back the provider's references on the store and the client
  // logon; with MAPI's gone too, zelclient ends the store and, once no
  // object of the mail client uses it any more, the logon on the server.
  HRESULT Logoff(ULONG* flags) override {
    if (flags) *flags = 0;
    ComPtr<IMsgStore> store;
    vantrel::mszlf::ClientLogonRef* client = nullptr;
    {
      vantrel::MutexLock lock(mu_);
      store = std::move(store_);
      client = std::exchange(client_, nullptr);
    }
    store.Reset();
    vantrel::mszlf::ReleaseClientLogon(client);
    return S_OK;
  }
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    ComPtr<IMsgStore> store = Store();
    if (!store) return MAPI_E_END_OF_SESSION;
    return store->OpenEntry(cb, id, iid, flags, type, out);
  }
  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG flags, ULONG* result) override {
    ComPtr<IMsgStore> store = Store();
    if (!store) return MAPI_E_END_OF_SESSION;
    return store->CompareEntryIDs(cb1, id1, cb2, id2, flags, result);
  }
  HRESULT Advise(ULONG cb, LPENTRYID id, ULONG mask, LPMAPIADVISESINK sink, ULONG* connection) override {
    ComPtr<IMsgStore> store = Store();
    if (!store) return MAPI_E_END_OF_SESSION;
    return store->Advise(cb, id, mask, sink, connection);
  }
  HRESULT Unadvise(ULONG connection) override {
    ComPtr<IMsgStore> store = Store();
    if (!store) return MAPI_E_END_OF_SESSION;
    return store->Unadvise(connection);
  }
  HRESULT OpenStatusEntry(LPCIID, ULONG, ULONG*, LPMAPISTATUS*) override { return MAPI_E_NO_SUPPORT; }

 private:
  ComPtr<IMsgStore> Store() {
    vantrel::MutexLock lock(mu_);
    return store_;
  }

  vantrel::Mutex mu_;
  // Adopted from LogonClient: the references the provider owns.
  vantrel::mszlf::ClientLogonRef* client_ GUARDED_BY(mu_);
  ComPtr<IMsgStore> store_ GUARDED_BY(mu_);
};

class MszlfProvider final : public vantrel::RefCounted<IMSProvider> {
 public:
  HRESULT Shutdown(ULONG* flags) override {
    if (flags) *flags = 0;
    return S_OK;
  }
  HRESULT Logon(LPMAPISUP support, ULONG_PTR, LPSTR, ULONG cb_entry_id, LPENTRYID entry_id, ULONG, LPCIID, ULONG*,
                LPBYTE*, LPMAPIERROR* error, LPMSLOGON* logon, LPMDB* mdb) override {
    return DoLogon(support, cb_entry_id, entry_id, 0, error, logon, mdb);
  }
  // The spooler's logon marks its store through zelclient's store context.
  HRESULT SpoolerLogon(LPMAPISUP support, ULONG_PTR, LPSTR, ULONG cb_entry_id, LPENTRYID entry_id, ULONG, LPCIID,
                       ULONG, LPBYTE, LPMAPIERROR* error, LPMSLOGON* logon, LPMDB* mdb) override {
    return DoLogon(support, cb_entry_id, entry_id, 1, error, logon, mdb);
  }
  HRESULT CompareStoreIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG, ULONG* result) override {
    if (!result || (cb1 && !id1) || (cb2 && !id2)) return MAPI_E_INVALID_PARAMETER;
    *result = cb1 == cb2 && (cb1 == 0 || std::memcmp(id1, id2, cb1) == 0);
    return S_OK;
  }

 private:
  static HRESULT DoLogon(LPMAPISUP support, ULONG cb_entry_id, LPENTRYID entry_id, ULONG spooler_mode,
                         LPMAPIERROR* error, LPMSLOGON* logon, LPMDB* mdb) {
    if (error) *error = nullptr;
    if (logon) *logon = nullptr;
    if (!support || !mdb) return MAPI_E_INVALID_PARAMETER;
    *mdb = nullptr;
    vantrel::mszlf::ZelClientExports zel;
    if (HRESULT hr = vantrel::mszlf::BindZelClient(&zel); FAILED(hr)) return hr;
    ComPtr<IProfSect> section;
    if (HRESULT hr = support->OpenProfileSection(nullptr, MAPI_MODIFY, section.Out()); FAILED(hr)) return hr;
    Config config;
    if (HRESULT hr = ReadConfig(section.get(), &config); FAILED(hr)) return hr;
    if (!config.Complete()) return MAPI_E_UNCONFIGURED;
    if (config.store_uid.size() != 16) {
      if (HRESULT hr = FetchStoreUid(&config); FAILED(hr)) return hr;
      WriteConfig(section.get(), config);
    }
    std::vector<BYTE> local_id = config.StoreEntryID();
    if (entry_id && cb_entry_id) local_id.assign(reinterpret_cast<BYTE*>(entry_id),
                                                 reinterpret_cast<BYTE*>(entry_id) + cb_entry_id);
    vantrel::mszlf::ClientLogonRef* client_logon = nullptr;
    IMsgStore* raw = nullptr;
    HRESULT hr = zel.logon_client(config.server.c_str(), config.profile.c_str(), config.store.c_str(),
                                  config.login.c_str(), config.password.c_str(), support, &client_logon, &raw,
                                  local_id.data(), static_cast<ULONG>(local_id.size()), config.store_uid.data());
    if (FAILED(hr)) return hr;
    if (hr == 1 || !raw) {  // no store on the server
      vantrel::mszlf::ReleaseClientLogon(client_logon);
      return MAPI_E_LOGON_FAILED;
    }
    // The one reference LogonClient handed over stays with the logon object.
    ComPtr<IMsgStore> store = ComPtr<IMsgStore>::Adopt(raw);
    if (spooler_mode) {
      ComPtr<vantrel::mszlf::IZelStoreContext> context;
      if (SUCCEEDED(store->QueryInterface(vantrel::mszlf::IID_IZelStoreContext, context.OutVoid())))
        context->SetSpoolerMode(spooler_mode);
    }
    MAPIUID uid;
    std::memcpy(uid.ab, config.store_uid.data(), 16);
    support->SetProviderUID(&uid, 0);
    *mdb = ComPtr<IMsgStore>(store).Detach();
    auto* made = new MszlfLogon(client_logon, store.get());
    if (logon)
      *logon = made;
    else
      made->Release();
    return S_OK;
  }
};

}  // namespace

#define MSZLF_EXPORT extern "C" __attribute__((visibility("default")))

MSZLF_EXPORT HRESULT ServiceEntry(void*, void*, LPMAPISUP, ULONG_PTR, ULONG flags, ULONG context, ULONG count,
                                  LPSPropValue props, LPPROVIDERADMIN admin, LPMAPIERROR* error) {
  if (error) *error = nullptr;
  switch (context) {
    case MSG_SERVICE_CONFIGURE:
      if (!admin || (count && !props)) return MAPI_E_INVALID_PARAMETER;
      return Configure(flags, count, props, admin);
    case MSG_SERVICE_CREATE:
      // Created with its settings at once when given some.
      if (admin && count && props) return Configure(flags & SERVICE_UI_ALWAYS, count, props, admin);
      return S_OK;
    default:
      return S_OK;
  }
}

MSZLF_EXPORT HRESULT MSProviderInit(void*, void*, LPALLOCATEBUFFER, LPALLOCATEMORE, LPFREEBUFFER, ULONG, ULONG,
                                    ULONG* version, IMSProvider** out) {
  if (!out) return MAPI_E_INVALID_PARAMETER;
  if (version) *version = CURRENT_SPI_VERSION;
  *out = new MszlfProvider;
  return S_OK;
}
