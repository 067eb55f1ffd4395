#include "server/app/ServerApp.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/mapi/MapiSession.h"
#include "platform/registry/Registry.h"
#include "platform/win/Locale.h"
#include "platform/win/Resources.h"
#include "server/app/TarnixServerDlg.h"
#include "server/app/ZelConfig.h"

namespace vantrel::server {

namespace {

HMODULE g_resources = nullptr;  // set once by Start, before any window

// "Software\HOLLIN\Brimwell" under `root`, or null.
HKEY OpenSettings(HKEY root, const char* path) {
  HKEY key = nullptr;
  return RegOpenKeyEx(root, path, 0, KEY_READ, &key) == ERROR_SUCCESS ? key : nullptr;
}

std::string LoadText(UINT id) {
  char buffer[512];
  int n = LoadStringA(g_resources, id, buffer, sizeof buffer);
  return std::string(buffer, static_cast<size_t>(n > 0 ? n : 0));
}

}  // namespace

CServerApp::CServerApp(ServerAppOptions options) : options_(std::move(options)) {}

CServerApp::~CServerApp() { StopSignals(); }

HMODULE CServerApp::Resources() { return g_resources; }

LCID CServerApp::StartLocale() {
  // The key decides, not the value: a user key without "Lang" does not
  // fall back to the machine's.
  HKEY key = OpenSettings(HKEY_CURRENT_USER, "Software\\HOLLIN\\Brimwell");
  if (!key) key = OpenSettings(HKEY_LOCAL_MACHINE, "Software\\HOLLIN\\Brimwell");
  if (key) {
    DWORD lang = 0, type = 0, size = sizeof lang;
    LSTATUS st = RegQueryValueEx(key, "Lang", nullptr, &type, reinterpret_cast<LPBYTE>(&lang), &size);
    RegCloseKey(key);
    if (st == ERROR_SUCCESS && type == REG_DWORD && (lang & 0xFFFF) != 0) return lang & 0xFFFF;
  }
  LCID process = vantrel::win::ProcessLocale();
  return process != 0 ? process : MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
}

void CServerApp::Start() {
  // 1. A resource library replaces the program's resources.
  HKEY key = OpenSettings(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\HOLLIN\\Brimwell");
  if (!key) key = OpenSettings(HKEY_LOCAL_MACHINE, "SOFTWARE\\HOLLIN\\Brimwell");
  std::string library;
  if (key) {
    char path[513] = {};
    DWORD type = 0, size = 512;
    if (RegQueryValueEx(key, "ResouceDLL", nullptr, &type, reinterpret_cast<LPBYTE>(path), &size) == ERROR_SUCCESS &&
        type == REG_SZ)
      library.assign(path, strnlen(path, sizeof path - 1));
    RegCloseKey(key);
  }
  g_resources = vantrel::win::LoadResourceLibrary(library, nullptr);
  // 2. The language of the strings.
  SetThreadLocale(StartLocale());
}

int CServerApp::Run() {
  Start();

  std::string home = options_.home;
  std::error_code ec;
  std::filesystem::create_directories(home, ec);
  home = std::filesystem::absolute(home, ec).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (chdir(home.c_str()) != 0) {
    std::fprintf(stderr, "ZelServer: cannot enter %s: %s\n", home.c_str(), std::strerror(errno));
    return 1;
  }
  pid_t holder = 0;
  std::string error;
  if (!home_lock_.Acquire(home, &holder, &error)) {
    if (error == "locked") {
      char text[1024];
      std::snprintf(text, sizeof text, LoadText(160).c_str(), static_cast<int>(holder), home.c_str());
      std::fprintf(stderr, "ZelServer: %s\n", text);
    } else {
      std::fprintf(stderr, "ZelServer: %s\n", error.c_str());
    }
    return 1;
  }

  if (options_.program) {
    signals_running_ = pthread_create(&signals_, nullptr, [](void* self) -> void* {
      static_cast<CServerApp*>(self)->SignalLoop();
      return nullptr;
    }, this) == 0;
  }

  ServerWindowOptions window;
  window.home = home;
  window.resources = g_resources;
  window.exit_process = options_.program;
  window.timer_ms = options_.timer_ms;
  CTarnixServerDlg* dialog = nullptr;
  window.on_ready = [this, &dialog](const std::string& endpoint) {
    std::printf("ZelServer listening on %s\n", endpoint.c_str());
    std::fflush(stdout);
    Ready(dialog->Hwnd());
  };
  window.on_stopping = [this] {
    MutexLock l(lock_);
    // A server that never was ready just fails.
    if (options_.program && window_) NotifyServiceManager("STOPPING=1");
    window_ = nullptr;
  };
  INT_PTR code = 0;
  {
    CTarnixServerDlg server(window);
    dialog = &server;
    code = server.DoModal();
  }
  {
    MutexLock l(lock_);
    window_ = nullptr;
    ended_ = true;
    changed_.NotifyAll();
  }
  StopSignals();
  if (code == 0) MAPIUninitialize();
  return code == 0 ? 0 : 1;
}

void CServerApp::Ready(HWND window) {
  home_lock_.Publish(window);
  if (options_.program) NotifyServiceManager("READY=1");
  MutexLock l(lock_);
  window_ = window;
  changed_.NotifyAll();
}

HWND CServerApp::WaitReady(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  MutexLock l(lock_);
  while (!window_ && !ended_)
    if (!changed_.WaitUntil(l, deadline)) break;
  return window_;
}

void CServerApp::SignalLoop() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  // How long the end of the session may take: the calls' wait and a margin
  // for ending the sessions.
  CZelConfig config;
  config.SetProgramFolder(options_.home);
  config.CompletePaths();
  config.Load();
  const auto bound = std::chrono::seconds(config.StopWait) + std::chrono::seconds(20);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    HWND window;
    {
      MutexLock l(lock_);
      if (ended_) return;
      window = window_;
    }
    if (sig == SIGINT && window) {
      // Asked on the window's thread; the answer may take a person.
      PostMessageA(window, kInterrupt, 0, 0);
      continue;
    }
    // The end of the session: no question, and within the bound.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    {
      MutexLock l(lock_);
      while (!window_ && !ended_)
        if (!changed_.WaitUntil(l, deadline)) break;
      window = window_;
    }
    if (window) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ULONG_PTR result = 0;
      SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL,
                          static_cast<UINT>(std::max<std::int64_t>(left.count(), 1)), &result);
    }
    MutexLock l(lock_);
    while (!ended_)
      if (!changed_.WaitUntil(l, deadline)) break;
    if (ended_) return;
    std::fprintf(stderr, "ZelServer: the shutdown did not end within %lld s; exiting\n",
                 static_cast<long long>(bound.count()));
    std::fflush(nullptr);
    std::_Exit(3);
  }
}

void CServerApp::StopSignals() {
  if (!signals_running_) return;
  signals_running_ = false;
  {
    MutexLock l(lock_);
    ended_ = true;
    changed_.NotifyAll();
  }
  pthread_kill(signals_, SIGTERM);  // wakes its sigwait; it sees ended_
  pthread_join(signals_, nullptr);
}

}  // namespace vantrel::server
