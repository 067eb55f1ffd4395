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

// PR_MDB_PROVIDER of Vantrel stores (the value zelclient reports for its
// stores too), and the UID in their store entry IDs: 4 flag bytes, this
// UID, then "server(profile)(store)" and a NUL.
inline constexpr MAPIUID kMszlfProviderUid = {
    {0x7B, 0xE3, 0xC3, 0x80, 0x5B, 0x0A, 0x11, 0xCE, 0xB4, 0xE1, 0x00, 0xAA, 0x00, 0x51, 0x0E, 0x3B}};

}  // namespace vantrel::mszlf
