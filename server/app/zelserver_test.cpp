// Runs the ZelServer program and calls every operation through the RPC
// runtime with the typed stubs.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "protocol/ZelStubs.h"
#include "server/dispatch/NothingResults.h"

namespace vantrel {
namespace {

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

class ServerProcess {
 public:
  ServerProcess() {
    port_ = std::to_string(FreePort());
    const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
    std::string home = std::string(tmp ? tmp : "/tmp") + "/home";
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      setenv("ZEL_RPC_ENDPOINT", port_.c_str(), 1);
      execl(ZELSERVER_BIN, "ZelServer", "--home", home.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256] = {0};
    ready_ = std::fgets(line, sizeof line, f) != nullptr && std::string(line).starts_with("ZelServer listening");
    std::fclose(f);
  }
  // SIGTERM ends the sessions and exits cleanly.
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~ServerProcess() { Stop(); }
  bool ready() const { return ready_; }
  const std::string& port() const { return port_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string port_;
};

// What the program answers to requests whose handles name nothing: the
// dispatcher's results, except that the logon now checks the (empty) user
// name against the users file and the store identity logs on to the (empty)
// profile name.
std::int32_t ProgramResult(std::uint16_t op) {
  if (op == zel::Tarnix_Logon::kOpnum) return MAPI_E_INVALID_WORKSTATION_ACCOUNT;
  if (op == zel::Server_SetProfileGuid::kOpnum) return MAPI_E_LOGON_FAILED;
  return server::NothingResult(op);
}

TEST(ZelServer, EveryOperationThroughTheRuntime) {
  ServerProcess server;
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
