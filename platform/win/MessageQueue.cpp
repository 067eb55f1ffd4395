#include "platform/win/MessageQueue.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/base/SystemInfo.h"
#include "platform/win/Window.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

using Clock = std::chrono::steady_clock;

// A queue that has not looked for messages this long while some wait is
// hung (SMTO_ABORTIFHUNG).
constexpr auto kHungAfter = std::chrono::seconds(5);

struct QueueRegistry {
  Mutex mu;
  std::map<DWORD, std::weak_ptr<ThreadQueue>> queues GUARDED_BY(mu);
};

QueueRegistry& Registry() {
  static QueueRegistry* registry = new QueueRegistry;  // outlives every thread
  return *registry;
}

// Ends the thread's queue when the thread ends.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (!queue) return;
    {
      QueueRegistry& r = Registry();
      MutexLock lock(r.mu);
      r.queues.erase(queue->tid());
    }
    queue->End();
    DropThreadWindows(queue->tid());
  }
};

thread_local QueueHolder t_queue;
thread_local int t_inSend = 0;

bool InRange(UINT message, UINT min, UINT max) {
  return (min == 0 && max == 0) || (message >= min && message <= max);
}

}  // namespace

std::shared_ptr<ThreadQueue> CurrentQueue() {
  if (!t_queue.queue) {
    auto queue = std::make_shared<ThreadQueue>(GetCurrentThreadId());
    QueueRegistry& r = Registry();
    MutexLock lock(r.mu);
    r.queues[queue->tid()] = queue;
    t_queue.queue = queue;
  }
  return t_queue.queue;
}

std::shared_ptr<ThreadQueue> FindQueue(DWORD tid) {
  QueueRegistry& r = Registry();
  MutexLock lock(r.mu);
  auto it = r.queues.find(tid);
  return it == r.queues.end() ? nullptr : it->second.lock();
}

bool ThreadQueue::Post(const MSG& msg) {
  {
    MutexLock lock(mu_);
    if (ended_) return false;
    posted_.push_back(msg);
  }
  cv_.NotifyAll();
  return true;
}

bool ThreadQueue::Send(std::shared_ptr<SentMessage> msg) {
  {
    MutexLock lock(mu_);
    if (!ended_) {
      sent_.push_back(std::move(msg));
      msg = nullptr;
    }
  }
  if (msg) return false;
  cv_.NotifyAll();
  return true;
}

void ThreadQueue::Quit(int code) {
  {
    MutexLock lock(mu_);
    quit_ = true;
    quitCode_ = code;
  }
  cv_.NotifyAll();
}

UINT_PTR ThreadQueue::SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  // The platform clamps tiny intervals; a zero interval would spin.
  elapse = std::max<UINT>(elapse, 10);
  {
    MutexLock lock(mu_);
    if (ended_) return 0;
    auto it = std::find_if(timers_.begin(), timers_.end(),
                           [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (hwnd == nullptr && (id == 0 || it == timers_.end())) {
      // A thread timer gets a fresh id unless it names one of ours.
      do {
        id = ++nextThreadTimer_;
      } while (id == 0);
      it = timers_.end();
    }
    Timer timer{hwnd, id, elapse, proc, Clock::now() + std::chrono::milliseconds(elapse)};
    if (it != timers_.end()) {
      *it = timer;
    } else {
      timers_.push_back(timer);
    }
  }
  cv_.NotifyAll();
  return hwnd == nullptr ? id : (id != 0 ? id : 1);
}

bool ThreadQueue::KillTimer(HWND hwnd, UINT_PTR id) {
  MutexLock lock(mu_);
  auto it = std::find_if(timers_.begin(), timers_.end(),
                         [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == timers_.end()) return false;
  timers_.erase(it);
  return true;
}

void ThreadQueue::ForgetWindow(HWND hwnd) {
  std::vector<std::shared_ptr<SentMessage>> orphans;
  {
    MutexLock lock(mu_);
    for (auto it = sent_.begin(); it != sent_.end();) {
      if ((*it)->hwnd == hwnd) {
        orphans.push_back(*it);
        it = sent_.erase(it);
      } else {
        ++it;
      }
    }
    posted_.erase(std::remove_if(posted_.begin(), posted_.end(),
                                 [&](const MSG& m) { return m.hwnd == hwnd; }),
                  posted_.end());
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(),
                                 [&](const Timer& t) { return t.hwnd == hwnd; }),
                  timers_.end());
  }
  for (auto& m : orphans) m->Complete(0);
}

