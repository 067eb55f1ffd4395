// Placeholder until the peer channel lands: no other process is reachable.
#include "platform/win/CrossProcess.h"

#include "platform/win/WindowPlatform.h"

namespace vantrel::win {

void ServePeers() {}
std::chrono::milliseconds CrossProcessSendBound() { return std::chrono::seconds(30); }
bool RemoteSend(pid_t, HWND, UINT, WPARAM, LPARAM, UINT, std::chrono::steady_clock::time_point,
                LRESULT* result, bool* timedOut) {
  *result = 0;
  *timedOut = false;
  return false;
}
bool RemotePost(pid_t, HWND, UINT, WPARAM, LPARAM) { return false; }
std::vector<WindowInfo> RemoteWindows(pid_t) { return {}; }
std::vector<pid_t> LiveProcesses() { return {}; }

// The global hooks' own definition replaces this one when linked.
__attribute__((weak)) void RunCallWndProcHooks(const CWPSTRUCT&) {}

}  // namespace vantrel::win
