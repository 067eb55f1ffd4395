// zelhookinst: plays the outside component that installs zelhook. It loads
// the module with LoadLibrary, finds InstallHook by its ordinal (or by name),
// calls it and prints the handle; then it keeps the hook alive by running,
// pumping its messages, until standard input closes or SIGTERM, SIGINT or
// SIGHUP arrives. The hook ends with this process.
//
//   zelhookinst [module]      (default "zelhook": found beside the
//                              platform libraries)
//
// Output: "hook <handle>" on success; exit status 1 when the module cannot
// be loaded, has no InstallHook, or InstallHook fails.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "platform/base/LastError.h"
#include "platform/win/Hook.h"
#include "platform/win/Module.h"

namespace {

using InstallHookFn = HHOOK (*)();

// Both watchers end the message loop the same way.
void Quit(DWORD mainThread) { PostThreadMessageA(mainThread, WM_QUIT, 0, 0); }

}  // namespace

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "zelhook";

  // The signals are taken by one thread; every other thread (the platform's
  // included) is started after this and inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  HMODULE module = LoadLibraryA(name);
  if (!module) {
    std::fprintf(stderr, "zelhookinst: cannot load %s: %s\n", name, vantrel::win::LastLoadError().c_str());
    return 1;
  }
  auto install = reinterpret_cast<InstallHookFn>(GetProcAddress(module, MAKEINTRESOURCEA(2)));
  if (!install) install = reinterpret_cast<InstallHookFn>(GetProcAddress(module, "InstallHook"));
  if (!install) {
    std::fprintf(stderr, "zelhookinst: %s has no InstallHook\n", name);
    return 1;
  }

  // The queue exists before anyone may post WM_QUIT to it.
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  DWORD mainThread = GetCurrentThreadId();

  HHOOK hook = install();
  if (!hook) {
    std::fprintf(stderr, "zelhookinst: InstallHook failed (error %u)\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  std::printf("hook %lu\n", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(hook)));
  std::fflush(stdout);

  std::thread([mainThread] {
    char buf[256];
    while (read(0, buf, sizeof buf) > 0) {
    }
    Quit(mainThread);
  }).detach();
  std::thread([mainThread, stop] {
    int sig = 0;
    sigwait(&stop, &sig);
    Quit(mainThread);
  }).detach();

  while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
  return 0;
}
