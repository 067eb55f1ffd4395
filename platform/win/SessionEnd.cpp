// The end of the user's session as a process sees it: every top-level
// window is asked WM_QUERYENDSESSION on its own thread, then told the
// outcome with WM_ENDSESSION.
#include <atomic>
#include <vector>

#include "platform/win/FrontEnd.h"
#include "platform/win/Window.h"

namespace vantrel::win {
namespace {

std::atomic<bool> g_ending{false};

}  // namespace

int EndSession(bool logoff) {
  bool idle = false;
  if (!g_ending.compare_exchange_strong(idle, true)) return -1;
  LPARAM how = logoff ? ENDSESSION_LOGOFF : 0;
  std::vector<HWND> asked;
  bool agreed = true;
  // Hidden windows are asked too (a tray program's window usually is).
  // The sends wait without a bound, as the session's end does: a window may
  // put a question to the user first, and a message box is answered by a
  // front end, or by the program's policy once no front end is attached.
  for (const WindowInfo& info : LocalWindowInfos(true)) {
    HWND h = HandleOf(info.hwnd);
    if (!IsWindow(h)) continue;
    asked.push_back(h);
    if (!SendMessageA(h, WM_QUERYENDSESSION, 0, how)) {
      agreed = false;
      break;
    }
  }
  for (HWND h : asked) {
    if (IsWindow(h)) SendMessageA(h, WM_ENDSESSION, agreed ? TRUE : FALSE, how);
  }
  g_ending.store(false);
  return agreed ? 1 : 0;
}

}  // namespace vantrel::win
