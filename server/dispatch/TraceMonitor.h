// The trace monitor: a window, usually of another process, that asked for
// the server's trace by sending the registered message "WM_ZELSERVERLOG"
// with its handle in LPARAM. Each trace line goes to it as WM_COPYDATA
// (dwData 0, the text with its terminating zero).
//
// A remote call never waits for the monitor: the lines go into a bounded
// queue that one thread of the monitor sends from, each send bounded by
// kMonitorTimeoutMs. A monitor that does not take a line in that time (hung,
// stopped, dead or gone) is dropped with everything queued for it; a full
// queue drops the new line and the monitor is told how many were lost.
#pragma once

#include <cstddef>

#include "platform/win/WinUser.h"

namespace vantrel::server {

inline constexpr unsigned kMonitorTimeoutMs = 2000;
inline constexpr std::size_t kMonitorQueueMax = 10000;

// The name of the registered message a monitor sends.
inline constexpr const char* kMonitorMessage = "WM_ZELSERVERLOG";

// Makes `monitor` the trace monitor (replacing any other; the same one
// again changes nothing); null detaches it and waits, at most one send's
// bound, for the monitor's thread to end.
void SetTraceMonitor(HWND monitor);
// The current monitor, or null (also after it was dropped).
HWND TraceMonitor();

}  // namespace vantrel::server
