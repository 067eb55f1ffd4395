// zelwin: a text front end for the window platform. Lists the windows of
// this user's processes, shows a dialog's controls and drives them the way a
// person would, over the front-end protocol (FrontEndProtocol.md).
//
// Exit status: 0 done, 1 the process refused the command, 2 usage,
// 3 the handle names no window (or its process cannot be reached).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "platform/win/FrontEndClient.h"
#include "platform/win/WindowPlatform.h"

namespace {

using vantrel::win::FrontEndClient;
namespace fe = vantrel::win::fe;

constexpr int kTimeoutMs = 10000;

int Usage() {
  std::fprintf(stderr,
               "usage: zelwin list\n"
               "       zelwin show HWND\n"
               "       zelwin click HWND ID\n"
               "       zelwin type HWND ID TEXT\n"
               "       zelwin dropdown HWND ID\n"
               "       zelwin pick HWND ID INDEX\n"
               "       zelwin dblclick HWND ID INDEX\n"
               "       zelwin expand HWND ID ITEM\n"
               "       zelwin treeselect HWND ID ITEM\n"
               "       zelwin close HWND\n"
               "       zelwin answer HWND ok|cancel|yes|no|abort|retry|ignore|NUMBER\n"
               "       zelwin tray [HWND UID click|dblclick|rclick|NUMBER]\n"
               "       zelwin menu [HWND ITEM]   (ITEM 0 cancels)\n"
               "       zelwin endsession PID [logoff]\n"
               "ID 0 names the window HWND itself.\n");
  return 2;
}

bool Handle(const char* s, HWND* out) {
  std::int64_t v = 0;
  if (!fe::ParseNumber(s, &v) || v <= 0) return false;
  *out = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(v));
  return true;
}

// Attaches to the process that owns `hwnd`; exit status on failure.
int AttachOwner(const char* handle, FrontEndClient* client) {
  HWND h = nullptr;
  if (!Handle(handle, &h)) {
    std::fprintf(stderr, "zelwin: %s is not a window handle\n", handle);
    return 2;
  }
  DWORD pid = 0;
  if (!GetWindowThreadProcessId(h, &pid) || pid == 0) {
    std::fprintf(stderr, "zelwin: no window %s\n", handle);
    return 3;
  }
  std::string error;
  if (!client->Attach(static_cast<pid_t>(pid), kTimeoutMs, &error)) {
    std::fprintf(stderr, "zelwin: %s\n", error.c_str());
    return 3;
  }
  return 0;
}

int Run(FrontEndClient& client, const std::string& cmd, const std::vector<std::string>& args) {
  std::string error;
  if (!client.Command(cmd, args, kTimeoutMs, &error)) {
    std::fprintf(stderr, "zelwin: %s: %s\n", cmd.c_str(), error.c_str());
    return error.rfind("no window", 0) == 0 ? 3 : 1;
  }
  return 0;
}

void PrintTree(const FrontEndClient& c, const std::string& parent, int depth) {
  for (const fe::Record* w : c.Windows()) {
    if (w->Get("parent") != parent) continue;
    std::printf("%*s%s %d %s \"%s\"%s\n", depth * 2, "", w->key.c_str(), static_cast<int>(c.pid()),
                w->Get("class").c_str(), w->Get("title").c_str(), w->Get("visible") == "1" ? "" : " (hidden)");
    PrintTree(c, w->key, depth + 1);
  }
}

int List() {
  for (pid_t pid : vantrel::win::LiveProcesses()) {
    FrontEndClient c;
    std::string error;
    if (!c.Attach(pid, kTimeoutMs, &error)) {
      std::fprintf(stderr, "zelwin: process %d: %s\n", static_cast<int>(pid), error.c_str());
      continue;
    }
    std::printf("process %d %s\n", static_cast<int>(pid), c.program().c_str());
    PrintTree(c, "0x0", 1);
  }
  return 0;
}

std::string Join(const std::vector<std::string>& a, size_t from) {
  std::string s;
  for (size_t i = from; i < a.size(); ++i) s += (i > from ? " | " : "") + a[i];
  return s;
}

