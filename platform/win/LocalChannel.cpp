#include "platform/win/LocalChannel.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "platform/base/ByteCoder.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/win/RuntimeFolder.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {
namespace {

constexpr char kHelloMagic[4] = {'V', 'W', 'I', 'N'};
constexpr char kAckMagic[4] = {'V', 'W', 'O', 'K'};
// How long a new connection may take to name its kind.
constexpr int kHelloTimeoutMs = 5000;

struct Listener {
  Mutex mu;
  bool started GUARDED_BY(mu) = false;
  std::string path GUARDED_BY(mu);
  std::map<std::string, ChannelHandler> handlers GUARDED_BY(mu);
};

Listener& TheListener() {
  static Listener* listener = new Listener;  // serves until the process ends
  return *listener;
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// The peer's credentials; false when they cannot be read.
bool PeerCredentials(int fd, ucred* cred) {
  socklen_t len = sizeof *cred;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) == 0 && len == sizeof *cred;
}

bool SameUser(int fd, const char* side) {
  ucred cred{};
  if (!PeerCredentials(fd, &cred)) {
    std::fprintf(stderr, "win: %s refused: peer credentials unreadable\n", side);
    return false;
  }
  if (cred.uid != getuid()) {
    std::fprintf(stderr, "win: %s refused: process %d runs as uid %u, not %u\n", side,
                 static_cast<int>(cred.pid), static_cast<unsigned>(cred.uid),
                 static_cast<unsigned>(getuid()));
    return false;
  }
  return true;
}

void SetReceiveTimeout(int fd, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void Serve(int fd) {
  if (!SameUser(fd, "connection")) {
    close(fd);
    return;
  }
  SetReceiveTimeout(fd, kHelloTimeoutMs);
  std::vector<std::uint8_t> hello;
  // A connect without a hello is a liveness probe: close quietly.
  if (!ReadFrame(fd, &hello, 256) || hello.size() < 6 ||
      std::memcmp(hello.data(), kHelloMagic, 4) != 0 || LoadLe16(hello.data() + 4) != kChannelVersion) {
    close(fd);
    return;
  }
  std::string kind(hello.begin() + 6, hello.end());
  ChannelHandler handler;
  {
    Listener& l = TheListener();
    MutexLock lock(l.mu);
    auto it = l.handlers.find(kind);
    if (it != l.handlers.end()) handler = it->second;
  }
  if (!handler) {
    close(fd);
    return;
  }
  std::vector<std::uint8_t> ack(kAckMagic, kAckMagic + 4);
  ack.resize(6);
  StoreLe16(ack.data() + 4, kChannelVersion);
  SetReceiveTimeout(fd, 0);
  if (!WriteFrame(fd, ack)) {
    close(fd);
    return;
  }
  handler(fd);
}

void AcceptLoop(int listenFd) {
  for (;;) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      std::fprintf(stderr, "win: listener stops: %s\n", std::strerror(errno));
      return;
    }
    std::thread(Serve, fd).detach();
  }
}

void RemoveOwnSocket() {
  Listener& l = TheListener();
  MutexLock lock(l.mu);
  if (!l.path.empty()) unlink(l.path.c_str());
}

