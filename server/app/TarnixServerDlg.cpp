#include "server/app/TarnixServerDlg.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "Libraries/MapiWrapper/MapiException.h"
#include "platform/mapi/MapiSession.h"
#include "platform/rpc/RpcServer.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/HtmlHelp.h"
#include "platform/win/Menu.h"
#include "platform/win/Resources.h"
#include "protocol/ZelProtocol.h"
#include "server/app/SystemText.h"
#include "server/dispatch/ServerTrace.h"
#include "server/objects/ServerObjects.h"
#include "server/sessions/LogonService.h"
#include "server/sessions/ServerProfileGuid.h"
#include "server/sessions/UserABContainer.h"

#ifdef VANTREL_HAVE_USER_DIALOGS
#include "server/app/DlgUsers.h"
#endif

extern char** environ;

namespace vantrel::server {

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kWmSetIcon = 0x0080;
constexpr const char* kHomepage = "https://vantrel.org/";

// A start-up step's failure box.
void StepFailed(HWND hwnd, const std::string& text) {
  std::fprintf(stderr, "ZelServer: %s\n", text.c_str());
  MessageBox(hwnd, text.c_str(), "OnInitDialog", MB_OK);
}

// The name of a call the shutdown names in the log.
const char* OperationName(std::uint16_t opnum) {
  for (const auto& op : vantrel::zel::Operations())
    if (op.opnum == opnum) return op.name;
  return "an unknown operation";
}

// Runs `argv` detached from the server (no zombie stays behind).
void Launch(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return;
  // xdg-open hands the file to the desktop and returns at once.
  std::thread([pid] {
    int status = 0;
    waitpid(pid, &status, 0);
  }).detach();
}

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string all = path;
  for (size_t at = 0; at <= all.size();) {
    size_t end = all.find(':', at);
    if (end == std::string::npos) end = all.size();
    std::string candidate = all.substr(at, end - at) + "/" + program;
    if (end > at && access(candidate.c_str(), X_OK) == 0) return true;
    at = end + 1;
  }
  return false;
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case 1002:  // Homepage
      ServerLog("ZelServer: opening %s", kHomepage);
      if (OnPath("xdg-open")) Launch({"xdg-open", kHomepage});
      return TRUE;
    case IDOK:
    case IDCANCEL:
      EndDialog(hwnd, LOWORD(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

CTarnixServerDlg::CTarnixServerDlg(ServerWindowOptions options)
    : options_(std::move(options)), logons_(registry_) {}

CTarnixServerDlg::~CTarnixServerDlg() {
  if (tray_menu_) DestroyMenu(tray_menu_);
  if (menu_) DestroyMenu(menu_);
  // A window that never shut down (its dialog could not be made).
  logons_.Detach();
  if (user_container_) user_container_->Release();
}

INT_PTR CTarnixServerDlg::DoModal() {
  INT_PTR r = DialogBoxParamA(options_.resources, MAKEINTRESOURCEA(230), nullptr, DialogProc,
                              reinterpret_cast<LPARAM>(this));
  hwnd_ = nullptr;
  return r;
}

std::string CTarnixServerDlg::String(UINT id) const {
  char buffer[512];
  int n = LoadStringA(options_.resources, id, buffer, sizeof buffer);
  return std::string(buffer, static_cast<size_t>(std::max(n, 0)));
}

INT_PTR CALLBACK CTarnixServerDlg::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CTarnixServerDlg*>(lParam);
    SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
    self->OnInitDialog();
    return TRUE;
  }
  auto* self = reinterpret_cast<CTarnixServerDlg*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  return self ? self->OnMessage(msg, wParam, lParam) : FALSE;
}

INT_PTR CTarnixServerDlg::Result(LRESULT value) {
  SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, value);
  return TRUE;
}

