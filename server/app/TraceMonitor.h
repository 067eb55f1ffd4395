// The trace monitor the server window attaches: a window (of any process
// of this user) that registered through "WM_ZELSERVERLOG" and receives each
// trace line as WM_COPYDATA. A monitor that does not answer in time, or has
// gone, is dropped, so a hung monitor never holds a remote call.
#pragma once

#include <string_view>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/WinUser.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {

class CTraceMonitor : public TraceSink {
 public:
  // The longest a trace line waits for the monitor.
  static constexpr UINT kSendBoundMs = 2000;

  explicit CTraceMonitor(HWND server) : server_(server) {}
  ~CTraceMonitor() override;
  CTraceMonitor(const CTraceMonitor&) = delete;
  CTraceMonitor& operator=(const CTraceMonitor&) = delete;

  // The window's thread: `monitor` becomes the monitor (null detaches it).
  void Attach(HWND monitor) EXCLUDES(lock_);
  // The window's thread, at shutdown: no more lines go out.
  void Detach() EXCLUDES(lock_);

  void Send(std::string_view line) override EXCLUDES(lock_);

 private:
  const HWND server_;
  Mutex lock_;  // a leaf: never held while sending
  HWND monitor_ GUARDED_BY(lock_) = nullptr;
  bool installed_ GUARDED_BY(lock_) = false;  // this sink is the trace's
};

}  // namespace vantrel::server
