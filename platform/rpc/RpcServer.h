// One RPC server: TCP endpoints, served interfaces, a reader thread per
// connection and a bounded pool of call threads. The published server
// names (RpcServerUseProtseqEp, ...) drive one process-wide instance;
// tests make their own on free ports.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace vantrel::rpc {

using AssociationClosed = std::function<void(std::uint64_t association)>;

// The process-wide server's SetAssociationClosed.
void SetProcessAssociationClosed(AssociationClosed fn);

class Server {
 public:
  Server();
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens a TCP endpoint; "0" picks a free port (see ports()).
  // RPC_S_DUPLICATE_ENDPOINT when the port is taken.
  RPC_STATUS UseEndpoint(const char* endpoint, unsigned max_calls);
  // Serves `spec` from now on; RPC_S_ALREADY_REGISTERED for a second
  // registration of the same uuid and version.
  RPC_STATUS RegisterIf(const InterfaceSpec& spec);
  // Starts accepting with at least min_threads call threads and at most
  // max_calls calls at once.
  RPC_STATUS Listen(unsigned min_threads, unsigned max_calls);
  // Closes the endpoints and every connection, joins every thread.
  RPC_STATUS Stop();
  // Blocks until Stop.
  RPC_STATUS Wait();

  // Called once for each connection that ended, on its reader thread,
  // after the last of its calls has finished (not for connections ended by
  // Stop).
  void SetAssociationClosed(AssociationClosed fn);

  std::vector<std::uint16_t> ports() const;
  // Call threads started so far (never more than max_calls).
  unsigned call_threads() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel::rpc
