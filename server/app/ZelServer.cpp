// ZelServer: serves the remote interface on its endpoint until SIGTERM or
// SIGINT, which end every session before the process exits.
//
//   ZelServer [--home DIR]
//
// The home folder holds the log ("zelServer.log"); it defaults to the
// folder of the executable.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/rpc/Rpc.h"
#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerDispatch.h"
#include "server/dispatch/ServerTrace.h"

namespace {

constexpr unsigned kMinThreads = 10;
constexpr unsigned kMaxThreads = 40;

int Fail(const char* step, RPC_STATUS status) {
  const char* name = vantrel::rpc::RpcStatusName(status);
  std::fprintf(stderr, "ZelServer: %s failed: %s (%d)\n", step, name ? name : "?", static_cast<int>(status));
  return 1;
}

std::string DefaultHome(const char* argv0) {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) exe = std::filesystem::absolute(argv0, ec);
  return exe.parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string home;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--home" && i + 1 < argc) {
      home = argv[++i];
    } else {
      std::fprintf(stderr, "usage: ZelServer [--home DIR]\n");
      return 2;
    }
  }
  if (home.empty()) home = DefaultHome(argv[0]);
  std::error_code ec;
  std::filesystem::create_directories(home, ec);
  if (chdir(home.c_str()) != 0) {
    std::fprintf(stderr, "ZelServer: cannot enter %s: %s\n", home.c_str(), std::strerror(errno));
    return 1;
  }

  // The signals of the end of the session are taken by the main loop only.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  vantrel::server::OpenLog();
  vantrel::server::CServerClasses registry;
  vantrel::server::CServerDispatch dispatch(registry);
  vantrel::rpc::InterfaceSpec spec = dispatch.Spec();

  std::string endpoint = vantrel::rpc::DefaultEndpoint();
  RPC_STATUS st = RpcServerUseProtseqEp("ncacn_ip_tcp", kMaxThreads, endpoint.c_str(), nullptr);
  if (st != RPC_S_OK) return Fail("RpcServerUseProtseqEp", st);
  st = RpcServerRegisterIf(&spec, nullptr, nullptr);
  if (st != RPC_S_OK) return Fail("RpcServerRegisterIf", st);
  st = RpcServerListen(kMinThreads, kMaxThreads, 1);
  if (st != RPC_S_OK) return Fail("RpcServerListen", st);
  std::printf("ZelServer listening on %s\n", endpoint.c_str());
  std::fflush(stdout);

  // Once a second: the idle-session sweep.
  for (;;) {
    timespec tick{1, 0};
    int sig = sigtimedwait(&stop_signals, nullptr, &tick);
    if (sig == SIGTERM || sig == SIGINT) break;
    registry.SweepIdleSessions();
  }

  RpcMgmtStopServerListening(nullptr);
  RpcMgmtWaitServerListen();
  try {
    registry.EndAllSessions();
  } catch (...) {
    std::fprintf(stderr, "ZelServer: error while ending the sessions\n");
  }
  vantrel::server::CloseLog();
  return 0;
}
