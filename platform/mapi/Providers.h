// Loading providers by the library names MAPISVC.INF and the profile give.
// The personal-folders service ("MSPST.DLL") is built in and opens its
// stores through the store engine; any other name is a shared library in the
// provider folder (<MAPI system folder>/providers, the name in lower case
// with ".dll" replaced by ".so"), entered through its C entry points: the
// service entry named by PR_SERVICE_ENTRY_NAME (default "ServiceEntry") and
// MSProviderInit for a store provider.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/Services.h"

namespace vantrel::mapi {

// The logon object a store provider returns beside its store: MAPI's side
// of one provider logon. MAPI routes the session's calls on entry IDs of
// the provider here and calls Logoff when the session ends.
struct IMSLogon : public IUnknown {
  STDMETHOD(GetLastError)(HRESULT hr, ULONG flags, LPMAPIERROR* error) = 0;
  STDMETHOD(Logoff)(ULONG* flags) = 0;
  STDMETHOD(OpenEntry)(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* type, LPUNKNOWN* out) = 0;
  STDMETHOD(CompareEntryIDs)(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG flags, ULONG* result) = 0;
  STDMETHOD(Advise)(ULONG cb, LPENTRYID id, ULONG mask, LPMAPIADVISESINK sink, ULONG* connection) = 0;
  STDMETHOD(Unadvise)(ULONG connection) = 0;
  STDMETHOD(OpenStatusEntry)(LPCIID iid, ULONG flags, ULONG* type, LPMAPISTATUS* out) = 0;
};
using LPMSLOGON = IMSLogon*;

// The store provider object a library returns from MSProviderInit.
struct IMSProvider : public IUnknown {
  STDMETHOD(Shutdown)(ULONG* flags) = 0;
  STDMETHOD(Logon)
  (LPMAPISUP support, ULONG_PTR ui_param, LPSTR profile_name, ULONG cb_entry_id, LPENTRYID entry_id, ULONG flags,
   LPCIID iid, ULONG* cb_spool_security, LPBYTE* spool_security, LPMAPIERROR* error, LPMSLOGON* ms_logon,
   LPMDB* mdb) = 0;
  STDMETHOD(SpoolerLogon)
  (LPMAPISUP support, ULONG_PTR ui_param, LPSTR profile_name, ULONG cb_entry_id, LPENTRYID entry_id, ULONG flags,
   LPCIID iid, ULONG cb_spool_security, LPBYTE spool_security, LPMAPIERROR* error, LPMSLOGON* ms_logon,
   LPMDB* mdb) = 0;
  STDMETHOD(CompareStoreIDs)(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG flags, ULONG* result) = 0;
};
using MSPROVIDERINIT = HRESULT(void* hinstance, void* malloc, LPALLOCATEBUFFER allocate_buffer,
                               LPALLOCATEMORE allocate_more, LPFREEBUFFER free_buffer, ULONG flags, ULONG mapi_version,
                               ULONG* provider_version, IMSProvider** provider);
inline constexpr ULONG CURRENT_SPI_VERSION = 0x00010010;

// How the built-in personal-folders provider reaches its store engine; the
// default calls OpenPstStore / PstStoreEntryID. Tests may put a fake here.
struct PstBackend {
  std::function<HRESULT(const std::string& path, const std::string& display_name, ULONG flags, IMsgStore** out)> open;
  std::function<HRESULT(const std::string& path, std::vector<BYTE>& out)> entry_id;
};
void SetPstBackend(PstBackend backend);  // empty functions restore the default
bool IsPstDll(const std::string& dll_name);

std::string ProviderDirectory();
// The library path for a DLL name, "" for the built-in one.
std::string ProviderLibraryPath(const std::string& dll_name);

// Calls a service's entry (context MSG_SERVICE_*). The built-in service
// answers MSG_SERVICE_CONFIGURE by storing PR_PST_PATH and PR_DISPLAY_NAME
// in its provider sections (and the display name on the service).
HRESULT CallServiceEntry(const std::string& profile, const MAPIUID& service, ULONG_PTR ui_param, ULONG flags,
                         ULONG context, ULONG count, const SPropValue* props);

// The entry ID of a store provider's store: the engine's own for personal
// folders; for others the PR_ENTRYID the provider recorded in its section,
// else a MAPI-wrapped ID naming the provider's UID.
HRESULT StoreEntryID(const std::string& profile, const ProviderInfo& provider, std::vector<BYTE>* out);
// The provider UID inside a wrapped store ID, if it is one.
bool UnwrapStoreEntryID(const BYTE* id, ULONG cb, MAPIUID* provider);
// One logon to a store provider: its store, and for an outside provider
// the provider object and its logon object (null for the built-in one).
struct ProviderLogon {
  ComPtr<IMsgStore> store;
  ComPtr<IMSLogon> logon;
  ComPtr<IMSProvider> provider;
};
// Logs on to a store provider. support is handed to an outside provider.
HRESULT OpenProviderStore(const std::string& profile, const ProviderInfo& provider, LPMAPISUP support, ULONG flags,
                          ProviderLogon* out);
// Ends a logon made by OpenProviderStore: the store is released, the logon
// object's Logoff and then the provider's Shutdown are called.
void CloseProviderLogon(ProviderLogon* logon);

}  // namespace vantrel::mapi
