// The hook runs inside every GUI process of the user, on the thread of each
// sent message, so it keeps no state of its own: the one value it needs, the
// handle to pass on, lives in the module's shared section where every
// process that maps the module reads the same four bytes.
#include "hook/ZelHook.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/win/Module.h"
#include "platform/win/SharedSection.h"

namespace {

// Handles fit in 32 bits and are the same number in every process.
struct HookShared {
  std::atomic<std::uint32_t> hook;
};
static_assert(sizeof(HookShared) == 4);

HookShared* Shared() {
  static HookShared* shared = VANTREL_MODULE_SHARED_SECTION(HookShared, "zelhook");
  return shared;
}

HHOOK SharedHook() {
  HookShared* s = Shared();
  std::uint32_t id = s ? s->hook.load(std::memory_order_acquire) : 0;
  return reinterpret_cast<HHOOK>(static_cast<std::uintptr_t>(id));
}

bool IsFreeBusyWindow(const CREATESTRUCTA& cs) {
  // A window made without a title, or with a resource number in its place,
  // has nothing to compare.
  if (!cs.lpszName || IS_INTRESOURCE(cs.lpszName)) return false;
  return std::strstr(cs.lpszName, kFreeBusyTitle) != nullptr;
}

}  // namespace

extern "C" {

LRESULT CALLBACK CallWndProc(int code, WPARAM wParam, LPARAM lParam) {
  const auto* cwp = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && cwp && cwp->message == WM_CREATE && cwp->lParam) {
    const auto* cs = reinterpret_cast<const CREATESTRUCTA*>(cwp->lParam);
    // Posted, so the window is closed after its creation completes. A
    // top-level window has no parent to ask; a post to a null window would
    // land in the creating thread's own queue as a stray WM_CLOSE.
    if (cs->hwndParent && IsFreeBusyWindow(*cs)) PostMessageA(cs->hwndParent, WM_CLOSE, 0, 0);
  }
  return CallNextHookEx(SharedHook(), code, wParam, lParam);
}

HHOOK WINAPI InstallHook() {
  // Without the shared section no other process could pass the call on, and
  // every hook installed before this one would stop there.
  HookShared* s = Shared();
  if (!s) return nullptr;
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&CallWndProc), &self))
    return nullptr;
  HHOOK hook = SetWindowsHookEx(WH_CALLWNDPROC, CallWndProc, self, 0);
  if (!hook) return nullptr;
  s->hook.store(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(hook)), std::memory_order_release);
  return hook;
}

}  // extern "C"
