// A child process for the cross-process tests, driven by its command line:
//   win_peer window CLASS TITLE   a window with a message loop; prints
//                                 "ready HWND" and one line per event
//   win_peer register NAME        waits for a line on stdin, then prints
//                                 RegisterWindowMessage(NAME)
//   win_peer as-nobody PATH       becomes nobody, connects to socket PATH as
//                                 a "peer" and prints "accepted" or "refused"
#include <grp.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ByteCoder.h"
#include "platform/win/WindowPlatform.h"
#include "platform/win/WinUser.h"

namespace {

UINT g_broadcast = 0;

// What a WM_COPYDATA answers: FNV-1a over dwData and the bytes, so the
// sender can check every byte arrived.
std::uint64_t Fingerprint(std::uint64_t dwData, const void* data, std::size_t size) {
  std::uint64_t h = 1469598103934665603ull;
  auto mix = [&](std::uint8_t b) { h = (h ^ b) * 1099511628211ull; };
  for (int i = 0; i < 8; ++i) mix(static_cast<std::uint8_t>(dwData >> (8 * i)));
  for (std::size_t i = 0; i < size; ++i) mix(static_cast<const std::uint8_t*>(data)[i]);
  return h;
}

LRESULT CALLBACK PeerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COPYDATA: {
      auto* cds = reinterpret_cast<COPYDATASTRUCT*>(lParam);
      std::printf("copydata %u\n", static_cast<unsigned>(cds->cbData));
      std::fflush(stdout);
      return static_cast<LRESULT>(Fingerprint(cds->dwData, cds->lpData, cds->cbData));
    }
    case WM_USER + 1:
      return static_cast<LRESULT>(wParam * 2) + lParam;
    case WM_USER + 2:  // sends back to the window in wParam while its sender waits
      return SendMessageA(reinterpret_cast<HWND>(wParam), WM_USER + 1, 10, 0) + 1;
    case WM_USER + 3:  // busy for lParam ms
      std::this_thread::sleep_for(std::chrono::milliseconds(lParam));
      return 7;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      if (msg == g_broadcast && g_broadcast != 0) {
        std::printf("broadcast %lu\n", static_cast<unsigned long>(wParam));
        std::fflush(stdout);
        return 1;
      }
      return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

int RunWindow(const char* cls, const char* title) {
  g_broadcast = RegisterWindowMessageA("Vantrel.Test.Broadcast");
  WNDCLASSA wc{};
  wc.lpfnWndProc = PeerProc;
  wc.lpszClassName = cls;
  RegisterClassA(&wc);
  HWND hwnd = CreateWindowExA(0, cls, title, WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                              nullptr, nullptr);
  if (!hwnd) return 2;
  std::printf("ready %lu\n", static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(hwnd)));
  std::fflush(stdout);
  MSG m;
  while (GetMessageA(&m, nullptr, 0, 0)) DispatchMessageA(&m);
  std::printf("quit\n");
  std::fflush(stdout);
  return 0;
}

int RunRegister(const char* name) {
  std::string line;
  std::getline(std::cin, line);
  std::printf("%u\n", RegisterWindowMessageA(name));
  return 0;
}

int RunAsNobody(const char* path) {
  // The socket is reached through a descriptor opened before the change of
  // user, so the folders above it (private to the test's user) are not in
  // the way: only the socket's own credentials check can refuse.
  int target = open(path, O_PATH | O_CLOEXEC);
  passwd* pw = getpwnam("nobody");
  if (target < 0 || !pw || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
      setuid(pw->pw_uid) != 0) {
    std::printf("cannot become nobody\n");
    return 2;
  }
  prctl(PR_SET_DUMPABLE, 1);  // so /proc/self stays ours after the change
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d", target);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::printf("cannot connect: %s\n", std::strerror(errno));
    return 2;
  }
  // The hello of a "peer" connection, as the platform writes it.
  std::vector<std::uint8_t> frame(4);
  const char hello[] = "VWIN\x01\x00peer";
  frame.insert(frame.end(), hello, hello + sizeof hello - 1);
  vantrel::StoreLe32(frame.data(), static_cast<std::uint32_t>(frame.size() - 4));
  if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0) {
    std::printf("refused\n");
    return 0;
  }
  std::uint8_t byte;
  std::printf(recv(fd, &byte, 1, 0) > 0 ? "accepted\n" : "refused\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "window" && argc == 4) return RunWindow(argv[2], argv[3]);
  if (mode == "register" && argc == 3) return RunRegister(argv[2]);
  if (mode == "as-nobody" && argc == 3) return RunAsNobody(argv[2]);
  std::fprintf(stderr, "usage: win_peer window CLASS TITLE | register NAME | as-nobody SOCKET\n");
  return 2;
}
