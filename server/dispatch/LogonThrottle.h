// Slows down guessing: consecutive failed logons from one peer address wait
// before their answer, longer with every failure (first step, then twice
// that, ... at most 5 s). A success from the address, or a quiet minute,
// starts it over. Addresses are counted apart, so one address guessing
// does not slow another; programs sharing one address share its count.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/base/ThreadAnnotations.h"

namespace vantrel::server {

class CLogonThrottle {
 public:
  using Clock = std::function<std::uint64_t()>;          // milliseconds
  using Sleep = std::function<void(std::uint64_t ms)>;  // waits on the calling thread

  static constexpr std::uint64_t kMaxDelayMs = 5000;
  static constexpr std::uint64_t kQuietMs = 60000;
  static constexpr std::size_t kMaxAddresses = 4096;  // addresses remembered at most

  // A first step of 0 turns the delay off.
  explicit CLogonThrottle(std::uint64_t first_step_ms, Clock clock = {}, Sleep sleep = {});

  // Counts a failed logon from `peer` and returns how long its answer waits.
  std::uint64_t Failed(const std::string& peer) EXCLUDES(lock_);
  void Succeeded(const std::string& peer) EXCLUDES(lock_);
  // Waits `ms`; the caller holds no lock.
  void Wait(std::uint64_t ms) const;

 private:
  struct Streak {
    std::uint32_t failures = 0;
    std::uint64_t last = 0;  // clock of the last failure
  };

  const std::uint64_t first_step_ms_;
  const Clock clock_;
  const Sleep sleep_;
  Mutex lock_;
  std::map<std::string, Streak> streaks_ GUARDED_BY(lock_);
};

}  // namespace vantrel::server
