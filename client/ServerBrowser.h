// The computer list of the connection dialog: the computers of the network
// neighbourhood that answer on the server's endpoint.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/win/WinUser.h"

namespace vantrel::client {

// Every computer of the network, in the order the enumeration gives them,
// without the leading "\\". A failing step is shown in a box captioned
// "ZEL" ("Problem in EnumComputers, Aktion = %s"); what was found until
// then is returned.
std::vector<std::string> EnumComputers(HWND owner);

// The names of `names` that accept a TCP connection on the server's
// endpoint (ZEL_RPC_ENDPOINT, else 5002) within `bound`, in their order.
// All are tried at once; the call returns by `bound` whatever a host does
// (a name still resolving or connecting then is left out). A name whose
// probe cannot even start on this machine is kept: the user may try it.
std::vector<std::string> ProbeServers(const std::vector<std::string>& names, std::chrono::milliseconds bound);

// The time the dialog gives the probes.
inline constexpr std::chrono::milliseconds kProbeBound{1500};

}  // namespace vantrel::client
