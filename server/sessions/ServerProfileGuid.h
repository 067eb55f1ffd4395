// Store identity: every store of the server carries one 16-byte identifier,
// kept in a hidden message of its IPM subtree root (subject "MsgStore UID",
// class "IPM.ZEL.Server") as the named property "ProviderGUID"
// (PS_PUBLIC_STRINGS, PT_BINARY). The first caller for a store sets it;
// every later caller receives it.
#pragma once

#include "protocol/ZelProtocol.h"

namespace vantrel::server {

inline constexpr const char* kStoreUidSubject = "MsgStore UID";
inline constexpr const char* kStoreUidClass = "IPM.ZEL.Server";

// Serves ServerHooks::set_profile_guid. `out.guid` holds the caller's
// identifier on entry and the store's on return. Logs on to the profile on
// the calling thread. Callers for the same store are serialised from
// opening the store to saving the identifier, so two first callers at the
// same moment end with one identifier.
HRESULT Server_SetProfileGuid(const zel::Server_SetProfileGuid::Request& in, zel::Server_SetProfileGuid::Reply& out);

}  // namespace vantrel::server
