#include "platform/win/HookTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/RuntimeFolder.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {

namespace {

constexpr char kHeader[] = "vantrel-hooks 1";

std::string OwnerPath(const std::string& dir, const std::string& token) {
  return dir + "/hook-owner-" + token + ".lock";
}

bool ValidToken(const std::string& token) {
  if (token.size() != 16) return false;
  for (char c : token)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// This process's liveness token: a lock file it holds until it ends.
struct Owner {
  Mutex mu;
  std::string token GUARDED_BY(mu);
  int fd GUARDED_BY(mu) = -1;
};

Owner& TheOwner() {
  static Owner* owner = [] {
    auto* o = new Owner;
    // A child made by fork without exec shares the lock's open file; it
    // drops its reference so the lock still ends with the installer. The
    // mutex is held across fork so the child never inherits it locked (the
    // analysis cannot follow a lock taken in one handler and released in
    // another).
    pthread_atfork([]() NO_THREAD_SAFETY_ANALYSIS { TheOwner().mu.lock(); },
                   []() NO_THREAD_SAFETY_ANALYSIS { TheOwner().mu.unlock(); },
                   []() NO_THREAD_SAFETY_ANALYSIS {
                     Owner& self = TheOwner();
                     if (self.fd >= 0) close(self.fd);
                     self.fd = -1;
                     self.token.clear();
                     self.mu.unlock();
                   });
    return o;
  }();
  return *owner;
}

}  // namespace

std::string FormatHookTable(const std::vector<HookEntry>& entries, std::uint32_t next) {
  std::string out = std::string(kHeader) + "\nnext " + std::to_string(next) + "\n";
  for (const HookEntry& e : entries) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "hook %" PRIu32 " %s %d %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRId64 " %s ",
                  e.id, e.owner.c_str(), static_cast<int>(e.pid), e.offset, e.dev, e.ino, e.mtimeNs,
                  e.symbol.empty() ? "-" : e.symbol.c_str());
    out += buf;
    out += e.path;
    out += '\n';
  }
  return out;
}

bool ParseHookTable(const std::string& text, std::vector<HookEntry>* out, std::uint32_t* next) {
  out->clear();
  *next = 1;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    if (kind == "next") {
      unsigned long long n = 0;
      if (fields >> n && n >= 1 && n <= 0xFFFFFFFFull) *next = static_cast<std::uint32_t>(n);
      continue;
    }
    if (kind != "hook") continue;
    HookEntry e;
    unsigned long long id = 0;
    long long pid = 0;
    if (!(fields >> id >> e.owner >> pid >> e.offset >> e.dev >> e.ino >> e.mtimeNs >> e.symbol)) continue;
    if (id == 0 || id > 0xFFFFFFFFull || !ValidToken(e.owner)) continue;
    if (e.symbol == "-") e.symbol.clear();
    fields.get();  // the one space before the path
    std::getline(fields, e.path);
    if (e.path.empty() || e.path[0] != '/') continue;
    e.id = static_cast<std::uint32_t>(id);
    e.pid = static_cast<pid_t>(pid);
    out->push_back(std::move(e));
  }
  return true;
}

HookTable::HookTable(std::string dir, int genFd, std::atomic<std::uint64_t>* gen)
    : dir_(std::move(dir)), genFd_(genFd), gen_(gen) {}

HookTable* HookTable::Get() {
  static HookTable* table = []() -> HookTable* {
    std::string dir = RuntimeDir();
    if (dir.empty()) return nullptr;
    int fd = open((dir + "/hooks.gen").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // Growing to 8 bytes never clears a counter another process has moved:
    // ftruncate to the current size changes nothing.
    struct stat st;
    if (fstat(fd, &st) != 0 || (st.st_size < 8 && ftruncate(fd, 8) != 0)) {
      close(fd);
      return nullptr;
    }
    void* p = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      close(fd);
      return nullptr;
    }
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    return new HookTable(dir, fd, static_cast<std::atomic<std::uint64_t>*>(p));
  }();
  return table;
}

