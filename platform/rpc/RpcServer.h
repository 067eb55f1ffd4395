// One RPC server: TCP endpoints, served interfaces and a bounded pool of
// call threads. A connection waiting for its next PDU holds no thread: the
// pool waits on the readiness of every connection at once, and the thread
// that reads a call runs it. The published server names
// (RpcServerUseProtseqEp, ...) drive one process-wide instance; tests make
// their own on free ports.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace vantrel::rpc {

using AssociationClosed = std::function<void(std::uint64_t association)>;
// Where the runtime writes the few lines it has to say (refused
// connections, calls left running at a stop). Default: stderr.
using RuntimeLog = std::function<void(const std::string& line)>;

inline constexpr unsigned kDefaultConnectionsPerPeer = 64;
inline constexpr unsigned kDefaultConnections = 1024;

// The process-wide server's SetAssociationClosed, SetConnectionLimits and
// SetLog, and its bounded Stop.
void SetProcessAssociationClosed(AssociationClosed fn);
void SetProcessConnectionLimits(unsigned per_peer, unsigned total);
void SetProcessRuntimeLog(RuntimeLog fn);
RPC_STATUS StopProcessServer(std::chrono::milliseconds bound, std::vector<CallInfo>* still_running);

class Server {
 public:
  Server();
  // Stops, waiting at most kDestructorBound for running calls; calls still
  // running then are logged and left to end on their own threads.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  static constexpr std::chrono::milliseconds kDestructorBound{30000};

  // Opens a TCP endpoint; "0" picks a free port (see ports()).
  // RPC_S_DUPLICATE_ENDPOINT when the port is taken.
  RPC_STATUS UseEndpoint(const char* endpoint, unsigned max_calls);
  // Serves `spec` from now on; RPC_S_ALREADY_REGISTERED for a second
  // registration of the same uuid and version.
  RPC_STATUS RegisterIf(const InterfaceSpec& spec);
  // Starts accepting with at least min_threads call threads and at most
  // max_calls calls (and call threads) at once.
  RPC_STATUS Listen(unsigned min_threads, unsigned max_calls);
  // Closes the endpoints and every connection and waits for every running
  // call to end.
  RPC_STATUS Stop();
  // The same, waiting at most `bound`. Calls still running then are
  // appended to `still_running` (when not null) and their threads left to
  // finish on their own (their replies go nowhere); returns
  // RPC_S_CALL_IN_PROGRESS in that case. The server can listen again.
  RPC_STATUS Stop(std::chrono::milliseconds bound, std::vector<CallInfo>* still_running);
  // Blocks until Stop.
  RPC_STATUS Wait();

  // Called once for each connection that ended, on the call thread that
  // saw it end, after the last of its calls has finished (not for
  // connections ended by Stop).
  void SetAssociationClosed(AssociationClosed fn);
  // Connections at once from one peer address and in all; the next one is
  // closed at once and logged. 0 lifts a limit.
  void SetConnectionLimits(unsigned per_peer, unsigned total);
  void SetLog(RuntimeLog fn);

  std::vector<std::uint16_t> ports() const;
  // Call threads started so far (never more than max_calls).
  unsigned call_threads() const;
  // Connections open now.
  size_t connections() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace vantrel::rpc
