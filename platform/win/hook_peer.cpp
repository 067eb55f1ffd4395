// The peer process of the hook tests: started with exec, it reads one
// command per line on standard input and answers one line on standard
// output. It links the window platform but not the hook module; it loads
// the module only when told to ("load").
//
//   load <path>            dlopen the hook module
//   install <proc> <slot>  SetWindowsHookExA with the module's <proc>; the
//                          handle goes into the module's shared slot
//   unhook <slot>          UnhookWindowsHookEx of the handle in the slot
//   magic <n>              writes n into the module's shared section
//   send <msg>             sends message <msg> to this process's window
//   mapped <text>          whether a mapping of this process names <text>
//   bump <name>            adds one to the module's section <name>
//   quit
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "platform/win/Hook.h"
#include "platform/win/WindowPlatform.h"
#include "platform/win/hook_test_module.h"

namespace {

using vantrel::win::hooktest::Shared;

void* gModule = nullptr;

Shared* TheShared() {
  if (!gModule) return nullptr;
  auto get = reinterpret_cast<void* (*)()>(dlsym(gModule, "HookTestShared"));
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
    gModule = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    return gModule ? "ok" : std::string("fail ") + dlerror();
  }
  if (cmd == "install") {
    std::string proc;
    unsigned slot = 0;
    in >> proc >> slot;
    Shared* s = TheShared();
    auto fn = gModule ? reinterpret_cast<HOOKPROC>(dlsym(gModule, proc.c_str())) : nullptr;
    if (!s || !fn || slot > 1) return "fail";
    HHOOK h = SetWindowsHookExA(WH_CALLWNDPROC, fn, static_cast<HINSTANCE>(gModule), 0);
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
  if (cmd == "send") {
    UINT msg = 0;
    in >> msg;
    CWPSTRUCT cwp{0, 0, msg, nullptr};
    vantrel::win::RunCallWndProcHooks(cwp);
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
    auto bump = gModule ? reinterpret_cast<std::uint32_t (*)(const char*)>(dlsym(gModule, "BumpSection")) : nullptr;
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
