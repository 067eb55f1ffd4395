// Test support: a ZelServer program started on a free port with a private
// home, and a binding to it. The registry and MAPI folders come from the
// environment the test runner sets (ZEL_REGISTRY_DIR, ZEL_MAPI_DIR).
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/rpc/Rpc.h"
#include "protocol/ZelStubs.h"

namespace vantrel::testsupport {

inline int FreePort() {
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

// Sends `pid` SIGTERM and waits for it within `bound`; its exit status,
// -1 when it was killed after the bound or did not exit by itself.
inline int StopChild(pid_t pid, std::chrono::seconds bound) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + bound;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program to its end with its output discarded; its exit status.
inline int RunProgram(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The mailbox every end-to-end run serves, made with the administrator's
// tools as an installation is: tools/zelusers writes the users jsmith
// ("secret") and mmuster ("geheim"), both seeing every profile.
struct Mailbox {
  static constexpr const char* kProfile = "mailbox_jsmith";
  static constexpr const char* kStore = "Mailbox - John Smith";
  static constexpr const char* kUser = "jsmith";
  static constexpr const char* kPassword = "secret";
};

// Empties `dir` and the registry and MAPI folders of the environment, then
// makes the profile with its store file in `dir` and the users file in
// `dir`/home. False when a tool fails or the folders are not private.
inline bool PrepareMailboxHome(const std::string& dir, const std::string& mapiprof, const std::string& zelusers) {
  const char* registry = std::getenv("ZEL_REGISTRY_DIR");
  const char* mapi = std::getenv("ZEL_MAPI_DIR");
  if (!registry || !mapi) return false;  // never the user's own profiles
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::remove_all(registry, ec);
  std::filesystem::remove_all(mapi, ec);
  std::filesystem::create_directories(dir + "/home", ec);
  return RunProgram({mapiprof, "create", Mailbox::kProfile}) == 0 &&
         RunProgram({mapiprof, "add-pst", Mailbox::kProfile, dir + "/jsmith.pst", Mailbox::kStore}) == 0 &&
         RunProgram({zelusers, dir + "/home/USERS.ZLF"}) == 0;
}

class ServerProcess {
 public:
  // A port found free may be taken again before the server binds it (by
  // another test's outgoing connection): a few tries with new ports.
  ServerProcess(const std::string& program, const std::string& home) {
    for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
      if (attempt > 0) Stop();
      Start(program, home);
    }
  }
  // SIGTERM ends the sessions and exits cleanly; its exit status. A server
  // still running after `bound` is killed and -1 returned.
  int Stop(std::chrono::seconds bound = std::chrono::seconds(60)) {
    int status = StopChild(pid_, bound);
    pid_ = -1;
    return status;
  }
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool ready() const { return ready_; }
  const std::string& port() const { return port_; }
  pid_t pid() const { return pid_; }

 private:
  void Start(const std::string& program, const std::string& home) {
    port_ = std::to_string(FreePort());
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      // A test that dies (a sanitizer stop, a crash) takes its server with it,
      // so no orphan keeps the test's output open.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      dup2(out[1], 1);
      close(out[0]);
      setenv("ZEL_RPC_ENDPOINT", port_.c_str(), 1);
      execl(program.c_str(), "ZelServer", "--home", home.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    // The first line that says so; lines before it are start-up notes.
    FILE* f = fdopen(out[0], "r");
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
      if (std::string(line).starts_with("ZelServer listening")) {
        ready_ = true;
        break;
      }
    }
    std::fclose(f);
  }

  pid_t pid_ = -1;
  bool ready_ = false;
  std::string port_;
};

// A binding to 127.0.0.1:port and the typed-stub transport over it.
class Binding {
 public:
  explicit Binding(const std::string& port) {
    char* text = nullptr;
    if (RpcStringBindingCompose(nullptr, "ncacn_ip_tcp", "127.0.0.1", port.c_str(), nullptr, &text) != RPC_S_OK)
      return;
    RpcBindingFromStringBinding(text, &binding_);
    RpcStringFree(&text);
    transport_ = zel::RpcTransport(binding_);
  }
  ~Binding() {
    if (binding_) RpcBindingFree(&binding_);
  }
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;

  bool ok() const { return binding_ != nullptr; }
  RPC_BINDING_HANDLE handle() const { return binding_; }
  const zel::Transport& transport() const { return transport_; }

 private:
  RPC_BINDING_HANDLE binding_ = nullptr;
  zel::Transport transport_;
};

}  // namespace vantrel::testsupport
