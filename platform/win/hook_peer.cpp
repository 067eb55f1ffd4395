// The peer process of the hook tests: started with exec, it reads one
// command per line on standard input and answers one line on standard
// output. It links the window platform but not the hook module; it loads
// the module only when told to ("load").
//
//   load <path>            LoadLibrary of the hook module
//   install <proc> <slot>  SetWindowsHookExA with the module's <proc>; the
//                          handle goes into the module's shared slot
//   unhook <slot>          UnhookWindowsHookEx of the handle in the slot
//   magic <n>              writes n into the module's shared section
//   window                 creates this process's window on a GUI thread
//   send <msg>             sends <msg> to it from another thread
//   sendself <msg>         posts a request that makes the window's own
//                          thread send <msg> to it
//   mapped <text>          whether a mapping of this process names <text>
//   bump <name>            adds one to the module's section <name>
//   quit
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/win/Hook.h"
#include "platform/win/Module.h"
#include "platform/win/WindowPlatform.h"
#include "platform/win/hook_test_module.h"

namespace {

using vantrel::win::hooktest::Shared;

HMODULE gModule = nullptr;
HWND gWindow = nullptr;

// Posted to ask the window to send wParam to itself, from its own thread.
constexpr UINT kSendSelf = WM_APP + 1;
std::promise<void>* gSelfSent = nullptr;

LRESULT CALLBACK PeerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kSendSelf) {
    SendMessageA(hwnd, static_cast<UINT>(wParam), 0, 0);
    gSelfSent->set_value();
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// The window lives on its own thread, which pumps until the process ends.
HWND StartWindow() {
  std::promise<HWND> made;
  std::thread([&made] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = PeerProc;
    wc.lpszClassName = "HookPeer";
    RegisterClassA(&wc);
    HWND hwnd = CreateWindowExA(0, "HookPeer", "hook peer", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                nullptr, nullptr, nullptr);
    made.set_value(hwnd);
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
  }).detach();
  return made.get_future().get();
}

Shared* TheShared() {
  if (!gModule) return nullptr;
  auto get = reinterpret_cast<void* (*)()>(GetProcAddress(gModule, "HookTestShared"));
  return get ? static_cast<Shared*>(get()) : nullptr;
}

bool Mapped(const std::string& text) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.find(text) != std::string::npos) return true;
  return false;
}

std::string Run(const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  if (cmd == "load") {
    std::string path;
    in >> path;
    gModule = LoadLibraryA(path.c_str());
    return gModule ? "ok" : "fail " + std::to_string(GetLastError());
  }
  if (cmd == "install") {
    std::string proc;
    unsigned slot = 0;
    in >> proc >> slot;
    Shared* s = TheShared();
    auto fn = gModule ? reinterpret_cast<HOOKPROC>(GetProcAddress(gModule, proc.c_str())) : nullptr;
    if (!s || !fn || slot > 1) return "fail";
    HHOOK h = SetWindowsHookExA(WH_CALLWNDPROC, fn, gModule, 0);
    if (!h) return "fail";
    auto id = reinterpret_cast<std::uintptr_t>(h);
    s->hooks[slot] = static_cast<std::uint32_t>(id);
    return "ok " + std::to_string(id);
  }
  if (cmd == "unhook") {
    unsigned slot = 0;
    in >> slot;
    Shared* s = TheShared();
    if (!s || slot > 1) return "fail";
    auto h = reinterpret_cast<HHOOK>(static_cast<std::uintptr_t>(s->hooks[slot].load()));
    return UnhookWindowsHookEx(h) ? "ok" : "fail";
  }
  if (cmd == "magic") {
    std::uint32_t v = 0;
    in >> v;
    Shared* s = TheShared();
    if (!s) return "fail";
    s->magic = v;
    return "ok";
  }
  if (cmd == "window") {
    if (!gWindow) gWindow = StartWindow();
    return gWindow ? "ok " + std::to_string(reinterpret_cast<std::uintptr_t>(gWindow)) : "fail";
  }
  if (cmd == "send" || cmd == "sendself") {
    UINT msg = 0;
    in >> msg;
    if (!gWindow) return "fail";
    if (cmd == "send") {
      SendMessageA(gWindow, msg, 0, 0);
      return "ok";
    }
    std::promise<void> sent;
    gSelfSent = &sent;
    if (!PostMessageA(gWindow, kSendSelf, msg, 0)) return "fail";
    bool done = sent.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!done) std::_Exit(3);  // the window thread holds the promise
    return "ok";
  }
  if (cmd == "mapped") {
    std::string text;
    in >> text;
    return Mapped(text) ? "yes" : "no";
  }
  if (cmd == "bump") {
    std::string name;
    in >> name;
    auto bump = gModule ? reinterpret_cast<std::uint32_t (*)(const char*)>(GetProcAddress(gModule, "BumpSection"))
                        : nullptr;
    return bump ? "ok " + std::to_string(bump(name.c_str())) : "fail";
  }
  return "unknown";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") break;
    std::cout << Run(line) << std::endl;
  }
  return 0;
}
