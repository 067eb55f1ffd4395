// The server window: dialog 230 with the menu 227, hidden behind its tray
// icon. It starts the server (MAPI, configuration, user directory, remote
// calls, tray icon), performs the shared MAPI logons of the remote calls
// (WM_USER+3), ticks once a second (tray picture, idle sweep, user list),
// and shuts the server down on "Beenden", WM_USER+10 or the end of the
// session. Everything here runs on the window's thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/rpc/Rpc.h"
#include "platform/win/Dialog.h"
#include "platform/win/ShellApi.h"
#include "server/app/TraceMonitor.h"
#include "server/app/ZelConfig.h"
#include "server/dispatch/LogonThrottle.h"
#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerDispatch.h"
#include "server/sessions/ServerZelLogon.h"

class CUserABContainer;
class CDlgUsers;

namespace vantrel::server {

// Messages of the server window.
inline constexpr UINT kTrayCallback = WM_USER + 1;    // the tray icon's
inline constexpr UINT kShutdownNow = WM_USER + 10;    // ends the server at once
inline constexpr UINT kInterrupt = WM_USER + 20;      // SIGINT: asks, then ends
inline constexpr UINT kCallsStopped = WM_USER + 21;   // the remote calls have ended

// Commands.
inline constexpr UINT kCmdUsers = 32774;
inline constexpr UINT kCmdShow = 32771;
inline constexpr UINT kCmdAbout = 32775;
inline constexpr UINT kCmdHelpIndex = 32780;
inline constexpr UINT kCmdQuit = 32773;
inline constexpr UINT kSysCmdAbout = 16;

inline constexpr int kUserListId = 1055;
inline constexpr int kTrayFrameCount = 13;
// The tray pictures in the order they are shown.
inline constexpr int kTrayFrames[kTrayFrameCount] = {133, 128, 134, 135, 136, 137, 138,
                                                     139, 140, 141, 142, 143, 144};

struct ServerWindowOptions {
  std::string home;             // the server's home folder
  HMODULE resources = nullptr;  // dialogs, menus, strings (null: the program's)
  // The program: WM_USER+10, the end of the session and an interrupt end
  // the process as soon as the server has shut down. Otherwise (a test in
  // process) they end the window's modal loop.
  bool exit_process = false;
  // The tick period; 0 starts no timer, and WM_TIMER 1 drives the ticks.
  UINT timer_ms = 1000;
  // Called once the server listens (the endpoint) and when it shuts down.
  std::function<void(const std::string&)> on_ready;
  std::function<void()> on_stopping;
};

class CTarnixServerDlg {
 public:
  explicit CTarnixServerDlg(ServerWindowOptions options);
  ~CTarnixServerDlg();
  CTarnixServerDlg(const CTarnixServerDlg&) = delete;
  CTarnixServerDlg& operator=(const CTarnixServerDlg&) = delete;

  // Runs the window modally on the calling thread until the server ends:
  // 0 after a shutdown, 1 when the remote calls could not be served.
  INT_PTR DoModal();

  // Any thread: the window while it exists, else null.
  HWND Hwnd() const { return hwnd_.load(); }
  // Any thread: the message registered as "WM_ZELSERVERLOG".
  UINT TraceMessage() const { return wm_zelserverlog_.load(); }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  // The result of a message whose value is not the procedure's return.
  INT_PTR Result(LRESULT value);

  void OnInitDialog();
  void InitServer();
  void OnShowWindow(bool show);
  void OnTimer();
  void RefreshUserList();
  void OnTrayNotify(LPARAM mouse);
  void OnCommand(UINT id);
  void OnUsers();
  void OnQuit();
  void OnLogon(LPARAM request);
  void ShowAbout();
  void ShowHelpIndex();
  bool ConfirmShutdown();
  void ShutdownServer();
  // Waits for the remote calls in progress (bounded by StopWait) while
  // logons they wait for are answered; exits the process (3) when a call
  // does not end.
  void StopCalls();
  // Ends the server's loop; `at_once` ends the process when it is the program's.
  void EndServer(int code, bool at_once);
  std::string String(UINT id) const;

  ServerWindowOptions options_;
  std::atomic<HWND> hwnd_{nullptr};
  std::atomic<UINT> wm_zelserverlog_{0};

  CZelConfig config_;
  CUserABContainer* user_container_ = nullptr;  // one reference
  CDlgUsers* dlg_users_ = nullptr;              // the open users dialog, if any
  HMENU menu_ = nullptr;                        // 227, the window's
  HMENU tray_menu_ = nullptr;                   // 228
  NOTIFYICONDATAA tray_{};
  bool tray_added_ = false;
  HICON frames_[kTrayFrameCount] = {};
  int next_frame_ = 0;
  bool hidden_at_first_show_ = true;

  CServerClasses registry_;
  std::unique_ptr<CLogonThrottle> throttle_;
  CLogonContext logons_;
  std::unique_ptr<CServerDispatch> dispatch_;
  vantrel::rpc::InterfaceSpec spec_;
  std::unique_ptr<CTraceMonitor> monitor_;
  bool serving_ = false;       // the remote calls are served
  bool start_failed_ = false;  // ... could not be
  bool shut_down_ = false;     // ShutdownServer has run (or runs)
};

}  // namespace vantrel::server
