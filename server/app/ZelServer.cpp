// ZelServer: serves the remote interface on its endpoint behind the server
// window until "Beenden", WM_USER+10 or the end of the session.
//
//   ZelServer [--home DIR]      run the server
//   ZelServer --stop [--home DIR]
//                               end the server that runs on that home
//                               (without --home and none there: the
//                               server window of this user)
//
// The home folder holds the users file ("USERS.ZLF"), the log
// ("zelServer.log") and the lock that keeps it to one server; it defaults
// to $VANTREL_HOME, else the folder of the executable. SIGTERM ends the
// session without a question (a service manager stops the server); SIGINT
// asks first when persons are online.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/win/Dialog.h"
#include "platform/win/Resources.h"
#include "platform/win/Window.h"
#include "server/app/ServerApp.h"
#include "server/app/ServiceSupport.h"
#include "server/app/TarnixServerDlg.h"

namespace {

using namespace vantrel::server;

std::string DefaultHome(const char* argv0) {
  if (const char* home = std::getenv("VANTREL_HOME"); home && *home) return home;
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) exe = std::filesystem::absolute(argv0, ec);
  return exe.parent_path().string();
}

std::string Text(UINT id, const std::string& home) {
  char format[512];
  if (LoadStringA(nullptr, id, format, sizeof format) <= 0) return "no ZelServer serves " + home;
  char text[1024];
  std::snprintf(text, sizeof text, format, home.c_str());
  return text;
}

// Sends WM_USER+10 to the server of `home` and waits until it has ended.
// The server window of this user when no home was named and none runs on
// the default one: the caption of dialog 230 (the only server, as a
// rule). Null when there is none.
HWND FindServerWindow(pid_t* pid) {
  HWND window = FindWindowA(WC_DIALOG, "Vantrel Server");
  DWORD owner = 0;
  if (window) GetWindowThreadProcessId(window, &owner);
  *pid = static_cast<pid_t>(owner);
  return owner != 0 ? window : nullptr;
}

int StopServer(std::string home, bool home_named) {
  SetThreadLocale(CServerApp::StartLocale());
  std::error_code ec;
  home = std::filesystem::absolute(home, ec).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  pid_t pid = 0;
  HWND window = nullptr;
  const bool by_lock = FindRunningServer(home, &pid, &window);
  if (!by_lock && (home_named || !(window = FindServerWindow(&pid)))) {
    std::fprintf(stderr, "ZelServer: %s\n", Text(161, home).c_str());
    return 1;
  }
  DWORD owner = 0;
  if (!window || !IsWindow(window) || (GetWindowThreadProcessId(window, &owner), owner != static_cast<DWORD>(pid))) {
    std::fprintf(stderr, "ZelServer: the server of %s (process %d) is starting or cannot be reached\n", home.c_str(),
                 static_cast<int>(pid));
    return 1;
  }
  if (!PostMessageA(window, kShutdownNow, 0, 0)) {
    std::fprintf(stderr, "ZelServer: the server window of process %d does not take messages\n", static_cast<int>(pid));
    return 1;
  }
  // The server ends the sessions and the process; a call that does not end
  // holds it at most for its StopWait. Its lock goes with the process (a
  // process not yet reaped by its parent holds none).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  pid_t still = 0;
  HWND target = window;
  while (by_lock ? FindRunningServer(home, &still, &window) && still == pid : IsWindow(target) != FALSE) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "ZelServer: process %d is still running\n", static_cast<int>(pid));
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The signals of the end of the session are taken by one thread only;
  // every thread started from here on inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  std::string home;
  bool stop = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--home" && i + 1 < argc) {
      home = argv[++i];
    } else if (a == "--stop") {
      stop = true;
    } else {
      std::fprintf(stderr, "usage: ZelServer [--home DIR]\n       ZelServer --stop [--home DIR]\n");
      return 2;
    }
  }
  const bool home_named = !home.empty();
  if (home.empty()) home = DefaultHome(argv[0]);
  if (stop) return StopServer(home, home_named);

  ServerAppOptions options;
  options.home = home;
  options.program = true;
  CServerApp app(options);
  return app.Run();
}
