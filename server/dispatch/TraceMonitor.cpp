#include "server/dispatch/TraceMonitor.h"

#include <deque>
#include <string>
#include <thread>

#include "platform/base/ThreadAnnotations.h"
#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {
namespace {

class MonitorSink : public TraceSink {
 public:
  // Called under the trace's sink lock from any thread: only queues.
  void Send(std::string_view line) override {
    MutexLock lock(mu_);
    if (!monitor_) return;
    if (queue_.size() >= kMonitorQueueMax) {
      ++lost_;
      return;
    }
    queue_.emplace_back(line);
    cv_.NotifyOne();
  }

  void Start(HWND monitor) {
    Stop();
    MutexLock lock(mu_);
    monitor_ = monitor;
    stop_ = false;
    lost_ = 0;
    queue_.clear();
    thread_ = std::thread(&MonitorSink::Run, this);
  }

  void Stop() {
    std::thread thread;
    {
      MutexLock lock(mu_);
      stop_ = true;
      monitor_ = nullptr;
      queue_.clear();
      cv_.NotifyAll();
      thread = std::move(thread_);
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
  }

  HWND Monitor() {
    MutexLock lock(mu_);
    return monitor_;
  }

 private:
  void Run() {
    MutexLock lock(mu_);
    while (true) {
      while (!stop_ && queue_.empty()) cv_.Wait(lock);
      if (stop_) return;
      std::string line = std::move(queue_.front());
      queue_.pop_front();
      if (lost_ > 0) {
        line = FormatText("ZelServer: (%zu trace lines lost while the monitor was slow)", lost_) + "\n" + line;
        lost_ = 0;
      }
      HWND monitor = monitor_;
      lock.Unlock();
      const bool taken = Deliver(monitor, line);
      lock.Lock();
      if (!taken && monitor_ == monitor && !stop_) {
        // Dropped: the calls stop formatting lines for it at once.
        monitor_ = nullptr;
        queue_.clear();
        lock.Unlock();
        DetachTraceSink(this);
        ServerLog("Trace monitor %p dropped: it did not answer within %u ms\n", static_cast<void*>(monitor),
                  kMonitorTimeoutMs);
        lock.Lock();
      }
    }
  }

  static bool Deliver(HWND monitor, const std::string& line) {
    COPYDATASTRUCT data{};
    data.dwData = 0;
    data.cbData = static_cast<DWORD>(line.size() + 1);
    data.lpData = const_cast<char*>(line.c_str());
    ULONG_PTR result = 0;
    return SendMessageTimeoutA(monitor, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG,
                               kMonitorTimeoutMs, &result) != 0;
  }

  Mutex mu_;
  CondVar cv_;
  HWND monitor_ GUARDED_BY(mu_) = nullptr;
  bool stop_ GUARDED_BY(mu_) = false;
  std::size_t lost_ GUARDED_BY(mu_) = 0;
  std::deque<std::string> queue_ GUARDED_BY(mu_);
  std::thread thread_ GUARDED_BY(mu_);
};

MonitorSink& Sink() {
  static MonitorSink* sink = new MonitorSink;  // lives until the process ends
  return *sink;
}

}  // namespace

void SetTraceMonitor(HWND monitor) {
  // A monitor that registers again keeps its queue.
  if (monitor && monitor == Sink().Monitor()) return;
  // Detached from the trace first, so no call queues for a stopping sink.
  SetTraceSink(nullptr);
  Sink().Stop();
  if (!monitor) return;
  Sink().Start(monitor);
  SetTraceSink(&Sink());
}

HWND TraceMonitor() { return Sink().Monitor(); }

}  // namespace vantrel::server
