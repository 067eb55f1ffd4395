#include "platform/win/SharedSection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/RuntimeFolder.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {

namespace {

// A section file starts with a page naming its key, so two keys whose
// hashes meet are told apart; the data follows at kDataOffset.
constexpr std::size_t kDataOffset = 4096;
constexpr char kMagic[] = "vantrel-section 1\n";
constexpr std::size_t kMaxName = 64;

struct Mapping {
  void* data;
  std::size_t size;
};

struct Sections {
  Mutex mu;
  // (load base, loader's file name, name) -> mapping: repeated calls from a
  // module skip resolving its real path.
  std::map<std::tuple<std::uintptr_t, std::string, std::string>, Mapping> recent GUARDED_BY(mu);
  // (module path, name) -> this process's mapping. Mappings and their file
  // locks are kept for the life of the process: module code may hold
  // pointers into them after it was unloaded and loaded again.
  std::map<std::pair<std::string, std::string>, Mapping> mapped GUARDED_BY(mu);
};

Sections& TheSections() {
  static Sections* s = new Sections;
  return *s;
}

std::uint64_t Fnv1a(const std::string& s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

bool ValidName(const char* name) {
  std::size_t n = name ? std::strlen(name) : 0;
  if (n == 0 || n > kMaxName) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(name[i]) < 0x20 || name[i] == '/') return false;
  return true;
}

// Where `address` lives: the loader's name of its module and its load base
// (cheap: no system call), or false.
bool LoaderModule(const void* address, std::string* file, std::uintptr_t* base) {
  Dl_info info;
  struct link_map* map = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || !map ||
      !info.dli_fname)
    return false;
  // The main program has no name in its link map; the one it was started
  // with may be relative to a folder it has left.
  *file = map->l_name && *map->l_name ? info.dli_fname : "/proc/self/exe";
  *base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  return true;
}

std::string RealPath(const std::string& file) {
  char real[PATH_MAX];
  return realpath(file.c_str(), real) ? real : std::string();
}

// Opens (creating and zero-filling when nobody has it mapped) the section
// file and maps its data. The descriptor stays open with a shared lock.
void* MapSection(const std::string& dir, const std::string& key, std::size_t size) {
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016" PRIx64, Fnv1a(key));
  std::string base = dir + "/section-" + hash;
  int guard = open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (guard < 0) return nullptr;
  void* data = nullptr;
  int fd = -1;
  if (LockWithinBound(guard)) {
    fd = open(base.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    std::string header = std::string(kMagic) + key + "\n";
    bool ok = fd >= 0 && header.size() <= kDataOffset;
    if (ok && flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Nobody maps it: this process is the first, so the data starts as
      // zeros whatever an earlier generation of processes left there.
      ok = ftruncate(fd, 0) == 0 && ftruncate(fd, static_cast<off_t>(kDataOffset + size)) == 0 &&
           pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
    } else if (ok) {
      char buf[kDataOffset];
      ssize_t n = pread(fd, buf, header.size(), 0);
      struct stat st;
      ok = n == static_cast<ssize_t>(header.size()) && std::memcmp(buf, header.data(), header.size()) == 0 &&
           fstat(fd, &st) == 0;
      if (!ok) {
        std::fprintf(stderr, "win: shared section file %s belongs to another module\n", base.c_str());
      } else if (static_cast<std::size_t>(st.st_size) < kDataOffset + size) {
        // A larger request of a newer build grows it; the new bytes are zeros.
        ok = ftruncate(fd, static_cast<off_t>(kDataOffset + size)) == 0;
      }
    }
    // Held for the life of the process: the next first mapper is the one
    // that comes after every user ended.
    ok = ok && flock(fd, LOCK_SH) == 0;
    if (ok) {
      void* p = mmap(nullptr, kDataOffset + size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) data = static_cast<char*>(p) + kDataOffset;
    }
  }
  close(guard);
  if (!data && fd >= 0) close(fd);
  return data;
}

}  // namespace

void* ModuleSharedSection(const void* addressInModule, const char* name, std::size_t size) {
  if (!ValidName(name) || size == 0 || size > (std::size_t{1} << 30)) return nullptr;
  std::string file;
  std::uintptr_t base = 0;
  if (!LoaderModule(addressInModule, &file, &base)) return nullptr;
  Sections& s = TheSections();
  MutexLock lock(s.mu);
  auto quick = std::make_tuple(base, file, std::string(name));
  if (auto it = s.recent.find(quick); it != s.recent.end() && it->second.size >= size) return it->second.data;
  std::string module = RealPath(file);
  if (module.empty()) return nullptr;
  auto key = std::make_pair(module, std::string(name));
  auto it = s.mapped.find(key);
  void* data = nullptr;
  if (it != s.mapped.end() && it->second.size >= size) {
    data = it->second.data;
    size = it->second.size;
  } else {
    std::string dir = RuntimeDir();
    if (dir.empty()) return nullptr;
    data = MapSection(dir, module + '\n' + name, size);
    if (!data) return nullptr;
    s.mapped[key] = Mapping{data, size};
  }
  s.recent[quick] = Mapping{data, size};
  return data;
}

}  // namespace vantrel::win
