// The Vantrel store provider's own profile properties, in the range MAPI
// leaves to providers (0x6600-0x67FF). ConfigureMsgService of the "MSZLF"
// service takes them (and PR_DISPLAY_NAME); the service entry keeps them in
// each provider section of the service.
#pragma once

#include "platform/mapi/MapiDefs.h"

namespace vantrel::mszlf {

// Host name or dotted address of the ZelServer.
inline constexpr ULONG PR_ZLF_SERVER = PROP_TAG(PT_STRING8, 0x6610);
// The server's MAPI profile and the store in it.
inline constexpr ULONG PR_ZLF_PROFILE = PROP_TAG(PT_STRING8, 0x6611);
inline constexpr ULONG PR_ZLF_STORE = PROP_TAG(PT_STRING8, 0x6612);
// The user of the server's directory and the password.
inline constexpr ULONG PR_ZLF_LOGIN = PROP_TAG(PT_STRING8, 0x6613);
inline constexpr ULONG PR_ZLF_PASSWORD = PROP_TAG(PT_STRING8, 0x6614);
// The 16-byte identifier the server keeps for that store (kept once known).
inline constexpr ULONG PR_ZLF_STORE_UID = PROP_TAG(PT_BINARY, 0x6615);

// PR_MDB_PROVIDER of Vantrel stores, and the UID in their store entry IDs:
// 4 flag bytes, this UID, then "server(profile)(store)" and a NUL.
inline constexpr MAPIUID kMszlfProviderUid = {
    {0x5a, 0x4c, 0x46, 0x21, 0x93, 0x01, 0x4d, 0x8e, 0xb1, 0x7c, 0x2e, 0x60, 0x0f, 0xa5, 0x19, 0x93}};

}  // namespace vantrel::mszlf
