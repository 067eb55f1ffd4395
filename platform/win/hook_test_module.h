// What the hook test module keeps in its shared section (see
// hook_test_module.cpp); the tests read it through HookTestShared().
#pragma once

#include <atomic>
#include <cstdint>

namespace vantrel::win::hooktest {

struct Record {
  std::atomic<std::uint32_t> done;  // set last: the other fields are written
  std::atomic<std::int32_t> pid;
  std::atomic<std::uint32_t> which;  // 0: FirstHookProc, 1: SecondHookProc
  std::atomic<std::uint32_t> message;
  std::atomic<std::uint32_t> magic;  // the shared value as this process saw it
  std::atomic<std::uint32_t> sentHere;  // the hook's wParam
};

inline constexpr std::uint32_t kLogSize = 16384;

struct Shared {
  std::atomic<std::uint32_t> magic;
  std::atomic<std::uint32_t> hooks[2];  // handles, set by the installers
  std::atomic<std::uint32_t> next;
  Record log[kLogSize];
};

}  // namespace vantrel::win::hooktest