int HookTable::LockFile() {
  int fd = open((dir_ + "/hooks.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (!LockWithinBound(fd)) {
    std::fprintf(stderr, "win: hook table of %s stays locked\n", dir_.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

void HookTable::UnlockFile(int fd) { close(fd); }

bool HookTable::Read(std::vector<HookEntry>* out, std::uint32_t* next) {
  out->clear();
  *next = 1;
  int fd = open((dir_ + "/hooks").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  if (n < 0) return false;
  if (!ParseHookTable(text, out, next)) {
    std::fprintf(stderr, "win: hook table %s/hooks is damaged; starting it afresh\n", dir_.c_str());
    out->clear();
  }
  return true;
}

bool HookTable::Write(const std::vector<HookEntry>& entries, std::uint32_t next) {
  std::string text = FormatHookTable(entries, next);
  std::string tmp = dir_ + "/hooks.tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), (dir_ + "/hooks").c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  gen_->fetch_add(1, std::memory_order_release);
  return true;
}

void HookTable::SweepOwners(const std::vector<HookEntry>& entries) {
  DIR* d = opendir(dir_.c_str());
  if (!d) return;
  constexpr char kPrefix[] = "hook-owner-";
  constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;
  while (dirent* ent = readdir(d)) {
    std::string name = ent->d_name;
    if (name.size() != kPrefixLen + 16 + 5 || name.compare(0, kPrefixLen, kPrefix) != 0 ||
        name.compare(kPrefixLen + 16, 5, ".lock") != 0)
      continue;
    std::string token = name.substr(kPrefixLen, 16);
    bool listed = false;
    for (const HookEntry& e : entries) listed = listed || e.owner == token;
    if (!listed && !OwnerAlive(token)) unlink((dir_ + "/" + name).c_str());
  }
  closedir(d);
}

std::uint32_t HookTable::Add(HookEntry entry) {
  int lock = LockFile();
  if (lock < 0) return 0;
  std::vector<HookEntry> entries;
  std::uint32_t next = 1;
  std::uint32_t id = 0;
  // Handles are never reused, and 0 is no handle.
  if (Read(&entries, &next) && next != 0xFFFFFFFFu) {
    SweepOwners(entries);
    entry.id = next;
    entries.push_back(std::move(entry));
    if (Write(entries, next + 1)) id = next;
  }
  UnlockFile(lock);
  return id;
}

bool HookTable::Remove(std::uint32_t id) {
  int lock = LockFile();
  if (lock < 0) return false;
  std::vector<HookEntry> entries;
  std::uint32_t next = 1;
  bool found = false;
  if (Read(&entries, &next)) {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->id == id) {
        entries.erase(it);
        found = Write(entries, next);
        break;
      }
    }
  }
  UnlockFile(lock);
  return found;
}

bool HookTable::Load(std::vector<HookEntry>* out, std::uint64_t* gen) {
  int lock = LockFile();
  if (lock < 0) return false;
  std::vector<HookEntry> entries;
  std::uint32_t next = 1;
  bool ok = Read(&entries, &next);
  if (ok) {
    out->clear();
    std::vector<std::string> dead;
    for (HookEntry& e : entries) {
      bool alive = true;
      for (const auto& d : dead) alive = alive && d != e.owner;
      if (alive && !OwnerAlive(e.owner)) {
        dead.push_back(e.owner);
        alive = false;
      }
      if (alive) out->push_back(std::move(e));
    }
    // A dead installer's lock file goes with its entries, under the table
    // lock, so a token is never probed after its file was removed.
    if (!dead.empty() && Write(*out, next)) {
      for (const auto& d : dead) unlink(OwnerPath(dir_, d).c_str());
    }
    *gen = gen_->load(std::memory_order_acquire);
  }
  UnlockFile(lock);
  return ok;
}

std::string HookTable::OwnToken(bool create) {
  HookTable* table = Get();
  if (!table) return {};
  Owner& owner = TheOwner();
  MutexLock lock(owner.mu);
  if (owner.fd >= 0 || !create) return owner.token;
  std::uint64_t r = 0;
  if (getrandom(&r, sizeof r, 0) != sizeof r) return {};
  char token[17];
  std::snprintf(token, sizeof token, "%016" PRIx64, r);
  // Locked before it appears under its name, so nobody ever finds the file
  // of a running process unlocked (and sweeps it away).
  std::string path = OwnerPath(table->dir_, token);
  std::string tmp = path + ".new";
  int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    close(fd);
    return {};
  }
  owner.fd = fd;
  owner.token = token;
  return owner.token;
}

bool HookTable::OwnerAlive(const std::string& token) {
  HookTable* table = Get();
  if (!table || !ValidToken(token)) return false;
  {
    Owner& owner = TheOwner();
    MutexLock lock(owner.mu);
    if (owner.fd >= 0 && owner.token == token) return true;
  }
  int fd = open(OwnerPath(table->dir_, token).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  // The lock is free only when no process holds the file's open description.
  bool alive = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return alive;
}

}  // namespace vantrel::win
