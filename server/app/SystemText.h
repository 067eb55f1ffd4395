// The system's text for a status the server's start can meet, as the
// platform's message table words it.
#pragma once

#include <string>

#include "platform/rpc/Rpc.h"

namespace vantrel::server {

// The text of `status`; for a status without one, its number and name.
std::string SystemText(RPC_STATUS status);

}  // namespace vantrel::server
