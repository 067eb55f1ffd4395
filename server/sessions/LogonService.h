// The main thread's MAPI logon service. Every MAPI logon of a shared
// connection runs on the thread that initialised MAPI: a remote-call thread
// hands its LogonRequest to Send and waits; the main loop runs RunPending
// between its other duties. Later the server window's WM_USER+3 handler
// takes this place.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiInterfaces.h"

namespace vantrel::server {

inline constexpr UINT kLogonMessage = 0x403;  // WM_USER+3

// The five-field block of one logon.
struct LogonRequest {
  LPSTR profile = nullptr;
  LPSTR password = nullptr;
  ULONG flags = 0;
  HRESULT result = S_OK;            // out
  LPMAPISESSION session = nullptr;  // out, one reference for the caller
};

// MAPILogonEx(0, profile, password, flags) for `request`, counting
// MAPI_E_FAILONEPROVIDER with a session as success.
void PerformLogon(LogonRequest& request);

class CLogonService {
 public:
  CLogonService() = default;
  CLogonService(const CLogonService&) = delete;
  CLogonService& operator=(const CLogonService&) = delete;

  // Any thread: has the main thread perform `request` and waits for it.
  // False (request untouched) once the service has stopped.
  bool Send(LogonRequest& request) EXCLUDES(lock_);

  // Main thread: performs the waiting requests; when none waits, blocks
  // until one arrives, Wake is called or `until` passes.
  void RunPending(std::chrono::steady_clock::time_point until) EXCLUDES(lock_);
  // Ends a RunPending wait early (a signal, a stop request).
  void Wake() EXCLUDES(lock_);
  // Refuses new requests and answers the waiting ones with
  // MAPI_E_NO_SUPPORT, so no caller waits for a main loop that has left.
  void Stop() EXCLUDES(lock_);
  // How many requests wait for the main thread.
  size_t Waiting() EXCLUDES(lock_) {
    MutexLock l(lock_);
    return queue_.size();
  }
  // How many logons the service has performed.
  std::uint64_t Performed() EXCLUDES(lock_) {
    MutexLock l(lock_);
    return performed_;
  }

 private:
  struct Pending {
    LogonRequest* request;
    bool done = false;  // guarded by lock_ (the service's)
  };

  // A leaf: never held while a logon runs, nor while another lock is taken.
  Mutex lock_;
  CondVar arrived_;   // a request arrived or Wake
  CondVar finished_;  // a request was performed
  std::deque<Pending*> queue_ GUARDED_BY(lock_);
  bool stopped_ GUARDED_BY(lock_) = false;
  bool woken_ GUARDED_BY(lock_) = false;
  std::uint64_t performed_ GUARDED_BY(lock_) = 0;
};

}  // namespace vantrel::server