void ShowOne(const fe::Record& w, int depth) {
  std::string pad(static_cast<size_t>(depth * 2), ' ');
  std::printf("%s%s id=%s class=%s kind=%s title=\"%s\" style=%s%s%s\n", pad.c_str(), w.key.c_str(), w.Get("id").c_str(),
              w.Get("class").c_str(), w.Get("kind", "window").c_str(), w.Get("title").c_str(), w.Get("style").c_str(),
              w.Get("enabled") == "1" ? "" : " disabled", w.Get("visible") == "1" ? "" : " hidden");
  std::string kind = w.Get("kind");
  if (kind == "button") std::printf("%s  check=%s\n", pad.c_str(), w.Get("check").c_str());
  if (kind == "edit" && w.Get("limit") != "0") std::printf("%s  limit=%s\n", pad.c_str(), w.Get("limit").c_str());
  int i = 0;
  for (const auto* item : w.All("item")) std::printf("%s  item %d: %s\n", pad.c_str(), i++, (*item)[1].c_str());
  if (kind == "combobox" || kind == "listbox") std::printf("%s  selected=%s\n", pad.c_str(), w.Get("selected").c_str());
  std::vector<std::string> heads;
  for (const auto* col : w.All("column")) heads.push_back((*col)[2]);
  if (!heads.empty()) std::printf("%s  columns: %s\n", pad.c_str(), Join(heads, 0).c_str());
  i = 0;
  for (const auto* row : w.All("row")) {
    std::printf("%s  row %d: %s  state=%s data=%s\n", pad.c_str(), i++, Join(*row, 3).c_str(), (*row)[1].c_str(),
                (*row)[2].c_str());
  }
  for (const auto* node : w.All("node")) {
    std::printf("%s  node %s parent=%s state=%s children=%s: %s\n", pad.c_str(), (*node)[1].c_str(), (*node)[2].c_str(),
                (*node)[3].c_str(), (*node)[4].c_str(), (*node)[5].c_str());
  }
  if (kind == "treeview") std::printf("%s  selection=%s\n", pad.c_str(), w.Get("treeselection").c_str());
  if (!w.Get("box").empty()) {
    std::printf("%s  message box: %s\n", pad.c_str(), w.Get("message").c_str());
    std::vector<std::string> buttons;
    for (const auto* b : w.All("button")) buttons.push_back((*b)[1]);
    std::printf("%s  buttons: %s\n", pad.c_str(), Join(buttons, 0).c_str());
  }
}

void ShowTree(const FrontEndClient& c, const std::string& key, int depth) {
  for (const fe::Record* w : c.Windows()) {
    if (w->key == key && depth == 0) ShowOne(*w, 0);
    if (w->Get("parent") == key) {
      ShowOne(*w, depth + 1);
      ShowTree(c, w->key, depth + 1);
    }
  }
}

int Show(const char* handle) {
  FrontEndClient c;
  if (int rc = AttachOwner(handle, &c)) return rc;
  HWND h = nullptr;
  Handle(handle, &h);
  std::string key = fe::Hex(reinterpret_cast<std::uintptr_t>(h));
  if (!c.records().count("window " + key)) {
    std::fprintf(stderr, "zelwin: no window %s\n", handle);
    return 3;
  }
  ShowTree(c, key, 0);
  return 0;
}

std::string ButtonValue(const std::string& name) {
  static const char* kNames[] = {"", "ok", "cancel", "abort", "retry", "ignore", "yes", "no"};
  for (int i = 1; i < 8; ++i) {
    if (strcasecmp(name.c_str(), kNames[i]) == 0) return std::to_string(i);
  }
  return name;
}

std::string MouseValue(const std::string& name) {
  if (name == "click") return "0x202";     // WM_LBUTTONUP
  if (name == "dblclick") return "0x203";  // WM_LBUTTONDBLCLK
  if (name == "rclick") return "0x205";    // WM_RBUTTONUP
  return name;
}

int TrayList() {
  for (pid_t pid : vantrel::win::LiveProcesses()) {
    FrontEndClient c;
    std::string error;
    if (!c.Attach(pid, kTimeoutMs, &error)) continue;
    for (const auto& [key, r] : c.records()) {
      if (r.kind != "tray") continue;
      std::printf("%s %s %d callback=%s \"%s\"\n", r.Get("hwnd").c_str(), r.Get("uid").c_str(), static_cast<int>(pid),
                  r.Get("callback").c_str(), r.Get("tip").c_str());
    }
  }
  return 0;
}

