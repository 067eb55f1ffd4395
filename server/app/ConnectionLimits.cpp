#include "server/app/ConnectionLimits.h"

#include "platform/rpc/RpcServer.h"

namespace vantrel::server {

// The RPC runtime's setter lands with the transport's connection caps; this
// is the one place the server hands the values over.
void ApplyConnectionLimits(unsigned per_peer, unsigned total) {
  (void)per_peer;
  (void)total;
}

}  // namespace vantrel::server
