// ZelServer: serves the remote interface on its endpoint until SIGTERM or
// SIGINT, which end every session before the process exits.
//
//   ZelServer [--home DIR]
//
// The home folder holds the users file ("USERS.ZLF") and the log
// ("zelServer.log"); it defaults to the folder of the executable. The main
// thread plays the server window: it performs the shared MAPI logons that
// the remote-call threads ask for and sweeps idle sessions once a second.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Libraries/MapiWrapper/MapiException.h"
#include "platform/mapi/MapiSession.h"
#include "platform/rpc/Rpc.h"
#include "platform/rpc/RpcServer.h"
#include "platform/win/MessageBox.h"
#include "protocol/ZelProtocol.h"
#include "server/app/ZelConfig.h"
#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerDispatch.h"
#include "server/dispatch/ServerTrace.h"
#include "server/sessions/LogonService.h"
#include "server/sessions/ServerProfileGuid.h"
#include "server/sessions/ServerZelLogon.h"
#include "server/sessions/UserABContainer.h"
#include "server/objects/ServerObjects.h"

namespace {

using namespace vantrel::server;

// The name of a call the shutdown names in the log.
const char* OperationName(std::uint16_t opnum) {
  for (const auto& op : vantrel::zel::Operations())
    if (op.opnum == opnum) return op.name;
  return "an unknown operation";
}

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

// A start-up or shutdown step in its own failure scope.
template <class F>
void Step(const char* failure, F&& body) {
  try {
    body();
  } catch (const CMAPIException& e) {
    std::fprintf(stderr, "ZelServer: %s (%s, 0x%08X)\n", failure, e.Context().c_str(), static_cast<unsigned>(e.Hr()));
    MessageBox(nullptr, failure, "OnInitDialog", MB_OK);
  } catch (...) {
    MessageBox(nullptr, failure, "OnInitDialog", MB_OK);
  }
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
  home = std::filesystem::absolute(home, ec).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (chdir(home.c_str()) != 0) {
    std::fprintf(stderr, "ZelServer: cannot enter %s: %s\n", home.c_str(), std::strerror(errno));
    return 1;
  }

  // The signals of the end of the session are taken by one thread only,
  // which wakes the main loop.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  CZelConfig config;
  CUserABContainer* directory = nullptr;
  Step("Exception in Init Mapi", [&] {
    config.SetProgramFolder(home);
    config.CompletePaths();
    config.Load();
    config.Save();
    OpenLog();
    if (HRESULT hr = MAPIInitialize(nullptr); FAILED(hr)) throw CMAPIException(hr, "MAPIInitialize");
  });
  Step("Exception in new CUserABContainer", [&] {
    directory = new CUserABContainer(CUserABContainer::UsersFileIn(config.Path));
    directory->Load();
  });

  CServerClasses registry;
  RegistryLimits limits;
  limits.pending_bytes_per_session = config.MaxPendingBytes;
  limits.objects_per_session = static_cast<std::int32_t>(std::min<DWORD>(config.MaxObjectsPerSession, INT32_MAX));
  limits.sessions_per_association = static_cast<std::int32_t>(std::min<DWORD>(config.MaxSessionsPerConnection, INT32_MAX));
  registry.SetLimits(limits);
  CLogonThrottle throttle(config.LogonDelayStep);
  ServerObjectOptions options;
  options.enable_ms = [&config] { return config.EnableMS != 0; };  // fixed after start-up
  InstallServerObjects(registry, std::move(options));
  CLogonService service;
  CLogonContext logons(registry);
  logons.Attach(directory, &service);
  ServerHooks hooks;
  hooks.make_session = [&logons] { return logons.MakeSession(); };
  hooks.set_profile_guid = Server_SetProfileGuid;
  hooks.throttle = &throttle;
  CServerDispatch dispatch(registry, hooks);
  vantrel::rpc::InterfaceSpec spec = dispatch.Spec();

  // A closed connection leaves its sessions to be taken over or swept.
  vantrel::rpc::SetProcessAssociationClosed([&registry](std::uint64_t association) {
    try {
      registry.AssociationClosed(association);
    } catch (...) {
    }
  });
  vantrel::rpc::SetProcessConnectionLimits(config.MaxConnectionsPerAddress, config.MaxConnections);
  vantrel::rpc::SetProcessRuntimeLog([](const std::string& line) { ServerLog("%s", line.c_str()); });

  std::string endpoint = vantrel::rpc::DefaultEndpoint();
  unsigned min_threads = config.MinThreads, max_threads = config.MaxThreads;
  RPC_STATUS st = RpcServerUseProtseqEp("ncacn_ip_tcp", max_threads, endpoint.c_str(), nullptr);
  if (st != RPC_S_OK) return Fail("RpcServerUseProtseqEp", st);
  st = RpcServerRegisterIf(&spec, nullptr, nullptr);
  if (st != RPC_S_OK) return Fail("RpcServerRegisterIf", st);
  st = RpcServerListen(min_threads, max_threads, 1);
  if (st != RPC_S_OK) return Fail("RpcServerListen", st);
  std::printf("ZelServer listening on %s\n", endpoint.c_str());
  std::fflush(stdout);

  std::atomic<bool> stop{false};
  std::thread signals([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    stop = true;
    service.Wake();
  });

  // The main loop: logons for the remote-call threads, and once a second
  // the idle-session sweep.
  using Clock = std::chrono::steady_clock;
  Clock::time_point tick = Clock::now() + std::chrono::seconds(1);
  while (!stop) {
    service.RunPending(tick);
    if (Clock::now() >= tick) {
      try {
        registry.SweepIdleSessions();
      } catch (...) {
      }
      tick += std::chrono::seconds(1);
    }
  }
  signals.join();

  // Shutdown: logons still waiting are answered, the calls in progress end,
  // then every session goes.
  service.Stop();
  std::vector<vantrel::rpc::CallInfo> left;
  vantrel::rpc::StopProcessServer(std::chrono::seconds(config.StopWait), &left);
  if (!left.empty()) {
    // A call that does not end holds its object's and maybe the store's
    // lock, so ending the sessions could wait forever. What was saved is in
    // the store files already; what the abandoned calls had not yet
    // committed is lost, as with a killed process.
    for (const auto& call : left)
      ServerLog("ZelServer: %s (connection %llu from %s) still running after %u s; exiting without it",
                OperationName(call.opnum), static_cast<unsigned long long>(call.association),
                call.peer.empty() ? "?" : call.peer.c_str(), static_cast<unsigned>(config.StopWait));
    std::fprintf(stderr, "ZelServer: %zu call(s) did not end within %u s; exiting\n", left.size(),
                 static_cast<unsigned>(config.StopWait));
    CloseLog();
    std::fflush(nullptr);
    std::_Exit(3);
  }
  vantrel::rpc::SetProcessAssociationClosed(nullptr);
  const char* action = "Kill clients";
  try {
    registry.EndAllSessions();
    logons.Detach();
    action = "Remove User container";
    if (directory) directory->Release();
    CloseLog();
    MAPIUninitialize();
  } catch (...) {
    std::fprintf(stderr, "ZelServer: Error in terminating, last aktion = %s\n", action);
  }
  return 0;
}
