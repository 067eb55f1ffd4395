// One front end per user: a lock file in the runtime folder, held while
// the front end runs. Two front ends would both draw every box and menu.
#pragma once

#include <sys/types.h>

#include <string>

namespace zelfront {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // False with the reason in `error` (another front end's process, or a
  // folder that cannot be used).
  bool Take(const std::string& runtimeDir, std::string* error);

 private:
  int fd_ = -1;
};

}  // namespace zelfront
