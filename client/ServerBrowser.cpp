#include "client/ServerBrowser.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <thread>

#include "platform/base/ThreadAnnotations.h"
#include "platform/win/MessageBox.h"
#include "platform/win/WNet.h"

namespace vantrel::client {
namespace {

constexpr DWORD kBlockSize = 16384;
constexpr size_t kMaxProbeThreads = 16;

// Walks one container; false (with the failed step in `step`) on an error.
bool EnumSub(NETRESOURCEA* container, std::vector<std::string>* out, const char** step) {
  HANDLE h = nullptr;
  if (WNetOpenEnum(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, container, &h) != 0) {
    *step = container ? "EnumSub" : "WNetOpenEnum";
    return false;
  }
  std::vector<NETRESOURCEA> block(kBlockSize / sizeof(NETRESOURCEA));
  bool ok = true;
  for (;;) {
    DWORD count = 0xFFFFFFFF;
    DWORD size = static_cast<DWORD>(block.size() * sizeof(NETRESOURCEA));
    DWORD r = WNetEnumResource(h, &count, block.data(), &size);
    if (r == static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) break;
    if (r != 0) {
      *step = "WNetEnumResource";
      ok = false;
      break;
    }
    for (DWORD i = 0; i < count && ok; ++i) {
      NETRESOURCEA& e = block[i];
      if (e.dwDisplayType == RESOURCEDISPLAYTYPE_SERVER && e.lpRemoteName) {
        std::string name = e.lpRemoteName;
        if (name.rfind("\\\\", 0) == 0) name.erase(0, 2);
        out->push_back(name);
      }
      if (e.dwUsage & RESOURCEUSAGE_CONTAINER) ok = EnumSub(&e, out, step);
    }
    if (!ok) break;
  }
  if (WNetCloseEnum(h) != 0 && ok) {
    *step = "WNetCloseEnum";
    ok = false;
  }
  return ok;
}

std::string Endpoint() {
  const char* e = std::getenv("ZEL_RPC_ENDPOINT");
  return e && *e ? e : "5002";
}

enum class Probe { kPending, kAnswered, kSilent };

// One probe run. Workers share it; the last owner frees it, so a worker
// that outlives the caller's wait writes into memory that is still there.
struct ProbeRun {
  std::vector<std::string> names;
  std::string port;
  std::chrono::steady_clock::time_point deadline;
  vantrel::Mutex mu;
  vantrel::CondVar cv;
  std::vector<Probe> results GUARDED_BY(mu);
  size_t next GUARDED_BY(mu) = 0;
  size_t running GUARDED_BY(mu) = 0;
};

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Connects to `name` on `port`, giving up at `deadline`.
Probe ProbeOne(const std::string& name, const std::string& port, std::chrono::steady_clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.c_str(), port.c_str(), &hints, &list) != 0) return Probe::kSilent;
  Probe result = Probe::kSilent;
  for (addrinfo* a = list; a && result == Probe::kSilent && RemainingMs(deadline) > 0; a = a->ai_next) {
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      if (errno == EAFNOSUPPORT) continue;  // an address family this machine lacks
      result = Probe::kAnswered;            // the probe cannot run here: offer the name
      break;
    }
    int r = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      int ready = 0;
      while ((ready = ::poll(&p, 1, RemainingMs(deadline))) < 0 && errno == EINTR) {
      }
      int error = 0;
      socklen_t len = sizeof error;
      r = (ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) ? 0 : -1;
    }
    if (r == 0) result = Probe::kAnswered;
    ::close(fd);
  }
  ::freeaddrinfo(list);
  return result;
}

// Every name has its answer, or no worker is left to give one.
bool Settled(ProbeRun& run) REQUIRES(run.mu) {
  return run.running == 0 ||
         std::none_of(run.results.begin(), run.results.end(), [](Probe p) { return p == Probe::kPending; });
}

void Work(const std::shared_ptr<ProbeRun>& run) {
  for (;;) {
    size_t i;
    {
      vantrel::MutexLock lock(run->mu);
      if (run->next >= run->names.size() || RemainingMs(run->deadline) == 0) {
        --run->running;
        run->cv.NotifyAll();
        return;
      }
      i = run->next++;
    }
    Probe p = ProbeOne(run->names[i], run->port, run->deadline);
    vantrel::MutexLock lock(run->mu);
    run->results[i] = p;
    run->cv.NotifyAll();
  }
}

// Probe threads of the process. A thread may still be resolving a name when
// its run's wait is over (the resolver has its own time-outs); it is joined
// by the next run once finished, and every one before the module unloads.
class ProbeThreads {
 public:
  ~ProbeThreads() {
    vantrel::MutexLock lock(mu_);
    for (Worker& w : workers_) w.thread.join();
  }

  void Start(const std::shared_ptr<ProbeRun>& run) {
    vantrel::MutexLock lock(mu_);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back({std::thread([run, finished] {
                          Work(run);
                          finished->store(true);
                        }),
                        finished});
  }

  void JoinFinished() {
    vantrel::MutexLock lock(mu_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (it->finished->load()) {
        it->thread.join();
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  vantrel::Mutex mu_;
  std::vector<Worker> workers_ GUARDED_BY(mu_);
};

ProbeThreads g_threads;

}  // namespace

std::vector<std::string> EnumComputers(HWND owner) {
  std::vector<std::string> names;
  const char* step = nullptr;
  if (!EnumSub(nullptr, &names, &step)) {
    std::string text = std::string("Problem in EnumComputers, Aktion = ") + step;
    MessageBox(owner, text.c_str(), "ZEL", MB_OK);
  }
  return names;
}

std::vector<std::string> ProbeServers(const std::vector<std::string>& names, std::chrono::milliseconds bound) {
  g_threads.JoinFinished();
  if (names.empty()) return {};
  auto run = std::make_shared<ProbeRun>();
  run->names = names;
  run->port = Endpoint();
  run->deadline = std::chrono::steady_clock::now() + bound;
  size_t threads = std::min(names.size(), kMaxProbeThreads);
  {
    vantrel::MutexLock lock(run->mu);
    run->results.assign(names.size(), Probe::kPending);
    run->running = threads;
  }
  for (size_t i = 0; i < threads; ++i) g_threads.Start(run);

  std::vector<std::string> answered;
  vantrel::MutexLock lock(run->mu);
  while (!Settled(*run) && run->cv.WaitUntil(lock, run->deadline)) {
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (run->results[i] == Probe::kAnswered) answered.push_back(names[i]);
  }
  return answered;
}

}  // namespace vantrel::client