INT_PTR CTarnixServerDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  const UINT trace = wm_zelserverlog_.load();
  if (trace != 0 && msg == trace) {
    if (monitor_ && !shut_down_) monitor_->Attach(reinterpret_cast<HWND>(lParam));
    return TRUE;
  }
  switch (msg) {
    case kShutdownNow:
      ShutdownServer();
      EndServer(0, true);
      return Result(0);
    case kLogonMessage:
      OnLogon(lParam);
      return Result(0);
    case kInterrupt:
      if (!shut_down_ && ConfirmShutdown()) {
        ShutdownServer();
        EndServer(0, true);
      }
      return TRUE;
    case WM_QUERYENDSESSION:
      return Result(ConfirmShutdown() ? TRUE : FALSE);
    case WM_ENDSESSION:
      if (wParam) {
        ShutdownServer();
        EndServer(0, true);
      }
      return Result(1);
    case kTrayCallback:
      OnTrayNotify(lParam);
      return TRUE;
    case WM_SHOWWINDOW:
      OnShowWindow(wParam != 0);
      return FALSE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_MINIMIZE) {
        ShowWindow(hwnd_, SW_HIDE);
        return Result(0);
      }
      if ((wParam & 0xFFF0) == SC_CLOSE) {
        OnQuit();
        return Result(0);
      }
      if (wParam == kSysCmdAbout) {
        ShowAbout();
        return Result(0);
      }
      return FALSE;
    case WM_CLOSE:
      // The close box ends the server the way "Beenden" does.
      OnQuit();
      return TRUE;
    case WM_TIMER:
      if (wParam == kTimerId) OnTimer();
      return TRUE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return TRUE;
    default:
      return FALSE;
  }
}

