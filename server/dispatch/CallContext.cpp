#include "server/dispatch/CallContext.h"

#include <utility>

namespace vantrel::server {

CallContext& CurrentCall() {
  thread_local CallContext context;
  return context;
}

CallScope::CallScope(CallContext context) : saved_(std::exchange(CurrentCall(), std::move(context))) {}

CallScope::~CallScope() {
  CurrentCall() = std::move(saved_);
}

}  // namespace vantrel::server
