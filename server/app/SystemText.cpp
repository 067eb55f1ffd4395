#include "server/app/SystemText.h"

namespace vantrel::server {

std::string SystemText(RPC_STATUS status) {
  struct Entry {
    RPC_STATUS status;
    const char* text;
  };
  static constexpr Entry kTexts[] = {
      {5, "Access is denied."},
      {8, "Not enough memory resources are available to process this command."},
      {14, "Not enough memory resources are available to complete this operation."},
      {87, "The parameter is incorrect."},
      {1703, "The RPC protocol sequence is not supported."},
      {1706, "The endpoint format is invalid."},
      {1711, "The object universal unique identifier (UUID) has already been registered."},
      {1713, "The RPC server is already listening."},
      {1715, "The interface is unknown."},
      {1720, "The endpoint cannot be created."},
      {1721, "Not enough resources are available to complete this operation."},
      {1740, "The endpoint is a duplicate."},
  };
  for (const Entry& e : kTexts)
    if (e.status == status) return e.text;
  const char* name = vantrel::rpc::RpcStatusName(status);
  return "Error " + std::to_string(status) + (name ? std::string(" (") + name + ")" : std::string());
}

}  // namespace vantrel::server
