// Runs the ZelServer program and calls every operation through the RPC
// runtime with the typed stubs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "protocol/ZelStubs.h"
#include "server/app/ServerProcess.h"
#include "server/dispatch/NotFoundResults.h"

namespace vantrel {
namespace {

using testsupport::ServerProcess;

// What the program answers to requests whose handles name nothing: the
// dispatcher's results, except that the logon now checks the (empty) user
// name against the users file and the store identity logs on to the (empty)
// profile name.
std::int32_t ProgramResult(std::uint16_t op) {
  if (op == zel::Tarnix_Logon::kOpnum) return MAPI_E_INVALID_WORKSTATION_ACCOUNT;
  if (op == zel::Server_SetProfileGuid::kOpnum) return MAPI_E_LOGON_FAILED;
  return server::NotFoundResult(op);
}

TEST(ZelServer, EveryOperationThroughTheRuntime) {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  ServerProcess server(ZELSERVER_BIN, std::string(tmp ? tmp : "/tmp") + "/home");
  ASSERT_TRUE(server.ready());
  char* text = nullptr;
  ASSERT_EQ(RpcStringBindingCompose(nullptr, "ncacn_ip_tcp", "127.0.0.1", server.port().c_str(), nullptr, &text),
            RPC_S_OK);
  RPC_BINDING_HANDLE binding = nullptr;
  ASSERT_EQ(RpcBindingFromStringBinding(text, &binding), RPC_S_OK);
  RpcStringFree(&text);
  zel::Transport transport = zel::RpcTransport(binding);

  zel::ForEachOperation([&]<class Op>() {
    typename Op::Request in{};
    if constexpr (requires { in.hObject; }) in.hObject = 555;
    if constexpr (requires { in.hTable; }) in.hTable = 555;
    typename Op::Reply out;
    ASSERT_EQ(zel::Invoke<Op>(transport, in, out), RPC_S_OK) << Op::kName;
    if constexpr (Op::kHasResult) {
      EXPECT_EQ(out.result, ProgramResult(Op::kOpnum)) << Op::kName;
    }
  });
  zel::Reserved117::Reply r;
  ASSERT_EQ(zel::Invoke<zel::Reserved117>(transport, {}, r), RPC_S_OK);
  EXPECT_EQ(r.value1, 1800);

  // Truncated stub data: fault 1783, and the connection stays usable.
  std::vector<std::uint8_t> reply;
  bool big = false;
  EXPECT_EQ(rpc::Call(binding, zel::InterfaceSpec(), zel::MAPIPROP_SaveChanges::kOpnum, {1, 0, 0, 0, 2}, reply, big),
            RPC_X_BAD_STUB_DATA);
  zel::MAPIPROP_SaveChanges::Reply save;
  ASSERT_EQ(zel::Invoke<zel::MAPIPROP_SaveChanges>(transport, {3, 0}, save), RPC_S_OK);
  EXPECT_EQ(save.result, 1);

  RpcBindingFree(&binding);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace vantrel
