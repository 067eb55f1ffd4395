// Global hooks: the table is shared (HookTable.h); each process keeps an
// immutable chain built from it and swaps it when the table's generation
// moves. Readers take the chain under a reader lock only long enough to copy
// its pointer; no lock is held while a hook procedure runs.
#include "platform/win/Hook.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/base/LastError.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/win/HookTable.h"
#include "platform/win/WindowPlatform.h"

namespace vantrel::win {

namespace {

// How often a process with hooks looks whether their installers still run:
// an installer killed outright cannot tell anyone.
constexpr auto kOwnerPoll = std::chrono::milliseconds(100);

// A module this process loaded for a hook; unloaded when the last chain that
// uses it is gone (a thread still running an old chain keeps it).
struct LoadedModule {
  void* handle = nullptr;
  ~LoadedModule() {
    if (handle) dlclose(handle);
  }
};

struct ChainEntry {
  std::uint32_t id;
  HOOKPROC proc;
  std::string owner;
  std::shared_ptr<LoadedModule> module;
};

// Newest hook first. Never changed once published.
struct Chain {
  std::vector<ChainEntry> entries;
};

// The chain a hook procedure on this thread was called from, and that
// procedure's place in it, for CallNextHookEx; saved and restored around
// nested sends.
thread_local const Chain* tRunning = nullptr;
thread_local std::size_t tRunningIndex = 0;
// Set while this thread rebuilds: a module's initialiser that sends a
// message runs the chain being replaced instead of rebuilding again.
thread_local bool tRebuilding = false;

class HookRuntime {
 public:
  static HookRuntime& Get() {
    static HookRuntime* rt = new HookRuntime;  // never destroyed: hooks may run at exit
    return *rt;
  }

  const std::atomic<std::uint64_t>* generation() const { return gen_; }
  // True when the chain is built for `gen` and empty: the common case.
  bool NothingToDo(std::uint64_t gen) const {
    return gen == builtGen_.load(std::memory_order_acquire) && !hasHooks_.load(std::memory_order_relaxed);
  }

  std::shared_ptr<const Chain> Current(std::uint64_t gen) EXCLUDES(rebuildMu_, chainMu_) {
    if (gen != builtGen_.load(std::memory_order_acquire) && !tRebuilding) {
      tRebuilding = true;
      Rebuild();
      tRebuilding = false;
    }
    ReaderLock lock(chainMu_);
    return chain_;
  }

  // Starts the liveness poll if the chain has hooks of other processes.
  void Rebuild() EXCLUDES(rebuildMu_, chainMu_, watchMu_);

 private:
  HookRuntime() {
    HookTable* table = HookTable::Get();
    gen_ = table ? table->Generation() : nullptr;
  }

  std::shared_ptr<LoadedModule> LoadModule(const HookEntry& e) REQUIRES(rebuildMu_);
  HOOKPROC Resolve(const HookEntry& e, void* handle) REQUIRES(rebuildMu_);
  void ReportOnce(const std::string& key, const std::string& what) REQUIRES(rebuildMu_);
  void WatchOwners() EXCLUDES(watchMu_);

  const std::atomic<std::uint64_t>* gen_ = nullptr;
  std::atomic<std::uint64_t> builtGen_{0};
  std::atomic<bool> hasHooks_{false};

  // Serialises rebuilds; guards the module cache.
  Mutex rebuildMu_;
  std::map<std::string, std::weak_ptr<LoadedModule>> modules_ GUARDED_BY(rebuildMu_);
  std::set<std::string> reported_ GUARDED_BY(rebuildMu_);

  SharedMutex chainMu_ ACQUIRED_AFTER(rebuildMu_);
  std::shared_ptr<const Chain> chain_ GUARDED_BY(chainMu_) = std::make_shared<Chain>();