void ThreadQueue::End() {
  std::deque<std::shared_ptr<SentMessage>> orphans;
  {
    MutexLock lock(mu_);
    ended_ = true;
    orphans.swap(sent_);
    posted_.clear();
    timers_.clear();
  }
  for (auto& m : orphans) m->Complete(0);
}

bool ThreadQueue::Hung() {
  MutexLock lock(mu_);
  return !ended_ && (!sent_.empty() || !posted_.empty()) && Clock::now() - lastLook_ > kHungAfter;
}

std::uint64_t ThreadQueue::BeginWait() {
  MutexLock lock(mu_);
  std::uint64_t token = nextToken_++;
  waiting_.insert(token);
  return token;
}

void ThreadQueue::Reply(std::uint64_t token, LRESULT result) {
  {
    MutexLock lock(mu_);
    if (!waiting_.count(token)) return;  // the sender gave up
    replies_[token] = result;
  }
  cv_.NotifyAll();
}

bool ThreadQueue::WaitReply(std::uint64_t token, bool block, Clock::time_point deadline,
                            LRESULT* result) {
  MutexLock lock(mu_);
  for (;;) {
    auto reply = replies_.find(token);
    if (reply != replies_.end()) {
      *result = reply->second;
      replies_.erase(reply);
      waiting_.erase(token);
      return true;
    }
    Clock::time_point now = Clock::now();
    lastLook_ = now;
    if (!block) {
      if (!sent_.empty()) {
        auto msg = sent_.front();
        sent_.pop_front();
        lock.Unlock();
        DeliverSent(msg);
        lock.Lock();
        continue;
      }
      MSG timer;
      if (TakeTimer(&timer, nullptr, 0, 0, true, now)) {
        lock.Unlock();
        DispatchMessageA(&timer);
        lock.Lock();
        continue;
      }
    }
    if (now >= deadline) {
      waiting_.erase(token);
      *result = 0;
      return false;
    }
    Clock::time_point wake = block ? deadline : std::min(deadline, NextDue());
    if (wake == Clock::time_point::max()) {
      cv_.Wait(lock);
    } else {
      cv_.WaitUntil(lock, wake);
    }
  }
}

bool ThreadQueue::TakeTimer(MSG* out, const std::set<HWND>* windows, UINT min, UINT max,
                            bool remove, Clock::time_point now) {
  if (!InRange(WM_TIMER, min, max)) return false;
  Timer* best = nullptr;
  for (Timer& t : timers_) {
    if (t.due > now) continue;
    if (windows && !windows->count(t.hwnd)) continue;
    if (!best || t.due < best->due) best = &t;
  }
  if (!best) return false;
  *out = MSG{best->hwnd, WM_TIMER, best->id, reinterpret_cast<LPARAM>(best->proc), GetTickCount(), {}};
  // A timer that fell behind fires once, then keeps its rhythm from now.
  if (remove) best->due = now + std::chrono::milliseconds(best->interval);
  return true;
}

Clock::time_point ThreadQueue::NextDue() {
  Clock::time_point due = Clock::time_point::max();
  for (const Timer& t : timers_) due = std::min(due, t.due);
  return due;
}

bool ThreadQueue::Get(MSG* out, HWND hwnd, UINT min, UINT max, bool remove, bool wait) {
  // hwnd (HWND)-1 asks for thread messages only; another window narrows to
  // it and its children, collected before the queue is locked.
  const bool threadOnly = hwnd == reinterpret_cast<HWND>(-1);
  std::set<HWND> windows;
  const std::set<HWND>* filter = nullptr;
  if (threadOnly) {
    windows.insert(nullptr);
    filter = &windows;
  } else if (hwnd) {
    windows = WindowAndDescendants(hwnd);
    filter = &windows;
  }
  MutexLock lock(mu_);
  for (;;) {
    Clock::time_point now = Clock::now();
    lastLook_ = now;
    // Sent messages come first and never leave the loop.
    if (!sent_.empty()) {
      auto msg = sent_.front();
      sent_.pop_front();
      lock.Unlock();
      DeliverSent(msg);
      lock.Lock();
      continue;
    }
    for (auto it = posted_.begin(); it != posted_.end(); ++it) {
      if (filter && !filter->count(it->hwnd)) continue;
      if (!InRange(it->message, min, max)) continue;
      *out = *it;
      if (remove) posted_.erase(it);
      return true;
    }
    if (quit_ && InRange(WM_QUIT, min, max)) {
      *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(quitCode_), 0, GetTickCount(), {}};
      if (remove) quit_ = false;
      return true;
    }
    if (TakeTimer(out, filter, min, max, remove, now)) return true;
    if (!wait) return false;
    Clock::time_point due = NextDue();
    if (due == Clock::time_point::max()) {
      cv_.Wait(lock);
    } else {
      cv_.WaitUntil(lock, due);
    }
  }
}

