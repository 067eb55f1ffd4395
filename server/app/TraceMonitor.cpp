#include "server/app/TraceMonitor.h"

#include <string>
#include <utility>

namespace vantrel::server {

CTraceMonitor::~CTraceMonitor() { Detach(); }

void CTraceMonitor::Attach(HWND monitor) {
  bool install = false;
  {
    MutexLock l(lock_);
    monitor_ = monitor;
    install = monitor && !installed_;
    if (install) installed_ = true;
  }
  // Set outside lock_: SetTraceSink waits for lines in progress, which take it.
  if (install) SetTraceSink(this);
}

void CTraceMonitor::Detach() {
  bool installed = false;
  {
    MutexLock l(lock_);
    monitor_ = nullptr;
    installed = std::exchange(installed_, false);
  }
  if (installed) SetTraceSink(nullptr);
}

void CTraceMonitor::Send(std::string_view line) {
  HWND monitor;
  {
    MutexLock l(lock_);
    monitor = monitor_;
  }
  if (!monitor) return;
  std::string text(line);
  COPYDATASTRUCT data{0, static_cast<DWORD>(text.size() + 1), text.data()};
  ULONG_PTR result = 0;
  if (SendMessageTimeoutA(monitor, WM_COPYDATA, reinterpret_cast<WPARAM>(server_), reinterpret_cast<LPARAM>(&data),
                          SMTO_ABORTIFHUNG, kSendBoundMs, &result) == 0) {
    // Hung or gone: later lines are dropped until a monitor registers again.
    MutexLock l(lock_);
    if (monitor_ == monitor) monitor_ = nullptr;
  }
}

}  // namespace vantrel::server
