#include "tools/zelfront/ProcessWatcher.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/win/WindowPlatform.h"

namespace zelfront {

namespace {
constexpr int kConnectTimeoutMs = 2000;
constexpr auto kRetryAfter = std::chrono::seconds(5);

bool Running(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }
}  // namespace

ProcessWatcher::ProcessWatcher(std::string runtimeDir, Attached attached)
    : dir_(std::move(runtimeDir)), attached_(std::move(attached)) {
  timer_.setInterval(1000);
  QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
}

ProcessWatcher::~ProcessWatcher() {
  timer_.stop();
  // Each attempt ends within its connect bound.
  for (auto& a : attempts_) a.thread.join();
}

void ProcessWatcher::Start() {
  Poll();
  timer_.start();
}

void ProcessWatcher::Forget(pid_t pid) {
  busy_.erase(pid);
  retryAt_[pid] = std::chrono::steady_clock::now() + std::chrono::seconds(1);
}

std::vector<pid_t> ProcessWatcher::Listening() const {
  std::vector<pid_t> out;
  DIR* d = ::opendir(dir_.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    const std::string suffix = ".sock";
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name.c_str(), &end, 10);
    if (pid <= 0 || end != name.c_str() + name.size() - suffix.size()) continue;
    if (pid != ::getpid() && Running(static_cast<pid_t>(pid))) out.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(d);
  return out;
}

void ProcessWatcher::Poll() {
  for (auto it = attempts_.begin(); it != attempts_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = attempts_.erase(it);
    } else {
      ++it;
    }
  }
  const auto now = std::chrono::steady_clock::now();
  for (pid_t pid : Listening()) {
    if (busy_.count(pid)) continue;
    auto retry = retryAt_.find(pid);
    if (retry != retryAt_.end() && retry->second > now) continue;
    busy_[pid] = true;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([this, pid, done] {
      int fd = vantrel::win::ConnectChannel(pid, "frontend", kConnectTimeoutMs);
      // Queued to the GUI thread; dropped there if the watcher is gone.
      QMetaObject::invokeMethod(
          this,
          [this, pid, fd] {
            if (fd < 0) {
              busy_.erase(pid);
              retryAt_[pid] = std::chrono::steady_clock::now() + kRetryAfter;
              return;
            }
            attached_(pid, fd);
          },
          Qt::QueuedConnection);
      done->store(true);
    });
    attempts_.push_back({std::move(t), done});
  }
}

}  // namespace zelfront
