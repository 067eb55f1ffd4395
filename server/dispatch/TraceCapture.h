// Test support: a trace monitor that collects the lines sent to it while it
// is attached (from construction to destruction). The registry's log lines
// reach it too.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/dispatch/ServerTrace.h"

namespace vantrel::server {

class CaptureSink : public TraceSink {
 public:
  CaptureSink() { SetTraceSink(this); }
  ~CaptureSink() override { SetTraceSink(nullptr); }
  void Send(std::string_view line) override {
    std::lock_guard l(mu_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> Take() {
    std::lock_guard l(mu_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

}  // namespace vantrel::server
