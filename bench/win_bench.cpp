// SendMessage round trips to a window of another thread and of another
// process, each beside a raw Unix-socket ping-pong of the same bytes (the
// peer channel's request and answer frames) in the same run. Prints the
// median of five runs of each and their ratio; asserts nothing.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/WindowPlatform.h"
#include "platform/win/WinUser.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 20000;
constexpr int kRuns = 5;
// The sizes of a peer send frame and its answer, length prefix included.
constexpr size_t kRequestBytes = 4 + 1 + 8 + 4 + 4 + 8 + 8 + 4 + 1;
constexpr size_t kAnswerBytes = 4 + 1 + 8 + 1 + 8;

LRESULT CALLBACK EchoProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_USER + 1) return static_cast<LRESULT>(wParam) + 1;
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

HWND MakeEchoWindow(const char* title) {
  static bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = EchoProc;
    wc.lpszClassName = "VtBenchEcho";
    return RegisterClassA(&wc) != 0;
  }();
  (void)registered;
  return CreateWindowExA(0, "VtBenchEcho", title, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

void Loop() {
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0)) DispatchMessageA(&m);
}

bool ReadAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Answers every request of kRequestBytes with kAnswerBytes until EOF.
void Echo(int fd) {
  char in[kRequestBytes], out[kAnswerBytes] = {};
  while (ReadAll(fd, in, sizeof in) && WriteAll(fd, out, sizeof out)) {
  }
}

double PingPong(int fd) {
  char out[kRequestBytes] = {}, in[kAnswerBytes];
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (!WriteAll(fd, out, sizeof out) || !ReadAll(fd, in, sizeof in)) return -1;
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kRounds;
}

double Sends(HWND hwnd) {
  auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (SendMessageA(hwnd, WM_USER + 1, static_cast<WPARAM>(i), 0) != i + 1) return -1;
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kRounds;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Report(const char* what, const char* baseline, const std::vector<double>& ours,
            const std::vector<double>& raw) {
  double a = Median(ours), b = Median(raw);
  std::printf("%-34s %9.0f ns   %-34s %9.0f ns   ratio %.2f\n", what, a, baseline, b, a / b);
}

}  // namespace

int main(int argc, char** argv) {
  // The other process: an echo window, or a raw echo on descriptor 3.
  if (argc > 1 && std::strcmp(argv[1], "--peer") == 0) {
    HWND hwnd = MakeEchoWindow("bench peer");
    std::printf("%lu\n", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(hwnd)));
    std::fflush(stdout);
    Loop();
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--echo") == 0) {
    Echo(3);
    return 0;
  }
  if (!std::getenv("ZEL_WIN_DIR")) {
    static char dir[] = "/tmp/win_bench.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("ZEL_WIN_DIR", dir, 1);
  }
  std::printf("win_bench: %d round trips per run, median of %d runs\n", kRounds, kRuns);

  // Within the process: a window thread, and a thread echoing on a socket pair.
  std::atomic<HWND> local{nullptr};
  std::thread owner([&] {
    local = MakeEchoWindow("bench local");
    Loop();
  });
  while (!local) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  int pair[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
  std::thread echo(Echo, pair[1]);

  // Across processes: the same program as an echo window and as a raw echo.
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return 1;
  pid_t peer = fork();
  if (peer == 0) {
    dup2(out[1], 1);
    execl("/proc/self/exe", argv[0], "--peer", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  char line[64] = {};
  if (read(out[0], line, sizeof line - 1) <= 0) return 1;
  HWND remote = reinterpret_cast<HWND>(std::strtoul(line, nullptr, 10));
  int rawPair[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, rawPair);
  pid_t raw = fork();
  if (raw == 0) {
    dup2(rawPair[1], 3);
    execl("/proc/self/exe", argv[0], "--echo", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(rawPair[1]);

  std::vector<double> thread, threadRaw, process, processRaw;
  for (int run = 0; run < kRuns; ++run) {
    thread.push_back(Sends(local));
    threadRaw.push_back(PingPong(pair[0]));
    process.push_back(Sends(remote));
    processRaw.push_back(PingPong(rawPair[0]));
  }
  Report("SendMessage, other thread", "socket ping-pong, two threads", thread, threadRaw);
  Report("SendMessage, other process", "socket ping-pong, two processes", process, processRaw);

  PostMessageA(remote, WM_CLOSE, 0, 0);
  PostMessageA(local, WM_CLOSE, 0, 0);
  owner.join();
  close(pair[0]);
  echo.join();
  close(rawPair[0]);
  waitpid(peer, nullptr, 0);
  waitpid(raw, nullptr, 0);
  return 0;
}
