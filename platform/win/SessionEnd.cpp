// The end of the user's session as a process sees it: every top-level
// window is asked WM_QUERYENDSESSION on its own thread, then told the
// outcome with WM_ENDSESSION. A front end that speaks for several
// processes asks them all first and ends them only when all agreed, so an
// agreement is kept until the outcome is known.
#include <atomic>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/FrontEnd.h"
#include "platform/win/Window.h"

namespace vantrel::win {
namespace {

// Set while windows are being asked or an agreement waits for its outcome:
// a second query is refused then.
std::atomic<bool> g_ending{false};

vantrel::Mutex g_mu;
// The windows that agreed, waiting for WM_ENDSESSION; who asked.
std::vector<HWND>& g_agreed GUARDED_BY(g_mu) = *new std::vector<HWND>;
LPARAM g_how GUARDED_BY(g_mu) = 0;
const void* g_owner GUARDED_BY(g_mu) = nullptr;
bool g_pending GUARDED_BY(g_mu) = false;

void Tell(const std::vector<HWND>& windows, bool ending, LPARAM how) {
  for (HWND h : windows) {
    if (IsWindow(h)) SendMessageA(h, WM_ENDSESSION, ending ? TRUE : FALSE, how);
  }
}

}  // namespace

int QueryEndSession(bool logoff, const void* owner) {
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
  if (!agreed) {
    Tell(asked, false, how);
    g_ending.store(false);
    return 0;
  }
  vantrel::MutexLock lock(g_mu);
  g_agreed = std::move(asked);
  g_how = how;
  g_owner = owner;
  g_pending = true;
  return 1;
}

bool FinishEndSession(bool ending, const void* owner) {
  std::vector<HWND> windows;
  LPARAM how = 0;
  {
    vantrel::MutexLock lock(g_mu);
    if (!g_pending || (owner && g_owner != owner)) return false;
    windows.swap(g_agreed);
    how = g_how;
    g_pending = false;
    g_owner = nullptr;
  }
  Tell(windows, ending, how);
  g_ending.store(false);
  return true;
}

int EndSession(bool logoff) {
  int agreed = QueryEndSession(logoff, nullptr);
  if (agreed == 1) FinishEndSession(true, nullptr);
  return agreed;
}

}  // namespace vantrel::win
