// Finds every process of the user that listens in the window platform's
// runtime folder (a PID.sock there) and connects to it as a front end. The
// folder is looked at once a second; connecting runs on a short-lived
// thread of its own, so a stopped process never stalls the GUI.
#pragma once

#include <sys/types.h>

#include <QObject>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zelfront {

class ProcessWatcher : public QObject {
 public:
  // Called on the GUI thread with a connected "frontend" channel.
  using Attached = std::function<void(pid_t pid, int fd)>;

  ProcessWatcher(std::string runtimeDir, Attached attached);
  ~ProcessWatcher() override;

  void Start();
  // The process's link ended; it is connected again if it still listens.
  void Forget(pid_t pid);

 private:
  struct Attempt {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void Poll();
  std::vector<pid_t> Listening() const;

  const std::string dir_;
  Attached attached_;
  QTimer timer_;
  // Attached or being connected; touched on the GUI thread only.
  std::map<pid_t, bool> busy_;
  // A process that refused or did not answer is asked again only later.
  std::map<pid_t, std::chrono::steady_clock::time_point> retryAt_;
  std::vector<Attempt> attempts_;
};

}  // namespace zelfront
