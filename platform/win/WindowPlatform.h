// What the parts of the window platform share beyond the published API:
// the runtime folder and its local channels, window events for front ends,
// and the point where global hooks see sent messages.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/win/WinUser.h"

namespace vantrel::win {

// The per-user runtime folder: $ZEL_WIN_DIR when set, else
// $XDG_RUNTIME_DIR/vantrel-win, else /tmp/vantrel-win-<uid>. Created with
// mode 0700; a folder owned by another user or open to others is refused
// (empty result).
std::string RuntimeDir();

// Every process that uses the window platform listens on one Unix socket in
// the runtime folder. A peer opens a channel by naming its kind in the first
// frame ("peer" for window messages, "frontend" for a front end). Peers of
// another user are refused by their credentials before any byte is read.
//
// A connection of `kind` is handed to `handler` on a platform thread; the
// handler owns the descriptor from then on.
using ChannelHandler = std::function<void(int fd)>;
void RegisterChannel(const std::string& kind, ChannelHandler handler);

// Connects to process `pid`'s socket as `kind`, checks that the listener
// runs as this user, and returns the descriptor, or -1 within `timeoutMs`.
int ConnectChannel(pid_t pid, const std::string& kind, int timeoutMs);

// Processes of this user whose window-platform socket answers.
std::vector<pid_t> LiveProcesses();

// Window events, raised on the window's own thread: after WM_CREATE
// returned, after a change of text, style, visibility, enabled state or
// parent, and before WM_DESTROY. Front ends build their view from them.
enum class WindowEvent { kCreated, kChanged, kDestroyed };
using WindowObserver = std::function<void(WindowEvent, HWND)>;
// Returns an id for RemoveWindowObserver.
int AddWindowObserver(WindowObserver observer);
void RemoveWindowObserver(int id);

// Top-level and child windows of this process, in creation order.
std::vector<HWND> ProcessWindows();

// Global WH_CALLWNDPROC hooks: called on the receiving thread for every
// message sent to one of this process's windows (in-thread, across threads
// and across processes, and the WM_CREATE of CreateWindowEx), before the
// window procedure sees it.
void RunCallWndProcHooks(const CWPSTRUCT& message);
// The same, saying whether the current thread sent the message (the hooks'
// wParam). The form above takes it from InSendMessage(), which stays TRUE in
// a send a thread makes to itself while it handles another thread's send.
void RunCallWndProcHooks(const CWPSTRUCT& message, bool sentByThisThread);

}  // namespace vantrel::win
