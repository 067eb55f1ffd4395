// The per-user runtime folder and the files in it that every process of the
// user shares: the handle counter and the table of registered messages.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vantrel::win {

// Takes an exclusive flock on `fd` within five seconds: the files of the
// runtime folder are held for moments, and a process stopped while holding
// one must not stop every other process of the user. False on time-out or
// error.
bool LockWithinBound(int fd);

// Holds an exclusive flock on a file of the runtime folder for its scope.
// fd() is -1 when the file could not be opened or locked in time.
class FileLock {
 public:
  explicit FileLock(const std::string& path);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Handles are handed out in blocks of kHandleBlock from a counter file in
// the runtime folder; the file records the owning process of every block,
// so any process can tell whose a handle is. The first handle is
// kFirstHandle, so 0 and 0xFFFF (HWND_BROADCAST) never occur.
inline constexpr std::uint32_t kHandleBlock = 256;
inline constexpr std::uint32_t kFirstHandle = 0x10000;

// A fresh handle of this process; 0 when the runtime folder is unusable or
// the handle space is spent.
std::uint32_t NewHandle();

// The process that reserved `handle`'s block, or 0 if none did.
pid_t HandleOwner(std::uint32_t handle);

// True when `pid` names a running process (of any user).
bool ProcessRunning(pid_t pid);

}  // namespace vantrel::win
