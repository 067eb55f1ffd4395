// The ZelServer application: the start (resource library, language), one
// server per home folder, and the server window run on the calling thread.
// The program's main is a thin shell over it; tests run it in process.
#pragma once

#include <pthread.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/Locale.h"
#include "platform/win/Module.h"
#include "server/app/ServiceSupport.h"

namespace vantrel::server {

class CTarnixServerDlg;

struct ServerAppOptions {
  std::string home;  // the home folder; made when missing
  // The ZelServer program: SIGTERM ends the session, SIGINT asks first, the
  // service manager hears READY and STOPPING, and the process ends as soon
  // as the server has shut down. The caller has blocked SIGTERM and SIGINT
  // in every thread (before it started any).
  bool program = false;
  // The tick period of the server window; 0: only WM_TIMER 1 ticks.
  unsigned timer_ms = 1000;
};

class CServerApp {
 public:
  explicit CServerApp(ServerAppOptions options);
  ~CServerApp();
  CServerApp(const CServerApp&) = delete;
  CServerApp& operator=(const CServerApp&) = delete;

  // The start, then the server window until the server ends: 0 after a
  // shutdown, non-zero when it could not start (its message on stderr).
  int Run() EXCLUDES(lock_);

  // Any thread: the server window once the server listens; null before,
  // and once Run has ended or after `bound`.
  HWND WaitReady(std::chrono::milliseconds bound) EXCLUDES(lock_);

  // The module the program's dialogs, menus and strings come from: the
  // resource library "ResouceDLL" names, or the program.
  static HMODULE Resources();

  // The language of the shell's strings: "Lang" of the configuration
  // (the key of the current user, or of the machine when that key cannot
  // be opened), else the one of $LANG, else English.
  static LCID StartLocale();

 private:
  void Start();
  void Ready(HWND window) EXCLUDES(lock_);
  void SignalLoop() EXCLUDES(lock_);
  void StopSignals() EXCLUDES(lock_);

  ServerAppOptions options_;
  CHomeLock home_lock_;

  Mutex lock_;  // a leaf
  CondVar changed_;
  HWND window_ GUARDED_BY(lock_) = nullptr;  // serving
  bool ended_ GUARDED_BY(lock_) = false;     // Run has left the window
  bool signals_running_ = false;  // the window's thread only
  pthread_t signals_{};
};

}  // namespace vantrel::server