bool ReadAll(int fd, std::uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t n) {
  auto* p = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool WriteFrame(int fd, const std::vector<std::uint8_t>& payload) {
  if (payload.size() > kMaxFrame) return false;
  std::vector<std::uint8_t> frame(4 + payload.size());
  StoreLe32(frame.data(), static_cast<std::uint32_t>(payload.size()));
  if (!payload.empty()) std::memcpy(frame.data() + 4, payload.data(), payload.size());
  return WriteAll(fd, frame.data(), frame.size());
}

bool ReadFrame(int fd, std::vector<std::uint8_t>* payload, std::uint32_t maxSize) {
  std::uint8_t header[4];
  if (!ReadAll(fd, header, 4)) return false;
  std::uint32_t size = LoadLe32(header);
  if (size > maxSize) return false;
  payload->resize(size);
  return ReadAll(fd, payload->data(), size);
}

std::string SocketPath(pid_t pid) {
  std::string dir = RuntimeDir();
  return dir.empty() ? std::string() : dir + "/" + std::to_string(pid) + ".sock";
}

bool StartListener() {
  Listener& l = TheListener();
  MutexLock lock(l.mu);
  if (l.started) return true;
  std::string path = SocketPath(getpid());
  sockaddr_un addr;
  if (path.empty() || !FillAddress(path + ".new", &addr)) return false;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // Bound under a temporary name and renamed once listening, so a socket
  // file that refuses connections is always a stale one.
  unlink(addr.sun_path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
      rename(addr.sun_path, path.c_str()) != 0) {
    std::fprintf(stderr, "win: cannot listen on %s: %s\n", path.c_str(), std::strerror(errno));
    unlink(addr.sun_path);
    close(fd);
    return false;
  }
  l.started = true;
  l.path = path;
  std::atexit(RemoveOwnSocket);
  std::thread(AcceptLoop, fd).detach();
  return true;
}

void RegisterChannel(const std::string& kind, ChannelHandler handler) {
  {
    Listener& l = TheListener();
    MutexLock lock(l.mu);
    l.handlers[kind] = std::move(handler);
  }
  StartListener();
}

namespace {

// Connects to `path` within `timeoutMs`; -1 on failure. `refused` tells a
// socket nobody listens on (stale) from other failures.
int ConnectSocket(const std::string& path, int timeoutMs, bool* refused) {
  *refused = false;
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT) *refused = errno == ECONNREFUSED;
    if (errno != EAGAIN && errno != EINPROGRESS) {
      close(fd);
      return -1;
    }
    // A full backlog: wait for room.
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&p, 1, timeoutMs) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 ||
        err != 0) {
      close(fd);
      return -1;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

int ConnectChannel(pid_t pid, const std::string& kind, int timeoutMs) {
  std::string path = SocketPath(pid);
  if (path.empty()) return -1;
  bool refused;
  int fd = ConnectSocket(path, timeoutMs, &refused);
  if (fd < 0) return -1;
  if (!SameUser(fd, "listener")) {
    close(fd);
    return -1;
  }
  std::vector<std::uint8_t> hello(kHelloMagic, kHelloMagic + 4);
  hello.resize(6);
  StoreLe16(hello.data() + 4, kChannelVersion);
  hello.insert(hello.end(), kind.begin(), kind.end());
  SetReceiveTimeout(fd, timeoutMs > 0 ? timeoutMs : 1);
  std::vector<std::uint8_t> ack;
  if (!WriteFrame(fd, hello) || !ReadFrame(fd, &ack, 64) || ack.size() < 6 ||
      std::memcmp(ack.data(), kAckMagic, 4) != 0) {
    close(fd);
    return -1;
  }
  SetReceiveTimeout(fd, 0);
  return fd;
}

std::vector<pid_t> LiveProcesses() {
  std::vector<pid_t> live;
  std::string dir = RuntimeDir();
  if (dir.empty()) return live;
  DIR* d = opendir(dir.c_str());
  if (!d) return live;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
  closedir(d);
  for (const std::string& name : names) {
    const std::string suffix = ".sock";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
      continue;
    }
    char* end = nullptr;
    long pid = std::strtol(name.c_str(), &end, 10);
    if (pid <= 0 || end != name.c_str() + name.size() - suffix.size()) continue;
    std::string path = dir + "/" + name;
    if (pid == getpid()) {
      live.push_back(static_cast<pid_t>(pid));
      continue;
    }
    bool refused = false;
    int fd = ProcessRunning(static_cast<pid_t>(pid)) ? ConnectSocket(path, 1000, &refused) : -1;
    if (fd >= 0) {
      bool ours = SameUser(fd, "listener");
      close(fd);
      if (ours) live.push_back(static_cast<pid_t>(pid));
      continue;
    }
    // A dead process's socket, or one nobody listens on any more.
    if (!ProcessRunning(static_cast<pid_t>(pid)) || refused) unlink(path.c_str());
  }
  return live;
}

}  // namespace vantrel::win
