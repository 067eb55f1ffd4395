// What ZelServer needs to run as a Linux service: one server per home
// folder (a lock file that also tells where the running server's window
// is), the service manager's notifications, and `ZelServer --stop`.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/win/WinUser.h"

namespace vantrel::server {

// The lock of one home folder: "ZelServer.lock" in it, held with flock for
// the life of the process. Its text is "PID HWND\n" once the window exists.
class CHomeLock {
 public:
  CHomeLock() = default;
  ~CHomeLock();
  CHomeLock(const CHomeLock&) = delete;
  CHomeLock& operator=(const CHomeLock&) = delete;

  // False when another process holds it (`*holder` its pid, 0 if unknown)
  // or the file cannot be made (`*error` says why).
  bool Acquire(const std::string& home, pid_t* holder, std::string* error);
  // Records the server window for `ZelServer --stop` and the admin tools.
  void Publish(HWND window);

  static std::string PathIn(const std::string& home);

 private:
  int fd_ = -1;
};

// The running server of `home` as its lock file tells: its pid and window.
// False when no server holds the lock.
bool FindRunningServer(const std::string& home, pid_t* pid, HWND* window);

// A notification to the service manager ("READY=1", "STOPPING=1") on the
// datagram socket $NOTIFY_SOCKET names; nothing without one. False when a
// named socket cannot be reached.
bool NotifyServiceManager(const char* state);

}  // namespace vantrel::server
