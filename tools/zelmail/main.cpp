// zelmail PROFILE: a mail client in its place. Logs on to PROFILE, loads
// the extensions registered with the client, waits for a front end to
// attach (a person with zelwin, or a test), and shows its Tools menu to it
// until the menu is cancelled or the last front end leaves; a chosen
// extension command runs in this process.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/mapi/MapiSession.h"
#include "platform/win/FrontEnd.h"
#include "platform/win/Menu.h"
#include "tools/zelmail/ExtensionHost.h"

namespace {

// Nobody to show the menu to: a tracked menu would pick nothing at once.
constexpr std::chrono::seconds kFrontEndWait{120};

bool WaitForFrontEnd() {
  vantrel::win::EnsureFrontEnds();
  std::printf("zelmail %d: waiting for a front end\n", static_cast<int>(getpid()));
  std::fflush(stdout);
  const auto deadline = std::chrono::steady_clock::now() + kFrontEndWait;
  while (!vantrel::win::FrontEndAttached()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zelmail PROFILE\n");
    return 2;
  }
  if (FAILED(MAPIInitialize(nullptr))) {
    std::fprintf(stderr, "zelmail: MAPI does not start\n");
    return 1;
  }
  LPMAPISESSION session = nullptr;
  HRESULT hr = MAPILogonEx(0, argv[1], const_cast<char*>(""), MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL,
                           &session);
  if (FAILED(hr)) {
    std::fprintf(stderr, "zelmail: cannot log on to %s (0x%08x)\n", argv[1], static_cast<unsigned>(hr));
    MAPIUninitialize();
    return 1;
  }
  HMENU tools = CreatePopupMenu();
  AppendMenuA(tools, MF_STRING, 134, "Services...");
  int rc = 0;
  {
    vantrel::mail::ExtensionHost host(tools, session);
    std::vector<std::string> why;
    host.LoadRegistered(&why);
    for (const std::string& w : why) std::fprintf(stderr, "zelmail: %s\n", w.c_str());
    if (!WaitForFrontEnd()) {
      std::fprintf(stderr, "zelmail: no front end attached within %lld s\n",
                   static_cast<long long>(kFrontEndWait.count()));
      rc = 1;
    }
    while (rc == 0) {
      UINT cmd = static_cast<UINT>(TrackPopupMenu(tools, TPM_RETURNCMD | TPM_NONOTIFY, 0, 0, 0, nullptr, nullptr));
      if (cmd == 0) break;
      if (cmd == 134) continue;  // the client's own services dialog is not part of this stand-in
      hr = host.DoCommand(cmd);
      std::printf("command %u: 0x%08x\n", cmd, static_cast<unsigned>(hr));
      std::fflush(stdout);
    }
  }
  DestroyMenu(tools);
  session->Logoff(0, 0, 0);
  session->Release();
  MAPIUninitialize();
  return rc;
}
