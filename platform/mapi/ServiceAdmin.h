// Profile administration (IProfAdmin), message-service administration
// (IMsgServiceAdmin) and provider administration (IProviderAdmin) over the
// profiles in the registry.
#pragma once

#include <string>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/SessionTables.h"

namespace vantrel::mapi {

HRESULT NewProfAdmin(IProfAdmin** out);
HRESULT NewMsgServiceAdmin(const std::string& profile, IMsgServiceAdmin** out);
HRESULT NewProviderAdmin(const std::string& profile, const MAPIUID& service, IProviderAdmin** out);

// The rows behind the tables: profiles (PR_DISPLAY_NAME, PR_DEFAULT_PROFILE),
// services (PR_SERVICE_NAME, PR_DISPLAY_NAME, PR_SERVICE_UID,
// PR_RESOURCE_FLAGS, ...) and providers (their section's properties with
// PR_PROVIDER_UID and PR_SERVICE_UID) of a profile or of one service.
void ProfileTableRows(TableRows* rows);
HRESULT ServiceTableRows(const std::string& profile, TableRows* rows);
HRESULT ProviderTableRows(const std::string& profile, const MAPIUID* service, TableRows* rows);

}  // namespace vantrel::mapi
