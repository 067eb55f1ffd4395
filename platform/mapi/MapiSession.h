// MAPI's entry points for sessions and profile administration, and the
// rows of a session's tables.
#pragma once

#include <string>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/SessionTables.h"

// Counted: each MAPIInitialize needs its MAPIUninitialize. Also installs
// MAPISVC.INF in the MAPI system folder when missing and registers MAPI's
// library in the SharedDLLs list.
HRESULT MAPIInitialize(LPVOID init);
void MAPIUninitialize();
// Logs on to a profile (null or empty with MAPI_USE_DEFAULT: the default
// profile). An unknown profile is MAPI_E_LOGON_FAILED. A store provider
// that cannot be loaded gives MAPI_E_FAILONEPROVIDER together with a
// session. Without MAPI_NEW_SESSION a live session of the same profile in
// this process is shared.
HRESULT MAPILogonEx(ULONG_PTR ui_param, LPSTR profile_name, LPSTR password, ULONG flags, LPMAPISESSION* session);
HRESULT MAPIAdminProfiles(ULONG flags, LPPROFADMIN* prof_admin);

namespace vantrel::mapi {

// The message stores table of a profile: PR_DISPLAY_NAME, PR_ENTRYID,
// PR_MDB_PROVIDER, PR_RESOURCE_FLAGS, PR_DEFAULT_STORE, PR_PROVIDER_DISPLAY
// and more, one row per store provider. The default store is the provider
// flagged STATUS_DEFAULT_STORE, else the first.
HRESULT MsgStoresRows(const std::string& profile, TableRows* rows);
// The status table: the MAPI subsystem row (PR_RESOURCE_TYPE MAPI_SUBSYSTEM,
// PR_DISPLAY_NAME the profile name), then one row per provider with
// PR_STATUS_CODE STATUS_AVAILABLE or STATUS_FAILURE.
HRESULT StatusRows(const std::string& profile, TableRows* rows);
// Whether a provider's code can be reached (the built-in store engine, or a
// library with its entry point).
struct ProviderInfo;
bool ProviderLoads(const ProviderInfo& provider);

}  // namespace vantrel::mapi