void DeliverSent(const std::shared_ptr<SentMessage>& msg) {
  LRESULT result = 0;
  if (WNDPROC proc = LocalWindowProc(msg->hwnd)) {
    ++t_inSend;
    RunCallWndProcHooks(CWPSTRUCT{msg->lParam, msg->wParam, msg->message, msg->hwnd});
    result = proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
    --t_inSend;
  }
  msg->Complete(result);
}

LRESULT SendToQueue(const std::shared_ptr<ThreadQueue>& target, std::shared_ptr<SentMessage> msg,
                    UINT flags, Clock::time_point deadline, bool* timedOut) {
  if (timedOut) *timedOut = false;
  if ((flags & SMTO_ABORTIFHUNG) && target->Hung()) {
    if (timedOut) *timedOut = true;
    return 0;
  }
  std::shared_ptr<ThreadQueue> me = CurrentQueue();
  std::uint64_t token = me->BeginWait();
  std::weak_ptr<ThreadQueue> sender = me;
  msg->complete = [sender, token](LRESULT result) {
    if (auto q = sender.lock()) q->Reply(token, result);
  };
  if (!target->Send(msg)) {
    LRESULT ignored;
    me->WaitReply(token, true, Clock::now(), &ignored);  // drops the token
    return 0;
  }
  LRESULT result = 0;
  if (!me->WaitReply(token, flags & SMTO_BLOCK, deadline, &result) && timedOut) *timedOut = true;
  return result;
}

}  // namespace vantrel::win

using vantrel::win::CurrentQueue;
using vantrel::win::FindQueue;

DWORD GetCurrentThreadId() { return static_cast<DWORD>(syscall(SYS_gettid)); }
DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

BOOL InSendMessage() { return vantrel::win::t_inSend > 0; }

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
  if (!msg) return -1;
  if (hwnd && hwnd != reinterpret_cast<HWND>(-1) && !vantrel::win::IsLocalWindow(hwnd)) return -1;
  CurrentQueue()->Get(msg, hwnd, filterMin, filterMax, true, true);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT remove) {
  if (!msg) return FALSE;
  return CurrentQueue()->Get(msg, hwnd, filterMin, filterMax, (remove & PM_REMOVE) != 0, false);
}

BOOL TranslateMessage(const MSG* msg) {
  if (!msg || msg->message != WM_KEYDOWN) return FALSE;
  WPARAM key = msg->wParam;
  if (key >= 'A' && key <= 'Z') key = key - 'A' + 'a';
  if (key < 0x20 || key > 0x7E) return FALSE;
  return PostMessageA(msg->hwnd, WM_CHAR, key, msg->lParam);
}

LRESULT DispatchMessageA(const MSG* msg) {
  if (!msg) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
    proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
    return 0;
  }
  WNDPROC proc = vantrel::win::LocalWindowProc(msg->hwnd);
  return proc ? proc(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

BOOL PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto queue = FindQueue(threadId);
  return queue && queue->Post(MSG{nullptr, msg, wParam, lParam, GetTickCount(), {}});
}

void PostQuitMessage(int exitCode) { CurrentQueue()->Quit(exitCode); }

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
  if (!hwnd) return CurrentQueue()->SetTimer(nullptr, id, elapseMs, proc);
  auto queue = vantrel::win::LocalWindowQueue(hwnd);
  return queue ? queue->SetTimer(hwnd, id, elapseMs, proc) : 0;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  if (!hwnd) return CurrentQueue()->KillTimer(nullptr, id);
  auto queue = vantrel::win::LocalWindowQueue(hwnd);
  return queue && queue->KillTimer(hwnd, id);
}
