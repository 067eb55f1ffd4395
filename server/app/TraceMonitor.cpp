#include "server/app/TraceMonitor.h"

#include "server/dispatch/TraceMonitor.h"

namespace vantrel::server {

CTraceMonitor::~CTraceMonitor() { Detach(); }

void CTraceMonitor::Attach(HWND monitor) {
  // A monitor must be another window than the server's own.
  if (monitor == server_) return;
  SetTraceMonitor(monitor);
  attached_ = monitor != nullptr;
}

void CTraceMonitor::Detach() {
  if (!attached_) return;
  SetTraceMonitor(nullptr);
  attached_ = false;
}

}  // namespace vantrel::server
