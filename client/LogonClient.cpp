// The export the store provider logs on with.
#include <cstring>

#include "client/ClientCall.h"
#include "client/ClientLogon.h"
#include "client/ClientModule.h"
#include "client/ClientMsgStore.h"
#include "platform/base/SystemInfo.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/win/MessageBox.h"

using namespace vantrel;
using namespace vantrel::client;

namespace {

constexpr UINT kStringWrongLogin = 2;
constexpr UINT kStringStoreNotFound = 6;

// One binary property of the store, or nothing.
std::optional<std::vector<BYTE>> ReadBinary(IMsgStore* store, ULONG tag) {
  SPropTagArray tags{1, {tag}};
  ULONG count = 0;
  LPSPropValue value = nullptr;
  std::optional<std::vector<BYTE>> out;
  if (SUCCEEDED(store->GetProps(&tags, 0, &count, &value)) && value && count == 1 && value->ulPropTag == tag) {
    const BYTE* b = value->Value.bin.lpb;
    out.emplace(b, b + (b ? value->Value.bin.cb : 0));
  }
  MAPIFreeBuffer(value);
  return out;
}

// Fills the logon's store identity from the store and the provider's view
// of it. Translation stays off unless every part is there: a missing UID
// would otherwise rewrite IDs that merely hold zeros.
void FillIdentity(CClientLogon* logon, IMsgStore* store, const BYTE* local_entry_id, ULONG local_entry_id_size,
                  const BYTE* local_uid) {
  auto server_entry_id = ReadBinary(store, PR_ENTRYID);
  if (!server_entry_id) return;
  auto subtree = ReadBinary(store, PR_IPM_SUBTREE_ENTRYID);
  if (!subtree || subtree->size() < 20 || !local_uid) return;
  StoreIdentity ids;
  ids.server_entry_id = std::move(*server_entry_id);
  std::copy(subtree->begin() + 4, subtree->begin() + 20, ids.server_uid.begin());
  if (local_entry_id && local_entry_id_size)
    ids.local_entry_id.assign(local_entry_id, local_entry_id + local_entry_id_size);
  std::copy(local_uid, local_uid + 16, ids.local_uid.begin());
  logon->SetStoreIdentity(std::move(ids));
}

}  // namespace

extern "C" HRESULT LogonClient(const char* server, const char* profile, const char* store_name, const char* user,
                               const char* password, IMAPISupport* support, CClientLogon** logon_out,
                               IMsgStore** store_out, const BYTE* local_entry_id, ULONG local_entry_id_size,
                               const BYTE* local_uid) {
  ClientModuleStartup();
  if (logon_out) *logon_out = nullptr;
  if (store_out) *store_out = nullptr;
  if (!logon_out || !store_out) return MAPI_E_INVALID_PARAMETER;
  std::string computer = ComputerName();
  if (computer.size() > 260) computer.resize(260);
  std::string string_binding;
  auto* logon = new CClientLogon;
  logon->AddRef();
  zel::Tarnix_Logon::Request in;
  in.profile = profile ? profile : "";
  in.storeName = store_name ? store_name : "";
  in.userName = user ? user : "";
  in.password = password ? password : "";
  in.reserved = logon->ApplicationString();
  in.workstation = computer;
  HRESULT hr = MAPI_E_CALL_FAILED;
  // A session made over a binding that reconnected during the logon is
  // unreachable (the binding retires): one more try on a new binding.
  for (int attempt = 0; attempt < 2; ++attempt) {
    InitClient(server, &string_binding);  // a failed binding shows as the logon's failure
    RPC_BINDING_HANDLE binding = CurrentBinding();
    // A connection the server dropped since the last call is renewed by a
    // call that names nothing, so the logon goes out on a binding that
    // stays.
    zel::GetNotifyQuere::Request probe{0};
    zel::GetNotifyQuere::Reply probe_out;
    CallRemote<zel::GetNotifyQuere>(binding, probe, probe_out);
    if (BindingRetired(binding)) {
      InitClient(server, &string_binding);
      binding = CurrentBinding();
    }
    logon->SetBinding(binding);
    zel::Tarnix_Logon::Reply out;
    hr = CallRemote<zel::Tarnix_Logon>(binding, in, out);
    if (!BindingRetired(binding)) break;
    hr = RpcFailure(RPC_S_CALL_FAILED);
  }
  if (hr < 0) {
    if (hr == MAPI_E_INVALID_WORKSTATION_ACCOUNT) {
      MessageBox(nullptr, ClientString(kStringWrongLogin).c_str(), "", MB_OK);
    } else if (hr == MAPI_E_NOT_FOUND) {
      std::string text =
          Format(ClientString(kStringStoreNotFound).c_str(), in.storeName.c_str(), in.profile.c_str());
      MessageBox(nullptr, text.c_str(), "", MB_OK);
    }
    logon->Release();
    return hr;
  }
  // A failed call reports a negative result too (RpcFailure): what is
  // left is the server's handle of the new session.
  logon->SetLogonHandle(hr);

  if (CClientMsgStore* old = logon->Store()) old->Release();
  zel::ZelLogon_GetMsgStore::Request store_in{logon->LogonHandle()};
  zel::ZelLogon_GetMsgStore::Reply store_reply;
  HRESULT store_hr = CallRemote<zel::ZelLogon_GetMsgStore>(logon->Binding(), store_in, store_reply);
  CClientMsgStore* store = nullptr;
  if (SUCCEEDED(store_hr) && store_reply.result > 0) {
    store = new CClientMsgStore(store_reply.result, logon, logon->Binding());
    logon->SetStore(store);
  }
  *logon_out = logon;  // the caller's reference is the one taken above
  if (!store) return 1;

  store->AddRef();
  logon->SetSupport(support);
  logon->SetStringBinding(string_binding);
  FillIdentity(logon, store, local_entry_id, local_entry_id_size, local_uid);
  if (support) {
    zel::CMapiMarshal::Allocator a;
    if (SUCCEEDED(support->GetMemAllocRoutines(&a.allocate, &a.allocate_more, &a.free)) && a.allocate &&
        a.allocate_more && a.free)
      logon->SetAllocator(a);
  }
  *store_out = store;
  return S_OK;
}
