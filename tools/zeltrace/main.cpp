// zeltrace: watches the trace of a running ZelServer and of the client
// library live, each line with the time it arrived.
//
//   zeltrace [--home DIR]
//
// It opens a window titled "ServerTrace" (where the client library sends
// its lines, WM_COPYDATA with dwData 1000) and sends the registered message
// "WM_ZELSERVERLOG" with that window in LPARAM to the server of DIR (its
// lock file names its window), or to every window when no home is given;
// the server then sends each of its lines ("ZelServer: ...", dwData 0).
// A zeltrace that stops reading costs the server nothing: it drops a
// monitor that does not take a line in time. Ends on SIGINT or SIGTERM, or
// when standard output is closed.
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/win/WinUser.h"
#include "server/app/ServiceSupport.h"
#include "server/dispatch/TraceMonitor.h"

namespace {

constexpr ULONG_PTR kServerLines = 0;
constexpr ULONG_PTR kClientLines = 1000;
constexpr UINT kRegisterTimeoutMs = 2000;

std::atomic<bool> g_stop{false};
UINT g_register_message = 0;

void OnSignal(int) { g_stop = true; }

std::string Stamp() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  localtime_r(&tv.tv_sec, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d ", tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  return text;
}

// One output line per text line, each with the stamp.
bool Print(const char* data, size_t size) {
  std::string text(data, size);
  if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  const std::string stamp = Stamp();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      line = stamp + line + "\n";
      if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) return false;
    }
    start = end + 1;
  }
  return std::fflush(stdout) == 0;
}

LRESULT CALLBACK TraceProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COPYDATA) {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (!data || (data->dwData != kServerLines && data->dwData != kClientLines)) return FALSE;
    if (data->lpData && data->cbData > 0 && !Print(static_cast<const char*>(data->lpData), data->cbData)) {
      g_stop = true;  // standard output is gone
      PostQuitMessage(1);
    }
    return TRUE;
  }
  if (msg == g_register_message) return TRUE;  // our own broadcast
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void CALLBACK CheckStop(HWND, UINT, UINT_PTR, DWORD) {
  if (g_stop) PostQuitMessage(0);
}

}  // namespace

int main(int argc, char** argv) {
  std::string home;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--home" && i + 1 < argc) {
      home = argv[++i];
    } else {
      std::fprintf(stderr, "usage: zeltrace [--home DIR]\n");
      return 2;
    }
  }
  if (home.empty())
    if (const char* env = std::getenv("VANTREL_HOME"); env && *env) home = env;

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  WNDCLASSA wc{};
  wc.lpfnWndProc = TraceProc;
  wc.lpszClassName = "ZelTrace";
  RegisterClassA(&wc);
  // Top-level and titled "ServerTrace": the client library looks it up by
  // that title.
  HWND window = CreateWindowExA(0, "ZelTrace", "ServerTrace", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  if (!window) {
    std::fprintf(stderr, "zeltrace: cannot create the trace window\n");
    return 1;
  }
  g_register_message = RegisterWindowMessageA(vantrel::server::kMonitorMessage);

  HWND target = HWND_BROADCAST;
  if (!home.empty()) {
    std::error_code ec;
    home = std::filesystem::absolute(home, ec).lexically_normal().string();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    pid_t pid = 0;
    if (!vantrel::server::FindRunningServer(home, &pid, &target) || !target) {
      std::fprintf(stderr, "zeltrace: no server is running on %s\n", home.c_str());
      return 1;
    }
  }
  ULONG_PTR result = 0;
  if (!SendMessageTimeoutA(target, g_register_message, 0, reinterpret_cast<LPARAM>(window), SMTO_ABORTIFHUNG,
                           kRegisterTimeoutMs, &result) &&
      target != HWND_BROADCAST) {
    std::fprintf(stderr, "zeltrace: the server does not answer\n");
    return 1;
  }
  std::fprintf(stderr, "zeltrace: watching as window %p\n", static_cast<void*>(window));

  SetTimer(window, 1, 200, CheckStop);
  MSG msg;
  int code = 0;
  while (!g_stop) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got <= 0) {
      code = got == 0 ? static_cast<int>(msg.wParam) : 1;
      break;
    }
    DispatchMessageA(&msg);
  }
  DestroyWindow(window);
  return code;
}
