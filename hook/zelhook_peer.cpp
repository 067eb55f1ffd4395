// The peer process of zelhook's tests: started with exec, it reads one
// command per line on standard input and answers one line on standard
// output. It links the window platform but never zelhook; zelhook reaches
// it only through the global hook.
//
//   load <path>                  LoadLibrary of the recording hook module
//   record                       installs its hook: "ok <handle>"
//   seen <pid> <title>           how many WM_CREATEs of <pid> titled
//                                <title> (rest of the line) it recorded
//   mapped <text>                whether a mapping of this process names
//                                <text>: "yes" or "no"
//   create <child|top> <null|text> [title]
//                                creates a window (a child of a fresh
//                                parent window, or a top-level one) titled
//                                with the rest of the line ("text") or with
//                                no title at all ("null"), then runs its
//                                queue until a marker posted after
//                                CreateWindowEx returned comes out, and
//                                answers "closed <a> early <b> stray <c>
//                                open <d>":
//                                  a  WM_CLOSEs the parent's procedure got
//                                  b  of those, how many came while
//                                     CreateWindowEx ran or not from the
//                                     queue (sent rather than posted)
//                                  c  WM_CLOSEs posted to no window
//                                  d  1 when the created window still exists
//                                     (0 also when CreateWindowEx failed)
//   quit
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/win/Module.h"
#include "platform/win/WinUser.h"

namespace {

constexpr auto kBound = std::chrono::seconds(10);
constexpr UINT kMarker = WM_APP + 7;

HMODULE gRecorder = nullptr;

// What the parent windows' procedure saw; one window thread, no locks.
bool gCreating = false;        // CreateWindowEx has not returned yet
bool gFromQueue = false;       // the message being dispatched came from the queue
int gClosed = 0;
int gEarly = 0;

LRESULT CALLBACK ParentProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CLOSE) {
    ++gClosed;
    if (gCreating || !gFromQueue) ++gEarly;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);  // WM_CLOSE destroys it
}

LRESULT CALLBACK PlainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void RegisterClasses() {
  WNDCLASSA wc{};
  wc.lpfnWndProc = ParentProc;
  wc.lpszClassName = "ZelHookPeerParent";
  RegisterClassA(&wc);
  wc.lpfnWndProc = PlainProc;
  wc.lpszClassName = "ZelHookPeerWindow";
  RegisterClassA(&wc);
}

std::string Create(const std::string& where, const std::string& kind, const std::string& title) {
  if ((where != "child" && where != "top") || (kind != "null" && kind != "text")) return "bad";
  gClosed = gEarly = 0;
  HWND parent = nullptr;
  if (where == "child") {
    parent = CreateWindowExA(0, "ZelHookPeerParent", "zelhook peer", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                             nullptr, nullptr, nullptr, nullptr);
    if (!parent) return "fail parent";
  }
  gCreating = true;
  HWND made = CreateWindowExA(0, "ZelHookPeerWindow", kind == "null" ? nullptr : title.c_str(),
                              parent ? WS_CHILD : WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, parent, nullptr,
                              nullptr, nullptr);
  gCreating = false;
  PostThreadMessageA(GetCurrentThreadId(), kMarker, 0, 0);

  int stray = 0;
  bool marked = false;
  auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!marked && std::chrono::steady_clock::now() < deadline) {
    MSG m;
    if (!PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      usleep(1000);
      continue;
    }
    if (!m.hwnd) {
      if (m.message == kMarker) marked = true;
      if (m.message == WM_CLOSE) ++stray;
      continue;
    }
    gFromQueue = true;
    DispatchMessageA(&m);
    gFromQueue = false;
  }
  if (!marked) return "fail marker";
  bool open = made && IsWindow(made);
  // Whatever is left goes before the next case.
  if (parent && IsWindow(parent)) DestroyWindow(parent);
  if (made && IsWindow(made)) DestroyWindow(made);
  std::ostringstream out;
  out << "closed " << gClosed << " early " << gEarly << " stray " << stray << " open " << (open ? 1 : 0);
  return out.str();
}

bool Mapped(const std::string& text) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// The rest of the line after one separating space.
std::string Rest(std::istringstream& in) {
  std::string rest;
  if (in.peek() == ' ') in.get();
  std::getline(in, rest);
  return rest;
}

std::string Run(const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  if (cmd == "load") {
    std::string path;
    in >> path;
    gRecorder = LoadLibraryA(path.c_str());
    return gRecorder ? "ok" : "fail " + std::to_string(GetLastError());
  }
  if (cmd == "record") {
    auto install = gRecorder ? reinterpret_cast<std::uint32_t (*)()>(GetProcAddress(gRecorder, "RecorderInstall"))
                             : nullptr;
    std::uint32_t id = install ? install() : 0;
    return id ? "ok " + std::to_string(id) : "fail";
  }
  if (cmd == "seen") {
    std::int32_t pid = 0;
    in >> pid;
    std::string title = Rest(in);
    auto seen = gRecorder ? reinterpret_cast<std::uint32_t (*)(std::int32_t, const char*)>(
                                GetProcAddress(gRecorder, "RecorderSeen"))
                          : nullptr;
    return seen ? std::to_string(seen(pid, title.c_str())) : "fail";
  }
  if (cmd == "mapped") {
    std::string text;
    in >> text;
    return Mapped(text) ? "yes" : "no";
  }
  if (cmd == "create") {
    std::string where, kind;
    in >> where >> kind;
    return Create(where, kind, Rest(in));
  }
  return "unknown";
}

}  // namespace

int main() {
  RegisterClasses();
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") break;
    std::cout << Run(line) << std::endl;
  }
  return 0;
}
