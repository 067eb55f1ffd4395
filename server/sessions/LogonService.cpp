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
  std::unique_lock l(lock_);
  if (stopped_) return false;
  queue_.push_back(&pending);
  arrived_.notify_all();
  finished_.wait(l, [&] { return pending.done; });
  return true;
}

void CLogonService::RunPending(std::chrono::steady_clock::time_point until) {
  std::unique_lock l(lock_);
  arrived_.wait_until(l, until, [&] { return !queue_.empty() || woken_ || stopped_; });
  woken_ = false;
  while (!queue_.empty()) {
    Pending* p = queue_.front();
    queue_.pop_front();
    l.unlock();
    try {
      PerformLogon(*p->request);
    } catch (...) {
      p->request->result = MAPI_E_NO_SUPPORT;
    }
    l.lock();
    ++performed_;
    p->done = true;
    finished_.notify_all();
  }
}

void CLogonService::Wake() {
  std::lock_guard l(lock_);
  woken_ = true;
  arrived_.notify_all();
}

void CLogonService::Stop() {
  std::lock_guard l(lock_);
  stopped_ = true;
  for (Pending* p : queue_) {
    p->request->session = nullptr;
    p->request->result = MAPI_E_NO_SUPPORT;
    p->done = true;
  }
  queue_.clear();
  finished_.notify_all();
  arrived_.notify_all();
}

}  // namespace vantrel::server
