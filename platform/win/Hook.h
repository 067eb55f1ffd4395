// Global window hooks: the published names, signatures and values.
//
// SetWindowsHookExA(WH_CALLWNDPROC, procedure, module, 0) installs a hook
// that runs in every process of this user that uses the window platform,
// for every message sent to that process's windows (SendMessage within a
// thread, across threads and across processes, and the WM_CREATE of
// CreateWindowEx), before the window procedure sees it.
//
// How it works: the hooks of the user are a table in the runtime folder
// (HookTable.h). An entry names the module by its real path and the
// procedure by its exported name or its offset in the module, plus the
// installing process's liveness token. Every process keeps its own chain of
// procedures, newest hook first, and rebuilds it (loading the modules with
// dlopen) when the table's generation counter moves; a process that has no
// hooks pays one load of that counter per sent message. A hook ends when
// UnhookWindowsHookEx removes it or when its installing process ends.
//
// Handles are the same number in every process and fit in 32 bits, so a
// module may keep them in its shared data section (SharedSection.h) and
// pass them to CallNextHookEx from any process.
#pragma once

#include "platform/win/WinUser.h"

inline constexpr int WH_CALLWNDPROC = 4;
inline constexpr int HC_ACTION = 0;

// Published error codes a refused call leaves behind.
inline constexpr DWORD ERROR_INVALID_HOOK_HANDLE = 1404;
inline constexpr DWORD ERROR_INVALID_HOOK_FILTER = 1426;
inline constexpr DWORD ERROR_INVALID_FILTER_PROC = 1427;
inline constexpr DWORD ERROR_HOOK_NEEDS_HMOD = 1428;

// For WH_CALLWNDPROC: code is HC_ACTION, wParam is nonzero when the message
// was sent by the current thread, lParam points at a CWPSTRUCT.
using HOOKPROC = LRESULT (*)(int code, WPARAM wParam, LPARAM lParam);

// Only global WH_CALLWNDPROC hooks are supported: threadId must be 0
// (ERROR_INVALID_PARAMETER otherwise) and the procedure must live in a
// loadable module, not the main program, which `module` names
// (ERROR_HOOK_NEEDS_HMOD). Returns null when refused, with the thread's last
// error set.
HHOOK SetWindowsHookExA(int idHook, HOOKPROC procedure, HINSTANCE module, DWORD threadId);
inline HHOOK SetWindowsHookEx(int idHook, HOOKPROC procedure, HINSTANCE module, DWORD threadId) {
  return SetWindowsHookExA(idHook, procedure, module, threadId);
}

// Calls the hook after `hook` in the chain that is running on this thread
// (or in this process's current chain outside a hook), and returns its
// result; 0 when `hook` is the last one or is not in the chain. A `hook`
// that already ran in this pass (so the call would run it again without
// end) is taken as the procedure that is running.
LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam);

// Removes the hook from every process. FALSE when no such hook exists
// (ERROR_INVALID_HOOK_HANDLE).
BOOL UnhookWindowsHookEx(HHOOK hook);