void CTarnixServerDlg::OnInitDialog() {
  HWND hwnd = hwnd_;
  try {
    // 1. Configuration, log, monitor message, MAPI.
    try {
      config_.SetProgramFolder(options_.home);
      config_.CompletePaths();
      config_.Load();
      config_.Save();
      OpenLog();
      wm_zelserverlog_ = RegisterWindowMessageA("WM_ZELSERVERLOG");
      monitor_ = std::make_unique<CTraceMonitor>(hwnd);
      if (HRESULT hr = MAPIInitialize(nullptr); FAILED(hr)) throw CMAPIException(hr, "MAPIInitialize");
    } catch (...) {
      StepFailed(hwnd, "Exception in Init Mapi");
    }
    // 2. The user directory.
    try {
      user_container_ = new CUserABContainer(CUserABContainer::UsersFileIn(config_.Path));
      user_container_->Load();
    } catch (...) {
      StepFailed(hwnd, "Exception in new CUserABContainer");
    }
    // 3. The logons reach the directory and this window from now on.
    logons_.Attach(user_container_, hwnd);
    // 4. Menus and the user list.
    try {
      HWND list = GetDlgItem(hwnd, kUserListId);
      const UINT headings[] = {105, 106};
      for (int i = 0; i < 2; ++i) {
        std::string text = String(headings[i]);
        LVCOLUMNA column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.cx = 100;
        column.pszText = text.data();
        column.iSubItem = i;
        if (ListView_InsertColumn(list, i, &column) < 0) throw std::runtime_error("column");
      }
      menu_ = LoadMenuA(options_.resources, MAKEINTRESOURCEA(227));
      tray_menu_ = LoadMenuA(options_.resources, MAKEINTRESOURCEA(228));
      if (!tray_menu_) throw std::runtime_error("menu 228");
      std::string about = String(101);
      if (!about.empty()) {
        HMENU system = GetSystemMenu(hwnd, FALSE);
        AppendMenuA(system, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(system, MF_STRING, kSysCmdAbout, about.c_str());
      }
    } catch (...) {
      StepFailed(hwnd, "Exception Menu creation");
    }
    // 5. The remote-call server.
    const char* step = "SetIcon";
    try {
      HICON icon = LoadIconA(options_.resources, MAKEINTRESOURCEA(128));
      SendMessageA(hwnd, kWmSetIcon, 1, reinterpret_cast<LPARAM>(icon));
      SendMessageA(hwnd, kWmSetIcon, 0, reinterpret_cast<LPARAM>(icon));
      step = "InitServer";
      InitServer();
    } catch (...) {
      StepFailed(hwnd, FormatText("Exception Proxy creation %s", step));
    }
    // 6. The tray icon and the timer.
    try {
      for (int i = 0; i < kTrayFrameCount; ++i)
        frames_[i] = LoadIconA(options_.resources, MAKEINTRESOURCEA(kTrayFrames[i]));
      tray_.cbSize = 488;
      tray_.hWnd = hwnd;
      tray_.uID = 1;
      tray_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
      tray_.uCallbackMessage = kTrayCallback;
      tray_.hIcon = frames_[0];
      std::snprintf(tray_.szTip, sizeof tray_.szTip, "%s", "Vantrel Server");
      tray_added_ = Shell_NotifyIconA(NIM_ADD, &tray_) != FALSE;
      next_frame_ = 1;
      ShowWindow(hwnd, SW_HIDE);
      if (options_.timer_ms != 0) SetTimer(hwnd, kTimerId, options_.timer_ms, nullptr);
    } catch (...) {
      StepFailed(hwnd, "Exception Icon creation");
    }
  } catch (...) {
    StepFailed(hwnd, "Exception in OnInitDialog");
  }
  if (serving_) {
    if (options_.on_ready) options_.on_ready(vantrel::rpc::DefaultEndpoint());
  } else {
    // A service that serves no calls would only look alive: it ends, and
    // the service manager sees the failure.
    start_failed_ = true;
    PostMessageA(hwnd, kShutdownNow, 0, 0);
  }
}

void CTarnixServerDlg::InitServer() {
  try {
    RegistryLimits limits;
    limits.pending_bytes_per_session = config_.MaxPendingBytes;
    limits.objects_per_session = static_cast<std::int32_t>(std::min<DWORD>(config_.MaxObjectsPerSession, INT32_MAX));
    limits.sessions_per_association =
        static_cast<std::int32_t>(std::min<DWORD>(config_.MaxSessionsPerConnection, INT32_MAX));
    registry_.SetLimits(limits);
    throttle_ = std::make_unique<CLogonThrottle>(config_.LogonDelayStep);
    ServerObjectOptions objects;
    const bool enable_ms = config_.EnableMS != 0;  // fixed after start-up
    objects.enable_ms = [enable_ms] { return enable_ms; };
    InstallServerObjects(registry_, std::move(objects));
    ServerHooks hooks;
    hooks.make_session = [this] { return logons_.MakeSession(); };
    hooks.set_profile_guid = Server_SetProfileGuid;
    hooks.throttle = throttle_.get();
    dispatch_ = std::make_unique<CServerDispatch>(registry_, hooks);
    spec_ = dispatch_->Spec();

    // A closed connection leaves its sessions to be taken over or swept.
    CServerClasses* registry = &registry_;
    vantrel::rpc::SetProcessAssociationClosed([registry](std::uint64_t association) {
      try {
        registry->AssociationClosed(association);
      } catch (...) {
      }
    });
    vantrel::rpc::SetProcessConnectionLimits(config_.MaxConnectionsPerAddress, config_.MaxConnections);
    vantrel::rpc::SetProcessRuntimeLog([](const std::string& line) { ServerLog("%s", line.c_str()); });

    const std::string endpoint = vantrel::rpc::DefaultEndpoint();
    RPC_STATUS status = RpcServerUseProtseqEp("ncacn_ip_tcp", config_.MaxThreads, endpoint.c_str(), nullptr);
    if (status == RPC_S_OK) status = RpcServerRegisterIf(&spec_, nullptr, nullptr);
    if (status == RPC_S_OK) status = RpcServerListen(config_.MinThreads, config_.MaxThreads, 1);
    if (status != RPC_S_OK) {
      std::string text = SystemText(status).substr(0, 128);
      std::fprintf(stderr, "ZelServer: endpoint %s: %s\n", endpoint.c_str(), text.c_str());
      ServerLog("ZelServer: endpoint %s: %s", endpoint.c_str(), text.c_str());
      MessageBox(hwnd_, text.c_str(), "Error", MB_OK);
      return;
    }
    serving_ = true;
  } catch (...) {
    MessageBox(hwnd_, "Fatal error in InitServer", "ZelServerThread", MB_OK);
  }
}

void CTarnixServerDlg::OnShowWindow(bool show) {
  // The first showing of a modal dialog is hidden again: the server
  // starts as its tray icon alone.
  if (show && hidden_at_first_show_) {
    hidden_at_first_show_ = false;
    ShowWindow(hwnd_, SW_HIDE);
  }
}

void CTarnixServerDlg::OnTimer() {
  if (shut_down_) return;
  try {
    if (tray_added_) {
      tray_.hIcon = frames_[next_frame_];
      next_frame_ = (next_frame_ + 1) % kTrayFrameCount;
      // An icon the shell lost is added again with this frame.
      if (!Shell_NotifyIconA(NIM_MODIFY, &tray_)) tray_added_ = Shell_NotifyIconA(NIM_ADD, &tray_) != FALSE;
    } else {
      tray_added_ = Shell_NotifyIconA(NIM_ADD, &tray_) != FALSE;
    }
  } catch (...) {
  }
  try {
    registry_.SweepIdleSessions();
  } catch (...) {
  }
  try {
    if (IsWindowVisible(hwnd_)) RefreshUserList();
  } catch (...) {
  }
}

void CTarnixServerDlg::RefreshUserList() {
  HWND list = GetDlgItem(hwnd_, kUserListId);
  registry_.ClearChanged();
  ListView_DeleteAllItems(list);
  int row = 0;
  for (const auto& [handle, object] : registry_.Objects()) {
    if (!object || object->kind != kZelLogon) continue;
    std::string user, computer;
    try {
      auto session = std::dynamic_pointer_cast<CServerZelLogon>(object);
      if (!session) throw std::runtime_error("not a logon");
      user = session->UserName();
      computer = session->Workstation();
    } catch (...) {
      user = FormatText("Class %d -- Error", static_cast<int>(handle));
      computer.clear();
    }
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = row;
    item.pszText = user.data();
    item.lParam = handle;
    int at = ListView_InsertItem(list, &item);
    if (at >= 0) ListView_SetItemText(list, at, 1, computer.data());
    ++row;
  }
}

void CTarnixServerDlg::OnTrayNotify(LPARAM mouse) {
  if (static_cast<UINT>(mouse & 0xFFFF) != WM_RBUTTONUP || !tray_menu_ || shut_down_) return;
  HMENU popup = GetSubMenu(tray_menu_, 0);
  if (!popup) return;
  TrackPopupMenu(popup, TPM_RIGHTALIGN | TPM_BOTTOMALIGN, 0, 0, 0, hwnd_, nullptr);
}

void CTarnixServerDlg::OnCommand(UINT id) {
  if (shut_down_) return;
  switch (id) {
    case kCmdUsers:
      OnUsers();
      break;
    case kCmdShow:
      ShowWindow(hwnd_, SW_SHOW);
      break;
    case kCmdAbout:
      ShowAbout();
      break;
    case kCmdHelpIndex:
      ShowHelpIndex();
      break;
    case kCmdQuit:
      OnQuit();
      break;
    default:
      break;  // IDOK, IDCANCEL (Enter, Escape): the server window stays
  }
}

void CTarnixServerDlg::OnUsers() {
  ShowWindow(hwnd_, SW_SHOW);
#ifdef VANTREL_HAVE_USER_DIALOGS
  if (dlg_users_) {
    if (HWND open = dlg_users_->Hwnd()) ShowWindow(open, SW_SHOW);
    return;
  }
  auto dialog = std::make_unique<CDlgUsers>(user_container_, &config_, hwnd_);
  dlg_users_ = dialog.get();
  dialog->DoModal();
  dlg_users_ = nullptr;
  dialog.reset();
  // A shutdown while the dialog was open left the directory to us.
  if (shut_down_ && user_container_) {
    user_container_->Release();
    user_container_ = nullptr;
  }
#endif
}

void CTarnixServerDlg::OnQuit() {
  if (shut_down_ || !ConfirmShutdown()) return;
  ShutdownServer();
  EndServer(0, false);
}

void CTarnixServerDlg::OnLogon(LPARAM lParam) {
  auto* request = reinterpret_cast<LogonRequest*>(lParam);
  if (!request) return;
  request->session = nullptr;
  if (shut_down_) {
    request->result = MAPI_E_NO_SUPPORT;
    return;
  }
  try {
    PerformLogon(*request);
  } catch (...) {
    request->session = nullptr;
    request->result = MAPI_E_NO_SUPPORT;
  }
}

void CTarnixServerDlg::ShowAbout() {
  DialogBoxParamA(options_.resources, MAKEINTRESOURCEA(100), hwnd_, AboutProc, 0);
}

void CTarnixServerDlg::ShowHelpIndex() {
  std::error_code ec;
  std::filesystem::path help = std::filesystem::read_symlink("/proc/self/exe", ec);
  help.replace_extension(".CHM");
  ServerLog("ZelServer: help %s::%s>%s", help.c_str(), "/index.htm", "FULL");
  std::string spec = help.string() + "::/index.htm>FULL";
  // The attached front ends open it; without one the server does, if it can.
  if (HtmlHelpA(hwnd_, spec.c_str(), HH_DISPLAY_TOPIC, 0)) return;
  if (std::filesystem::exists(help, ec) && OnPath("xdg-open")) Launch({"xdg-open", help.string()});
}

bool CTarnixServerDlg::ConfirmShutdown() {
  int sessions = 0;
  for (const auto& entry : registry_.Objects())
    if (entry.second && entry.second->kind == kZelLogon) ++sessions;
  if (sessions == 0) return true;
  std::string text = FormatText(String(128).c_str(), sessions);
  return MessageBox(hwnd_, text.c_str(), "ZelServer", MB_YESNO) == IDYES;
}

void CTarnixServerDlg::ShutdownServer() {
  if (shut_down_) return;
  shut_down_ = true;
  if (options_.on_stopping) options_.on_stopping();
  KillTimer(hwnd_, kTimerId);
  // The calls in progress end before their sessions do.
  StopCalls();

  const char* action = "Kill clients";
  try {
    registry_.EndAllSessions();
  } catch (...) {
    MessageBox(hwnd_, FormatText("Error in terminating, last aktion = %s", action).c_str(), "Vantrel", MB_OK);
  }
  // Calls still arriving no longer reach the window or the directory.
  logons_.Detach();
  try {
    action = "Deleting icon";
    if (tray_added_) Shell_NotifyIconA(NIM_DELETE, &tray_);
    tray_added_ = false;
    if (monitor_) monitor_->Detach();
    CloseLog();
    action = "Remove User container";
    // An open users dialog still works on the directory: it goes when the
    // dialog has closed. The users file is not written.
    if (user_container_ && !dlg_users_) {
      user_container_->Release();
      user_container_ = nullptr;
    }
  } catch (...) {
    MessageBox(hwnd_, FormatText("Error in terminating, last aktion = %s", action).c_str(), "Vantrel", MB_OK);
  }
}

void CTarnixServerDlg::StopCalls() {
  if (!serving_) return;
  std::vector<vantrel::rpc::CallInfo> left;
  std::atomic<bool> done{false};
  const HWND hwnd = hwnd_;
  std::thread stopper([&] {
    vantrel::rpc::StopProcessServer(std::chrono::seconds(config_.StopWait), &left);
    done = true;
    PostMessageA(hwnd, kCallsStopped, 0, 0);
  });
  // A call may wait for a logon on this thread: sent messages are
  // delivered while we wait (and refused, the server being shut down).
  MSG msg;
  while (!done.load()) {
    if (GetMessageA(&msg, hwnd, kCallsStopped, kCallsStopped) < 0) break;
  }
  stopper.join();
  serving_ = false;
  if (!left.empty()) {
    // A call that does not end holds its object's and maybe the store's
    // lock, so ending the sessions could wait forever. What was saved is in
    // the store files already; what the abandoned calls had not yet
    // committed is lost, as with a killed process.
    for (const auto& call : left)
      ServerLog("ZelServer: %s (connection %llu from %s) still running after %u s; exiting without it",
                OperationName(call.opnum), static_cast<unsigned long long>(call.association),
                call.peer.empty() ? "?" : call.peer.c_str(), static_cast<unsigned>(config_.StopWait));
    std::fprintf(stderr, "ZelServer: %zu call(s) did not end within %u s; exiting\n", left.size(),
                 static_cast<unsigned>(config_.StopWait));
    CloseLog();
    std::fflush(nullptr);
    std::_Exit(3);
  }
  vantrel::rpc::SetProcessAssociationClosed(nullptr);
}

void CTarnixServerDlg::EndServer(int code, bool at_once) {
  if (start_failed_) code = 1;
  if (at_once && options_.exit_process) {
    std::fflush(nullptr);
    std::_Exit(code);
  }
#ifdef VANTREL_HAVE_USER_DIALOGS
  if (dlg_users_ && dlg_users_->Hwnd()) EndDialog(dlg_users_->Hwnd(), IDCANCEL);
#endif
  EndDialog(hwnd_, code);
}

}  // namespace vantrel::server
