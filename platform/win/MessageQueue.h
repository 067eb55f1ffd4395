// One message queue per GUI thread: posted messages, messages sent from
// other threads and processes, timers and the quit flag.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/WinUser.h"

namespace vantrel::win {

// A message sent to a window of another thread (or process). The receiving
// thread delivers it and calls Complete once; so does whoever gives up on it
// (the window or the thread ended). `complete` runs with no platform lock.
struct SentMessage {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::shared_ptr<void> keep;  // owns what lParam points to (copied data)
  std::function<void(LRESULT)> complete;
  std::atomic<bool> done{false};

  void Complete(LRESULT result) {
    if (!done.exchange(true) && complete) complete(result);
  }
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT interval;
  TIMERPROC proc;
  std::chrono::steady_clock::time_point due;
};

class ThreadQueue {
 public:
  explicit ThreadQueue(DWORD tid) : tid_(tid) {}
  DWORD tid() const { return tid_; }

  // False when the thread has ended.
  bool Post(const MSG& msg) EXCLUDES(mu_);
  bool Send(std::shared_ptr<SentMessage> msg) EXCLUDES(mu_);
  void Quit(int code) EXCLUDES(mu_);
  UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) EXCLUDES(mu_);
  bool KillTimer(HWND hwnd, UINT_PTR id) EXCLUDES(mu_);

  // A window is gone: its sent messages end with 0, its posted messages and
  // timers are dropped.
  void ForgetWindow(HWND hwnd) EXCLUDES(mu_);
  // The thread ends: every waiting sender gets 0, nothing more is accepted.
  void End() EXCLUDES(mu_);

  // True when the thread has not looked at its queue for a while although
  // messages wait (SMTO_ABORTIFHUNG).
  bool Hung() EXCLUDES(mu_);

  // The message loop. `wait` false: PeekMessage. Returns false when nothing
  // matched; sent messages met on the way are delivered.
  bool Get(MSG* out, HWND hwnd, UINT min, UINT max, bool remove, bool wait) EXCLUDES(mu_);

  // A sender of this thread waits for a reply by token: BeginWait before
  // the message leaves, then WaitReply, which dispatches sent messages and
  // timers meanwhile (unless `block`) and returns false at the deadline. A
  // reply that comes after its waiter gave up is dropped.
  std::uint64_t BeginWait() EXCLUDES(mu_);
  void Reply(std::uint64_t token, LRESULT result) EXCLUDES(mu_);
  bool WaitReply(std::uint64_t token, bool block, std::chrono::steady_clock::time_point deadline,
                 LRESULT* result) EXCLUDES(mu_);

  Mutex mu_;
  CondVar cv_;

 private:
  // The next due timer's WM_TIMER, or false.
  bool TakeTimer(MSG* out, const std::set<HWND>* windows, UINT min, UINT max, bool remove,
                 std::chrono::steady_clock::time_point now) REQUIRES(mu_);
  std::chrono::steady_clock::time_point NextDue() REQUIRES(mu_);

  const DWORD tid_;
  std::deque<MSG> posted_ GUARDED_BY(mu_);
  std::deque<std::shared_ptr<SentMessage>> sent_ GUARDED_BY(mu_);
  std::vector<Timer> timers_ GUARDED_BY(mu_);
  UINT_PTR nextThreadTimer_ GUARDED_BY(mu_) = 0x7FFF0000;
  bool quit_ GUARDED_BY(mu_) = false;
  int quitCode_ GUARDED_BY(mu_) = 0;
  bool ended_ GUARDED_BY(mu_) = false;
  std::uint64_t nextToken_ GUARDED_BY(mu_) = 1;
  std::set<std::uint64_t> waiting_ GUARDED_BY(mu_);
  std::map<std::uint64_t, LRESULT> replies_ GUARDED_BY(mu_);
  std::chrono::steady_clock::time_point lastLook_ GUARDED_BY(mu_) = std::chrono::steady_clock::now();
};

// The calling thread's queue, created on first use.
std::shared_ptr<ThreadQueue> CurrentQueue();
// Another thread's queue, if it has one.
std::shared_ptr<ThreadQueue> FindQueue(DWORD tid);

// Never-ending deadline for waits bounded only by their owner stopping.
inline constexpr std::chrono::steady_clock::time_point kNoDeadline =
    std::chrono::steady_clock::time_point::max();

// Delivers a sent message on the receiving thread: hooks, then the window
// procedure, then Complete.
void DeliverSent(const std::shared_ptr<SentMessage>& msg);

// Sends to a window of another thread of this process through `target` and
// waits as SendMessage does. `timedOut` (may be null) tells a time-out from
// a result.
LRESULT SendToQueue(const std::shared_ptr<ThreadQueue>& target, std::shared_ptr<SentMessage> msg,
                    UINT flags, std::chrono::steady_clock::time_point deadline, bool* timedOut);

}  // namespace vantrel::win
