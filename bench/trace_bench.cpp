// What watching the trace costs the remote calls: calls per second of four
// clients (QueryProfiles, which traces two lines a call) with no monitor,
// the baseline of the same run; with zeltrace attached and printing; and
// with that zeltrace stopped (SIGSTOP), which the server drops after its
// send bound. Each figure is the median of five runs. Prints figures and
// ratios; asserts nothing.
//
//   trace_bench [SCRATCH_DIR] [CALLS_PER_CLIENT]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ZelStubs.h"
#include "server/app/ServerProcess.h"

// After the platform's headers: <fcntl.h> defines LOCK_WRITE as a macro,
// which the storage interfaces declare as a constant.
#include <fcntl.h>
#include <sys/wait.h>

namespace {

using namespace vantrel;
using Clock = std::chrono::steady_clock;
using testsupport::Binding;
using testsupport::Mailbox;

constexpr int kRuns = 5;
constexpr int kClients = 4;

// Calls per second of kClients clients making `calls` calls each.
double CallsPerSecond(const std::string& port, int calls) {
  std::vector<std::thread> clients;
  std::vector<int> failed(kClients, 0);
  const auto start = Clock::now();
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Binding b(port);
      zel::Tarnix_Logon::Reply session{};
      if (zel::Invoke<zel::Tarnix_Logon>(
              b.transport(), {Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword, "", "bench"},
              session) != RPC_S_OK ||
          session.result <= 0) {
        failed[static_cast<size_t>(c)] = calls;
        return;
      }
      for (int i = 0; i < calls; ++i) {
        zel::ZelLogon_QueryProfiles::Reply r{};
        if (zel::Invoke<zel::ZelLogon_QueryProfiles>(b.transport(), {session.result}, r) != RPC_S_OK || r.result != 0) {
          ++failed[static_cast<size_t>(c)];
          continue;
        }
        if (r.hBuffer != 0) {
          zel::FreeBuffer::Reply freed{};
          zel::Invoke<zel::FreeBuffer>(b.transport(), {r.hBuffer}, freed);
        }
      }
      zel::ZelLogon_Release::Reply released{};
      zel::Invoke<zel::ZelLogon_Release>(b.transport(), {session.result}, released);
    });
  }
  for (auto& t : clients) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  int bad = 0;
  for (int f : failed) bad += f;
  if (bad) std::fprintf(stderr, "trace_bench: %d calls failed\n", bad);
  return (kClients * calls - bad) / seconds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// zeltrace on the server of `home`, printing into `out`.
pid_t StartTrace(const std::string& home, const std::string& out) {
  const std::string err = out + ".err";
  close(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_APPEND);
    dup2(o, 1);
    dup2(e, 2);
    execl(ZELTRACE_BIN, "zeltrace", "--home", home.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    std::ifstream in(err);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.find("watching") != std::string::npos) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fprintf(stderr, "trace_bench: zeltrace did not start\n");
  return pid;
}

size_t Lines(const std::string& path) {
  std::ifstream in(path);
  return static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "/tmp/vantrel-trace-bench";
  const int calls = argc > 2 ? std::atoi(argv[2]) : 2000;
  // A private registry, MAPI folder and window runtime folder.
  setenv("ZEL_REGISTRY_DIR", (dir + "-registry").c_str(), 1);
  setenv("ZEL_MAPI_DIR", (dir + "-mapi").c_str(), 1);
  setenv("ZEL_WIN_DIR", (dir + "-win").c_str(), 1);
  if (!testsupport::PrepareMailboxHome(dir, MAPIPROF_BIN, ZELUSERS_BIN)) {
    std::fprintf(stderr, "trace_bench: cannot prepare %s\n", dir.c_str());
    return 1;
  }
  const std::string home = dir + "/home";
  testsupport::ServerProcess server(ZELSERVER_BIN, home);
  if (!server.ready()) {
    std::fprintf(stderr, "trace_bench: the server did not start\n");
    return 1;
  }
  CallsPerSecond(server.port(), calls / 10);  // warm up

  std::vector<double> bare, watched, stopped;
  size_t printed = 0;
  for (int run = 0; run < kRuns; ++run) {
    bare.push_back(CallsPerSecond(server.port(), calls));

    const std::string out = dir + "/trace.out";
    pid_t trace = StartTrace(home, out);
    watched.push_back(CallsPerSecond(server.port(), calls));
    printed = Lines(out);

    // Stopped: the first line waits in the monitor's queue, the server
    // drops the monitor after its bound; the calls never wait for it.
    kill(trace, SIGSTOP);
    stopped.push_back(CallsPerSecond(server.port(), calls));
    kill(trace, SIGCONT);
    kill(trace, SIGTERM);
    waitpid(trace, nullptr, 0);
  }
  const double b = Median(bare), w = Median(watched), s = Median(stopped);
  std::printf("calls per second, %d clients x %d QueryProfiles, median of %d runs\n", kClients, calls, kRuns);
  std::printf("  no monitor (baseline)     %10.0f\n", b);
  std::printf("  zeltrace attached         %10.0f  (%.2f of baseline; %zu lines printed by the end of the last run's calls)\n", w,
              w / b, printed);
  std::printf("  zeltrace stopped          %10.0f  (%.2f of baseline)\n", s, s / b);
  return server.Stop() == 0 ? 0 : 1;
}
