// zelping: asks a ZelServer whether it answers, through the typed client
// stubs of the remote interface.
//   zelping [host]   (endpoint: 5002, or ZEL_RPC_ENDPOINT)
#include <cstdio>
#include <string>

#include "platform/base/SystemInfo.h"
#include "platform/rpc/Rpc.h"
#include "protocol/ZelStubs.h"

using namespace vantrel;

int main(int argc, char** argv) {
  std::string host = argc > 1 ? argv[1] : "127.0.0.1";
  std::string endpoint = rpc::DefaultEndpoint();
  char* binding_text = nullptr;
  RPC_BINDING_HANDLE binding = nullptr;
  RPC_STATUS st = RpcStringBindingCompose(nullptr, "ncacn_ip_tcp", host.c_str(), endpoint.c_str(), nullptr,
                                          &binding_text);
  if (st == RPC_S_OK) st = RpcBindingFromStringBinding(binding_text, &binding);
  if (st != RPC_S_OK) {
    std::fprintf(stderr, "zelping: no binding for %s[%s]: %d\n", host.c_str(), endpoint.c_str(), st);
    return 2;
  }
  auto transport = zel::RpcTransport(binding);

  zel::Reserved117::Request ping{};
  zel::Reserved117::Reply pong{};
  st = zel::Invoke<zel::Reserved117>(transport, ping, pong);
  if (st != RPC_S_OK) {
    const char* name = rpc::RpcStatusName(st);
    std::fprintf(stderr, "zelping: %s: RPC error %d (%s)\n", binding_text, st, name ? name : "?");
    return 1;
  }
  std::printf("ZelServer at %s answers: operation 117 -> %d, %d, %d\n", binding_text, pong.value1, pong.value2,
              pong.value3);

  zel::Tarnix_AdminLogon::Request logon{};
  logon.userName = argc > 2 ? argv[2] : "demo";
  logon.password = argc > 3 ? argv[3] : "";
  logon.workstation = ComputerName();
  zel::Tarnix_AdminLogon::Reply session{};
  if (zel::Invoke<zel::Tarnix_AdminLogon>(transport, logon, session) == RPC_S_OK) {
    std::printf("Administrative logon as \"%s\" -> %d (0x%08X)\n", logon.userName.c_str(), session.result,
                static_cast<unsigned>(session.result));
  }
  RpcStringFree(&binding_text);
  RpcBindingFree(&binding);
  return 0;
}
