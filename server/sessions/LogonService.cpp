#include "server/sessions/LogonService.h"

#include "platform/mapi/MapiSession.h"

namespace vantrel::server {

void PerformLogon(LogonRequest& request) {
  request.session = nullptr;
  request.result = MAPILogonEx(0, request.profile, request.password, request.flags, &request.session);
  if (request.result == MAPI_E_FAILONEPROVIDER && request.session) request.result = S_OK;
}

bool CLogonService::Send(LogonRequest& request) {
  Pending pending{&request};
  MutexLock l(lock_);
  if (stopped_) return false;
  queue_.push_back(&pending);
  arrived_.NotifyAll();
  // The main thread performs it, or Stop answers it.
  while (!pending.done) finished_.Wait(l);
  return true;
}

void CLogonService::RunPending(std::chrono::steady_clock::time_point until) {
  MutexLock l(lock_);
  while (queue_.empty() && !woken_ && !stopped_)
    if (!arrived_.WaitUntil(l, until)) break;
  woken_ = false;
  while (!queue_.empty()) {
    Pending* p = queue_.front();
    queue_.pop_front();
    l.Unlock();
    try {
      PerformLogon(*p->request);
    } catch (...) {
      p->request->result = MAPI_E_NO_SUPPORT;
    }
    l.Lock();
    ++performed_;
    p->done = true;
    finished_.NotifyAll();
  }
}

void CLogonService::Wake() {
  MutexLock l(lock_);
  woken_ = true;
  arrived_.NotifyAll();
}

void CLogonService::Stop() {
  MutexLock l(lock_);
  stopped_ = true;
  for (Pending* p : queue_) {
    p->request->session = nullptr;
    p->request->result = MAPI_E_NO_SUPPORT;
    p->done = true;
  }
  queue_.clear();
  finished_.NotifyAll();
  arrived_.NotifyAll();
}

}  // namespace vantrel::server
