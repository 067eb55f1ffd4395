// zelclient as the store provider reaches it: loaded at run time, its
// exports bound by name and checked against their ordinals. Never linked.
#pragma once

#include <string>

#include "platform/mapi/MapiInterfaces.h"

namespace vantrel::mszlf {

// The client logon LogonClient hands out, as a module that does not link
// zelclient sees it, the way a C caller sees a COM object: a pointer to its
// table of virtual functions, whose first two entries count references.
struct ClientLogonRef;
struct ClientLogonVtbl {
  ULONG (*AddRef)(ClientLogonRef* self);
  ULONG (*Release)(ClientLogonRef* self);
};
struct ClientLogonRef {
  const ClientLogonVtbl* vtbl;
};
inline ULONG ReleaseClientLogon(ClientLogonRef* logon) {
  return logon ? logon->vtbl->Release(logon) : 0;
}

// The exports the provider calls, with the argument order of the contract.
using LogonClientFn = HRESULT (*)(const char* server, const char* profile, const char* store, const char* user,
                                  const char* password, IMAPISupport* support, ClientLogonRef** client_logon,
                                  IMsgStore** store_out, BYTE* local_entry_id, ULONG cb_local_entry_id,
                                  BYTE* local_uid);
using ConnectionDialogFn = HRESULT (*)(char* record);
using CreateStoreIDFn = HRESULT (*)(const char* text, BYTE* uid);

inline constexpr int kLogonClientOrdinal = 2;
inline constexpr int kConnectionDialogOrdinal = 3;
inline constexpr int kCreateStoreIDOrdinal = 6;

struct ZelClientExports {
  LogonClientFn logon_client = nullptr;
  ConnectionDialogFn connection_dialog = nullptr;
  CreateStoreIDFn create_store_id = nullptr;
};

// Loads zelclient once per process and binds the three exports. The module
// is, in this order: the file named by ZEL_CLIENT_MODULE; zelclient.so
// beside this provider; zelclient.so beside the platform libraries;
// "zelclient" by the loader's search path. MAPI_E_NOT_FOUND when none loads or
// LogonClient or CreateStoreID is missing or its name and ordinal disagree;
// connection_dialog stays null when that export is missing.
HRESULT BindZelClient(ZelClientExports* out, std::string* why = nullptr);

// The private interface of zelclient's store for the spooler's logon.
inline constexpr GUID IID_IZelStoreContext = {
    0xEB75A397, 0x71C4, 0x40ED, {0x90, 0xF7, 0xA4, 0x86, 0x8A, 0x55, 0xA0, 0xC3}};
struct IZelStoreContext : public IUnknown {
  STDMETHOD(SetSpoolerMode)(ULONG mode) = 0;
  STDMETHOD(GetSpoolerMode)(ULONG* mode) = 0;
};

}  // namespace vantrel::mszlf
