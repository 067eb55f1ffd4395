// The main thread's MAPI logon service. Every MAPI logon of a shared
// connection runs on the thread that initialised MAPI: a remote-call thread
// hands its LogonRequest to Send and waits; the main loop runs RunPending
// between its other duties. Later the server window's WM_USER+3 handler
// takes this place.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

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
  bool Send(LogonRequest& request);

  // Main thread: performs the waiting requests; when none waits, blocks
  // until one arrives, Wake is called or `until` passes.
  void RunPending(std::chrono::steady_clock::time_point until);
  // Ends a RunPending wait early (a signal, a stop request).
  void Wake();
  // Refuses new requests and answers the waiting ones with
  // MAPI_E_NO_SUPPORT, so no caller waits for a main loop that has left.
  void Stop();
  // How many requests wait for the main thread.
  size_t Waiting() {
    std::lock_guard l(lock_);
    return queue_.size();
  }
  // How many logons the service has performed.
  std::uint64_t Performed() {
    std::lock_guard l(lock_);
    return performed_;
  }

 private:
  struct Pending {
    LogonRequest* request;
    bool done = false;
  };

  std::mutex lock_;
  std::condition_variable arrived_;  // a request arrived or Wake
  std::condition_variable finished_;  // a request was performed
  std::deque<Pending*> queue_;        // guarded by lock_
  bool stopped_ = false;              // guarded by lock_
  bool woken_ = false;                // guarded by lock_
  std::uint64_t performed_ = 0;       // guarded by lock_
};

}  // namespace vantrel::server
