// A second hook module for zelhook's tests: it records every WM_CREATE it
// sees (process and title) into its shared section and passes the call on.
// Installed before zelhook, it sits after it in every chain, so it sees a
// window's WM_CREATE only if zelhook passed the call on.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/win/Hook.h"
#include "platform/win/Module.h"
#include "platform/win/SharedSection.h"

namespace {

struct Record {
  std::atomic<std::uint32_t> done;  // set last: the other fields are written
  std::int32_t pid;
  char title[64];  // cut; "" for a window without a title
};

constexpr std::uint32_t kLogSize = 1024;

struct RecorderShared {
  std::atomic<std::uint32_t> hook;
  std::atomic<std::uint32_t> next;
  Record log[kLogSize];
};

RecorderShared* Shared() {
  static RecorderShared* shared = VANTREL_MODULE_SHARED_SECTION(RecorderShared, "recorder");
  return shared;
}

}  // namespace

extern "C" {

LRESULT CALLBACK RecordCreate(int code, WPARAM wParam, LPARAM lParam) {
  RecorderShared* s = Shared();
  if (!s) return 0;
  const auto* cwp = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && cwp && cwp->message == WM_CREATE && cwp->lParam) {
    const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(cwp->lParam);
    std::uint32_t i = s->next.fetch_add(1);
    if (i < kLogSize) {
      Record& r = s->log[i];
      r.pid = static_cast<std::int32_t>(getpid());
      const char* title = cs->lpszName ? cs->lpszName : "";
      std::size_t n = std::min(std::strlen(title), sizeof r.title - 1);
      std::memcpy(r.title, title, n);
      r.title[n] = '\0';
      r.done.store(1, std::memory_order_release);
    }
  }
  HHOOK self = reinterpret_cast<HHOOK>(static_cast<std::uintptr_t>(s->hook.load()));
  return CallNextHookEx(self, code, wParam, lParam);
}

// Installs RecordCreate; the handle, or 0.
std::uint32_t RecorderInstall() {
  RecorderShared* s = Shared();
  if (!s) return 0;
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&RecordCreate), &self))
    return 0;
  HHOOK h = SetWindowsHookExA(WH_CALLWNDPROC, RecordCreate, self, 0);
  auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h));
  s->hook = id;
  return id;
}

// How many WM_CREATEs of process `pid` with window title `title` it saw.
std::uint32_t RecorderSeen(std::int32_t pid, const char* title) {
  RecorderShared* s = Shared();
  if (!s) return 0;
  std::uint32_t n = std::min(s->next.load(), kLogSize), seen = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const Record& r = s->log[i];
    if (r.done.load(std::memory_order_acquire) && r.pid == pid && std::strcmp(r.title, title) == 0) ++seen;
  }
  return seen;
}

}  // extern "C"
