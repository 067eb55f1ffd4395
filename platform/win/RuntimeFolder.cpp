#include "platform/win/RuntimeFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <map>
#include <thread>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {

std::string RuntimeDir() {
  std::string dir;
  if (const char* env = std::getenv("ZEL_WIN_DIR"); env && *env) {
    dir = env;
  } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
    dir = std::string(xdg) + "/vantrel-win";
  } else {
    dir = "/tmp/vantrel-win-" + std::to_string(getuid());
  }
  // Parents are made as usual; the folder itself is private.
  for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
    mkdir(dir.substr(0, slash).c_str(), 0755);
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
  // Another user's folder, or one others may read or write, is never used:
  // its sockets would carry our messages to them. A search bit alone lets
  // nobody list or create anything.
  if (st.st_uid != getuid() || (st.st_mode & 066) != 0) {
    std::fprintf(stderr, "win: runtime folder %s refused (owner %u, mode %o)\n", dir.c_str(),
                 static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 0777));
    return {};
  }
  return dir;
}

bool LockWithinBound(int fd) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

FileLock::FileLock(const std::string& path) {
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ >= 0 && !LockWithinBound(fd_)) {
    std::fprintf(stderr, "win: %s stays locked\n", path.c_str());
    close(fd_);
    fd_ = -1;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) close(fd_);  // closing drops the lock
}

namespace {

// The counter file holds one 4-byte record per reserved block: the pid of
// the process that reserved it. Its size is therefore the counter.
std::string HandleFile() {
  std::string dir = RuntimeDir();
  return dir.empty() ? std::string() : dir + "/handles";
}

class HandleBlocks {
 public:
  std::uint32_t Next() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    if (next_ == end_ && !Reserve()) return 0;
    return next_++;
  }

 private:
  bool Reserve() REQUIRES(mu_) {
    std::string path = HandleFile();
    if (path.empty()) return false;
    FileLock lock(path);
    if (lock.fd() < 0) return false;
    struct stat st;
    if (fstat(lock.fd(), &st) != 0) return false;
    std::uint64_t block = static_cast<std::uint64_t>(st.st_size) / 4;
    std::uint64_t first = kFirstHandle + block * kHandleBlock;
    if (first + kHandleBlock > 0xFFFFFFFFull) return false;
    std::uint32_t pid = static_cast<std::uint32_t>(getpid());
    if (pwrite(lock.fd(), &pid, 4, static_cast<off_t>(block * 4)) != 4) return false;
    next_ = static_cast<std::uint32_t>(first);
    end_ = next_ + kHandleBlock;
    return true;
  }

  Mutex mu_;
  std::uint32_t next_ GUARDED_BY(mu_) = 0;
  std::uint32_t end_ GUARDED_BY(mu_) = 0;
};

}  // namespace

std::uint32_t NewHandle() {
  static HandleBlocks* blocks = new HandleBlocks;  // lives as long as the process
  return blocks->Next();
}

namespace {

// Owners of blocks already looked up: a block's owner never changes.
struct OwnerCache {
  Mutex mu;
  std::map<std::uint32_t, pid_t> byBlock GUARDED_BY(mu);
};

OwnerCache& Owners() {
  static OwnerCache* cache = new OwnerCache;  // lives as long as the process
  return *cache;
}

}  // namespace

pid_t HandleOwner(std::uint32_t handle) {
  if (handle < kFirstHandle) return 0;
  std::uint32_t block = (handle - kFirstHandle) / kHandleBlock;
  {
    OwnerCache& c = Owners();
    MutexLock lock(c.mu);
    auto it = c.byBlock.find(block);
    if (it != c.byBlock.end()) return it->second;
  }
  std::string path = HandleFile();
  if (path.empty()) return 0;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::uint32_t pid = 0;
  off_t at = static_cast<off_t>((handle - kFirstHandle) / kHandleBlock) * 4;
  // Records are written whole before the block is used, so no lock is needed.
  if (pread(fd, &pid, 4, at) != 4) pid = 0;
  close(fd);
  if (pid != 0) {
    OwnerCache& c = Owners();
    MutexLock lock(c.mu);
    c.byBlock[block] = static_cast<pid_t>(pid);
  }
  return static_cast<pid_t>(pid);
}

bool ProcessRunning(pid_t pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

}  // namespace vantrel::win
