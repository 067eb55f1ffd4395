// The caller of the remote call a thread is serving: the association (the
// RPC connection) and the peer address it came from. The operation frame
// sets it for the length of one call; the registry reads it to decide what
// the caller may name. Code that runs outside a remote call (the main
// thread, tests calling handlers directly) sees association 0 and no peer.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel::server {

struct CallContext {
  std::uint64_t association = 0;
  std::string peer;
  // Set by the registry when a cap refused a result block or an object of
  // this call; the frame then answers MAPI_E_NOT_ENOUGH_MEMORY with every
  // output zero.
  bool refused = false;
};

// The calling thread's context.
CallContext& CurrentCall();

// Makes `context` the thread's context for its scope.
class CallScope {
 public:
  explicit CallScope(CallContext context);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  CallContext saved_;
};

}  // namespace vantrel::server
