#include "server/dispatch/LogonThrottle.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/base/SystemInfo.h"

namespace vantrel::server {

CLogonThrottle::CLogonThrottle(std::uint64_t first_step_ms, Clock clock, Sleep sleep)
    : first_step_ms_(first_step_ms),
      clock_(clock ? std::move(clock) : Clock([] { return GetTickCount64(); })),
      sleep_(sleep ? std::move(sleep)
                   : Sleep([](std::uint64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); })) {}

std::uint64_t CLogonThrottle::Failed(const std::string& peer) {
  if (first_step_ms_ == 0) return 0;
  const std::uint64_t now = clock_();
  MutexLock l(lock_);
  if (streaks_.size() >= kMaxAddresses && !streaks_.count(peer)) {
    for (auto it = streaks_.begin(); it != streaks_.end();)
      it = now - it->second.last >= kQuietMs ? streaks_.erase(it) : std::next(it);
    // Still full: the address quiet for longest makes room.
    if (streaks_.size() >= kMaxAddresses)
      streaks_.erase(std::min_element(streaks_.begin(), streaks_.end(),
                                      [](auto& a, auto& b) { return a.second.last < b.second.last; }));
  }
  Streak& s = streaks_[peer];
  if (s.failures > 0 && now - s.last >= kQuietMs) s.failures = 0;
  ++s.failures;
  s.last = now;
  // The first failure (a typing error) is answered at once.
  if (s.failures < 2) return 0;
  std::uint64_t delay = first_step_ms_;
  for (std::uint32_t i = 2; i < s.failures && delay < kMaxDelayMs; ++i) delay *= 2;
  return delay < kMaxDelayMs ? delay : kMaxDelayMs;
}

void CLogonThrottle::Succeeded(const std::string& peer) {
  MutexLock l(lock_);
  streaks_.erase(peer);
}

void CLogonThrottle::Wait(std::uint64_t ms) const {
  if (ms) sleep_(ms);
}

}  // namespace vantrel::server
