// The trace monitor the server window attaches: a window (of any process
// of this user) that registered through "WM_ZELSERVERLOG" and receives each
// trace line as WM_COPYDATA. The lines go out from the monitor's own queue
// and thread (server/dispatch/TraceMonitor.h), so a hung or stopped monitor
// never holds a remote call; one that does not answer in time is dropped.
#pragma once

#include "platform/win/WinUser.h"

namespace vantrel::server {

class CTraceMonitor {
 public:
  explicit CTraceMonitor(HWND server) : server_(server) {}
  ~CTraceMonitor();
  CTraceMonitor(const CTraceMonitor&) = delete;
  CTraceMonitor& operator=(const CTraceMonitor&) = delete;

  // The window's thread: `monitor` becomes the monitor (null detaches it).
  void Attach(HWND monitor);
  // The window's thread, at shutdown: no more lines go out.
  void Detach();

 private:
  const HWND server_;
  bool attached_ = false;  // the window's thread only
};

}  // namespace vantrel::server
