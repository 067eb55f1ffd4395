// Messages to windows of other processes of this user, over the "peer"
// channel of their runtime-folder sockets (see CrossProcess.md).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <vector>

#include "platform/win/Window.h"
#include "platform/win/WinUser.h"

namespace vantrel::win {

// Starts this process's listener and serves "peer" connections. Called by
// the first window; idempotent.
void ServePeers();

// The bound of a SendMessage to another process: $ZEL_WIN_SEND_TIMEOUT_MS,
// else 30 s.
std::chrono::milliseconds CrossProcessSendBound();

// Sends to window `hwnd` of process `pid` and waits until `deadline`,
// dispatching this thread's sent messages and timers meanwhile unless
// `flags` has SMTO_BLOCK. False when the message may not cross, the peer is
// gone (its end of the socket closed), it has no such window, or the time
// ran out (`*timedOut`).
bool RemoteSend(pid_t pid, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                std::chrono::steady_clock::time_point deadline, LRESULT* result, bool* timedOut);
bool RemotePost(pid_t pid, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The windows of process `pid`; empty when it is gone.
std::vector<WindowInfo> RemoteWindows(pid_t pid);

}  // namespace vantrel::win
