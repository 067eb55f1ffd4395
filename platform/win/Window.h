// This process's window table as the rest of the platform sees it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/win/WinUser.h"

namespace vantrel::win {

class ThreadQueue;

// What another process (or FindWindow) learns about a window.
struct WindowInfo {
  std::uint32_t hwnd = 0;
  std::uint32_t parent = 0;
  std::uint32_t pid = 0;
  std::uint32_t tid = 0;
  std::uint32_t style = 0;
  std::string className;
  std::string title;
};

inline std::uint32_t HandleValue(HWND hwnd) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hwnd));
}
inline HWND HandleOf(std::uint32_t value) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
}

// Null unless `hwnd` is a live window of this process.
WNDPROC LocalWindowProc(HWND hwnd);
std::shared_ptr<ThreadQueue> LocalWindowQueue(HWND hwnd);
bool IsLocalWindow(HWND hwnd);
// `hwnd` and every window below it.
std::set<HWND> WindowAndDescendants(HWND hwnd);
// Windows of this process (only top-level ones when asked), creation order.
std::vector<WindowInfo> LocalWindowInfos(bool topLevelOnly);
// What a front end draws of a local window: its rectangle (as MoveWindow
// gives it) and its WM_SETICON icons. False when `hwnd` is not local.
bool WindowGeometry(HWND hwnd, RECT* rect, HICON* smallIcon, HICON* bigIcon);
// The thread `tid` ended: its windows go without messages.
void DropThreadWindows(DWORD tid);

}  // namespace vantrel::win
