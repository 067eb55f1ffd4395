#include "tools/zelfront/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zelfront {

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool InstanceLock::Take(const std::string& runtimeDir, std::string* error) {
  if (runtimeDir.empty()) {
    *error = "the window platform's runtime folder cannot be used";
    return false;
  }
  std::string path = runtimeDir + "/zelfront.lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    char buf[32] = {0};
    ssize_t n = ::pread(fd_, buf, sizeof buf - 1, 0);
    long pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
    *error = "another front end (process " + std::to_string(pid) + ") already shows the windows of this user";
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) < 0) {
    // The lock holds without the note.
  }
  return true;
}

}  // namespace zelfront
