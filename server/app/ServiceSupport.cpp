#include "server/app/ServiceSupport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win/Window.h"

namespace vantrel::server {

namespace {

// The "PID HWND" text of a lock file, if it has one.
bool ReadLockText(int fd, pid_t* pid, HWND* window) {
  char text[64] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return false;
  long p = 0;
  unsigned long h = 0;
  if (std::sscanf(text, "%ld %lx", &p, &h) < 1 || p <= 0) return false;
  *pid = static_cast<pid_t>(p);
  *window = vantrel::win::HandleOf(static_cast<std::uint32_t>(h));
  return true;
}

}  // namespace

std::string CHomeLock::PathIn(const std::string& home) { return home + "/ZelServer.lock"; }

CHomeLock::~CHomeLock() {
  if (fd_ >= 0) close(fd_);  // the lock goes with the descriptor
}

bool CHomeLock::Acquire(const std::string& home, pid_t* holder, std::string* error) {
  *holder = 0;
  const std::string path = PathIn(home);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    HWND window = nullptr;
    ReadLockText(fd, holder, &window);
    close(fd);
    *error = e == EWOULDBLOCK ? std::string("locked") : path + ": " + std::strerror(e);
    return false;
  }
  fd_ = fd;
  char text[32];
  int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd_, 0) != 0 || pwrite(fd_, text, static_cast<size_t>(n), 0) != n) {
    // The lock itself holds; only --stop would not find the server.
  }
  return true;
}

void CHomeLock::Publish(HWND window) {
  if (fd_ < 0) return;
  char text[64];
  int n = std::snprintf(text, sizeof text, "%ld 0x%x\n", static_cast<long>(getpid()),
                        static_cast<unsigned>(vantrel::win::HandleValue(window)));
  if (ftruncate(fd_, 0) != 0 || pwrite(fd_, text, static_cast<size_t>(n), 0) != n) {
    // As above: the server runs; --stop falls back to FindWindow.
  }
}

bool FindRunningServer(const std::string& home, pid_t* pid, HWND* window) {
  *pid = 0;
  *window = nullptr;
  int fd = open(CHomeLock::PathIn(home).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A lock we can take is a lock nobody holds.
  bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  if (held) ReadLockText(fd, pid, window);
  close(fd);
  return held;
}

bool NotifyServiceManager(const char* state) {
  const char* socket_name = std::getenv("NOTIFY_SOCKET");
  if (!socket_name || !*socket_name) return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(socket_name);
  if (length >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socket_name, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // an abstract name
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  bool sent = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address), size) ==
              static_cast<ssize_t>(std::strlen(state));
  close(fd);
  return sent;
}

}  // namespace vantrel::server
