// A hook module for the hook tests, loaded at run time only. Its two hook
// procedures log every message they see into the module's shared section,
// where the installing process also leaves the hook handles they pass on
// with and a value for the other processes to read.
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "platform/win/Hook.h"
#include "platform/win/SharedSection.h"
#include "platform/win/hook_test_module.h"

namespace {

using vantrel::win::hooktest::kLogSize;
using vantrel::win::hooktest::Record;
using HookShared = vantrel::win::hooktest::Shared;

HookShared* Shared() {
  static HookShared* shared = VANTREL_MODULE_SHARED_SECTION(HookShared, "hooktest");
  return shared;
}

LRESULT Log(std::uint32_t which, int code, WPARAM wParam, LPARAM lParam) {
  HookShared* s = Shared();
  if (!s) return 0;
  if (code == HC_ACTION) {
    const auto* cwp = reinterpret_cast<const CWPSTRUCT*>(lParam);
    std::uint32_t i = s->next.fetch_add(1);
    if (i < kLogSize) {
      Record& r = s->log[i];
      r.pid = static_cast<std::int32_t>(getpid());
      r.which = which;
      r.message = cwp->message;
      r.magic = s->magic.load();
      r.sentHere = wParam != 0;
      r.done.store(1, std::memory_order_release);
    }
  }
  HHOOK self = reinterpret_cast<HHOOK>(static_cast<std::uintptr_t>(s->hooks[which].load()));
  return CallNextHookEx(self, code, wParam, lParam);
}

}  // namespace

extern "C" {

LRESULT CALLBACK FirstHookProc(int code, WPARAM wParam, LPARAM lParam) { return Log(0, code, wParam, lParam); }
LRESULT CALLBACK SecondHookProc(int code, WPARAM wParam, LPARAM lParam) { return Log(1, code, wParam, lParam); }

void* HookTestShared() { return Shared(); }

// Adds one to the counter of section `name` and returns the new value.
std::uint32_t BumpSection(const char* name) {
  auto* counter = VANTREL_MODULE_SHARED_SECTION(std::atomic<std::uint32_t>, name);
  return counter ? counter->fetch_add(1) + 1 : 0;
}

}  // extern "C"
