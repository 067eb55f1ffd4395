// The transport's caps on connections, handed from the configuration to
// the process-wide RPC server before it listens.
#pragma once

namespace vantrel::server {

// Connections from one peer address, and in total; the connection past
// either cap is closed at once.
void ApplyConnectionLimits(unsigned per_peer, unsigned total);

}  // namespace vantrel::server