int MenuList() {
  for (pid_t pid : vantrel::win::LiveProcesses()) {
    FrontEndClient c;
    std::string error;
    if (!c.Attach(pid, kTimeoutMs, &error)) continue;
    for (const auto& [key, r] : c.records()) {
      if (r.kind != "menu") continue;
      std::printf("menu %s of %s (process %d)\n", r.key.c_str(), r.Get("owner").c_str(), static_cast<int>(pid));
      for (const auto* item : r.All("menuitem")) {
        std::int64_t flags = 0;
        fe::ParseNumber((*item)[2], &flags);
        int depth = std::atoi((*item)[3].c_str());
        if (flags & 0x800) {
          std::printf("%*s----\n", 2 + depth * 2, "");
        } else {
          std::printf("%*s%s %s%s%s\n", 2 + depth * 2, "", (*item)[1].c_str(), (*item)[4].c_str(),
                      (flags & 0x3) ? " (grayed)" : "", (flags & 0x8) ? " (checked)" : "");
        }
      }
    }
  }
  return 0;
}

int Menu(const char* owner, const std::string& item) {
  FrontEndClient c;
  if (int rc = AttachOwner(owner, &c)) return rc;
  HWND h = nullptr;
  Handle(owner, &h);
  std::string key = fe::Hex(reinterpret_cast<std::uintptr_t>(h));
  for (const auto& [k, r] : c.records()) {
    if (r.kind == "menu" && r.Get("owner") == key) return Run(c, "menu", {r.key, item});
  }
  std::fprintf(stderr, "zelwin: no menu is open for %s\n", owner);
  return 1;
}

// Asks process `pid` whether the session may end, the way logging out of
// the desktop does; waits as long as its windows ask their user (the
// connection's end stops the wait).
int EndSession(const std::string& pidText, bool logoff) {
  std::int64_t pid = 0;
  if (!fe::ParseNumber(pidText, &pid) || pid <= 0) return Usage();
  FrontEndClient c;
  std::string error;
  if (!c.Attach(static_cast<pid_t>(pid), kTimeoutMs, &error)) {
    std::fprintf(stderr, "zelwin: %s\n", error.c_str());
    return 3;
  }
  std::vector<std::string> reply;
  if (!c.Command("endsession", {logoff ? "1" : "0"}, -1, &error, &reply)) {
    std::fprintf(stderr, "zelwin: endsession: %s\n", error.c_str());
    return 1;
  }
  bool agreed = !reply.empty() && reply[0] == "1";
  std::printf("%s\n", agreed ? "agreed" : "refused");
  return agreed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1];
  std::vector<std::string> a(argv + 2, argv + argc);
  if (cmd == "list" && a.empty()) return List();
  if (cmd == "show" && a.size() == 1) return Show(argv[2]);
  if (cmd == "tray" && a.empty()) return TrayList();
  if (cmd == "menu" && a.empty()) return MenuList();
  if (cmd == "menu" && a.size() == 2) return Menu(argv[2], a[1]);
  if (cmd == "endsession" && (a.size() == 1 || (a.size() == 2 && a[1] == "logoff"))) {
    return EndSession(a[0], a.size() == 2);
  }
  struct Form {
    const char* name;
    size_t args;
  } forms[] = {{"click", 2}, {"type", 3}, {"dropdown", 2}, {"pick", 3}, {"dblclick", 3}, {"expand", 3},
               {"treeselect", 3}, {"close", 1}, {"answer", 2}, {"tray", 3}};
  for (const auto& f : forms) {
    if (cmd != f.name || a.size() != f.args) continue;
    FrontEndClient c;
    if (int rc = AttachOwner(argv[2], &c)) return rc;
    if (cmd == "answer") a[1] = ButtonValue(a[1]);
    if (cmd == "tray") a[2] = MouseValue(a[2]);
    return Run(c, cmd, a);
  }
  return Usage();
}