  // The installers of the current chain's hooks, polled by one thread.
  Mutex watchMu_ ACQUIRED_AFTER(rebuildMu_);
  CondVar watchCv_;
  std::vector<std::string> watched_ GUARDED_BY(watchMu_);
  std::uint64_t watchVersion_ GUARDED_BY(watchMu_) = 0;  // moves with every rebuild
  bool watching_ GUARDED_BY(watchMu_) = false;
};

void HookRuntime::ReportOnce(const std::string& key, const std::string& what) {
  if (reported_.insert(key).second) std::fprintf(stderr, "win: hook skipped: %s\n", what.c_str());
}

std::shared_ptr<LoadedModule> HookRuntime::LoadModule(const HookEntry& e) {
  struct stat st;
  if (stat(e.path.c_str(), &st) != 0 || static_cast<std::uint64_t>(st.st_dev) != e.dev ||
      static_cast<std::uint64_t>(st.st_ino) != e.ino ||
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec != e.mtimeNs) {
    ReportOnce(e.path + "#file", e.path + " is missing or changed since the hook was installed");
    return nullptr;
  }
  if (auto m = modules_[e.path].lock()) return m;
  void* handle = dlopen(e.path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* err = dlerror();
    ReportOnce(e.path + "#load", e.path + " cannot be loaded: " + (err ? err : "?"));
    return nullptr;
  }
  auto m = std::make_shared<LoadedModule>();
  m->handle = handle;
  modules_[e.path] = m;
  return m;
}

HOOKPROC HookRuntime::Resolve(const HookEntry& e, void* handle) {
  if (!e.symbol.empty()) {
    if (void* p = dlsym(handle, e.symbol.c_str())) return reinterpret_cast<HOOKPROC>(p);
  }
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return nullptr;
  return reinterpret_cast<HOOKPROC>(map->l_addr + e.offset);
}

void HookRuntime::Rebuild() {
  HookTable* table = HookTable::Get();
  if (!table) return;
  std::set<std::string> owners;
  {
    MutexLock lock(rebuildMu_);
    std::uint64_t gen = 0;
    std::vector<HookEntry> entries;
    if (!table->Load(&entries, &gen)) return;  // tried again on the next message
    if (gen == builtGen_.load(std::memory_order_acquire)) return;  // another thread was first
    auto chain = std::make_shared<Chain>();
    std::sort(entries.begin(), entries.end(),
              [](const HookEntry& a, const HookEntry& b) { return a.id > b.id; });
    for (const HookEntry& e : entries) {
      auto module = LoadModule(e);
      if (!module) continue;
      HOOKPROC proc = Resolve(e, module->handle);
      if (!proc) {
        ReportOnce(e.path + "#" + std::to_string(e.id), "procedure of hook " + std::to_string(e.id) +
                                                            " not found in " + e.path);
        continue;
      }
      chain->entries.push_back(ChainEntry{e.id, proc, e.owner, std::move(module)});
      owners.insert(e.owner);
    }
    bool any = !chain->entries.empty();
    {
      WriterLock w(chainMu_);
      chain_ = std::move(chain);
    }
    hasHooks_.store(any, std::memory_order_relaxed);
    builtGen_.store(gen, std::memory_order_release);
    for (auto it = modules_.begin(); it != modules_.end();) it = it->second.expired() ? modules_.erase(it) : ++it;
  }
  owners.erase(HookTable::OwnToken(/*create=*/false));
  MutexLock lock(watchMu_);
  watched_.assign(owners.begin(), owners.end());
  ++watchVersion_;
  if (!watched_.empty() && !watching_) {
    watching_ = true;
    std::thread([this] { WatchOwners(); }).detach();
  }
}

void HookRuntime::WatchOwners() {
  MutexLock lock(watchMu_);
  while (!watched_.empty()) {
    watchCv_.WaitFor(lock, kOwnerPoll);
    std::vector<std::string> owners = watched_;
    std::uint64_t version = watchVersion_;
    lock.Unlock();
    bool dead = false;
    for (const auto& o : owners) dead = dead || !HookTable::OwnerAlive(o);
    bool purged = false;
    if (dead) {
      // Purging bumps the generation; every process rebuilds on its next
      // sent message, this one included. A purge that failed is retried.
      std::vector<HookEntry> entries;
      std::uint64_t gen = 0;
      HookTable* table = HookTable::Get();
      purged = table && table->Load(&entries, &gen);
    }
    lock.Lock();
    // The next rebuild sets the owners again; until then nothing to watch
    // (unless a rebuild already did).
    if (purged && version == watchVersion_) watched_.clear();
  }
  watching_ = false;
}

LRESULT RunFrom(const Chain& chain, std::size_t index, int code, WPARAM wParam, LPARAM lParam) {
  if (index >= chain.entries.size()) return 0;
  const Chain* saved = tRunning;
  std::size_t savedIndex = tRunningIndex;
  tRunning = &chain;
  tRunningIndex = index;
  LRESULT r = chain.entries[index].proc(code, wParam, lParam);
  tRunning = saved;
  tRunningIndex = savedIndex;
  return r;
}

}  // namespace

void RunCallWndProcHooks(const CWPSTRUCT& message, bool sentByThisThread) {
  HookRuntime& rt = HookRuntime::Get();
  const std::atomic<std::uint64_t>* gen = rt.generation();
  if (!gen) return;
  std::uint64_t g = gen->load(std::memory_order_acquire);
  if (rt.NothingToDo(g)) return;
  std::shared_ptr<const Chain> chain = rt.Current(g);
  if (chain->entries.empty()) return;
  CWPSTRUCT copy = message;
  RunFrom(*chain, 0, HC_ACTION, sentByThisThread ? 1 : 0, reinterpret_cast<LPARAM>(&copy));
}

}  // namespace vantrel::win

using vantrel::win::Chain;
using vantrel::win::HookEntry;
using vantrel::win::HookRuntime;
using vantrel::win::HookTable;

HHOOK SetWindowsHookExA(int idHook, HOOKPROC procedure, HINSTANCE module, DWORD threadId) {
  auto refuse = [](DWORD code) -> HHOOK {
    SetLastError(code);
    return nullptr;
  };
  if (idHook != WH_CALLWNDPROC) return refuse(ERROR_INVALID_HOOK_FILTER);
  if (!procedure) return refuse(ERROR_INVALID_FILTER_PROC);
  if (threadId != 0) return refuse(static_cast<DWORD>(ERROR_INVALID_PARAMETER));  // thread hooks: not supported
  if (!module) return refuse(ERROR_HOOK_NEEDS_HMOD);
  HookTable* table = HookTable::Get();
  if (!table) return refuse(static_cast<DWORD>(ERROR_ACCESS_DENIED));
  Dl_info info;
  struct link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<const void*>(procedure), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) == 0 ||
      !map || !info.dli_fname || !map->l_name || !*map->l_name)
    return refuse(ERROR_HOOK_NEEDS_HMOD);  // not in a module other processes could load
  char real[PATH_MAX];
  struct stat st;
  if (!realpath(info.dli_fname, real) || std::string(real).find('\n') != std::string::npos ||
      stat(real, &st) != 0)
    return refuse(static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  HookEntry e;
  e.owner = HookTable::OwnToken();
  if (e.owner.empty()) return refuse(static_cast<DWORD>(ERROR_ACCESS_DENIED));
  e.pid = getpid();
  e.offset = reinterpret_cast<std::uintptr_t>(procedure) - map->l_addr;
  e.dev = st.st_dev;
  e.ino = st.st_ino;
  e.mtimeNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  if (info.dli_sname && info.dli_saddr == reinterpret_cast<void*>(procedure)) {
    std::string sym = info.dli_sname;
    if (sym.find_first_of(" \t\n") == std::string::npos) e.symbol = sym;
  }
  e.path = real;
  std::uint32_t id = table->Add(std::move(e));
  if (!id) return refuse(static_cast<DWORD>(ERROR_ACCESS_DENIED));
  return reinterpret_cast<HHOOK>(static_cast<std::uintptr_t>(id));
}

LRESULT CallNextHookEx(HHOOK hook, int code, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<const Chain> current;
  const Chain* chain = vantrel::win::tRunning;
  if (!chain) {
    HookRuntime& rt = HookRuntime::Get();
    if (!rt.generation()) return 0;
    current = rt.Current(rt.generation()->load(std::memory_order_acquire));
    chain = current.get();
  }
  auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hook));
  for (std::size_t i = 0; i < chain->entries.size(); ++i) {
    if (chain->entries[i].id != id) continue;
    // The handle of a hook that already ran in this pass would run it again,
    // and again, until the stack overflows: a module that keeps one handle
    // for all its installations (two installers of one module) passes the
    // newest. The pass goes on after the procedure that is running, as it
    // does on the home platform, where the handle is ignored.
    std::size_t next = i + 1;
    if (chain == vantrel::win::tRunning && i < vantrel::win::tRunningIndex) next = vantrel::win::tRunningIndex + 1;
    return vantrel::win::RunFrom(*chain, next, code, wParam, lParam);
  }
  return 0;
}

BOOL UnhookWindowsHookEx(HHOOK hook) {
  auto raw = reinterpret_cast<std::uintptr_t>(hook);
  HookTable* table = HookTable::Get();
  if (raw == 0 || raw > 0xFFFFFFFFu || !table || !table->Remove(static_cast<std::uint32_t>(raw))) {
    SetLastError(ERROR_INVALID_HOOK_HANDLE);
    return FALSE;
  }
  return TRUE;
}
