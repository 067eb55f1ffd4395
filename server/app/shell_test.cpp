// The server shell driven the way people and service managers drive it:
// through its window's messages, a front end attached to the process, the
// signals and the service manager's notify socket.
#include "server/app/TarnixServerDlg.h"  // before <fcntl.h>: its LOCK_ macros

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/win/FrontEndClient.h"
#include "platform/win/Menu.h"
#include "platform/win/ShellApi.h"
#include "platform/win/Window.h"
#include "server/app/ServerApp.h"
#include "server/app/TarnixServerDlg.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using testsupport::Client;
using testsupport::Mailbox;
using win::FrontEndClient;

constexpr int kBoundMs = 20000;

std::string Hex(std::uint64_t v) { return win::fe::Hex(v); }

// The service manager's end of $NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  // The next datagram, or "" after `ms`.
  std::string Next(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buffer[512];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// A ZelServer process with its output in pipes.
class Server {
 public:
  Server(const std::vector<std::string>& args, const std::vector<std::pair<std::string, std::string>>& env) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(ZELSERVER_BIN)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(ZELSERVER_BIN, argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }
  // Reads standard output until the line that says the server listens.
  bool Listening() {
    std::string line;
    while (ReadLine(out_, &line))
      if (line.starts_with("ZelServer listening")) return true;
    return false;
  }
  // The exit status once the process ended within `ms`; -1 if it did not.
  int Wait(int ms = kBoundMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Running() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  // Standard error so far (all of it once the process has ended).
  std::string Errors() {
    std::string text;
    char buffer[4096];
    pollfd p{err_, POLLIN, 0};
    while (poll(&p, 1, 200) == 1) {
      ssize_t n = read(err_, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }
  pid_t pid() const { return pid_; }

 private:
  static bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, kBoundMs) == 1 && read(fd, &c, 1) == 1) {
      if (c == '\n') return true;
      line->push_back(c);
    }
    return false;
  }
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
};

// Environment of a server on its own port, in English.
std::vector<std::pair<std::string, std::string>> ServerEnv(const std::string& port, const std::string& notify = "") {
  return {{"ZEL_RPC_ENDPOINT", port}, {"LANG", "en_US.UTF-8"}, {"NOTIFY_SOCKET", notify}};
}

void ClearSettings() {
  RegDeleteTree(HKEY_LOCAL_MACHINE, "Software\\HOLLIN\\Brimwell");
  RegDeleteTree(HKEY_CURRENT_USER, "Software\\HOLLIN\\Brimwell");
}

void SetSetting(HKEY root, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(root, "Software\\HOLLIN\\Brimwell", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  if (name) RegSetValueEx(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

TEST(ShellService, ReadyStopAndOneServerPerHome) {
  ClearSettings();
  const std::string dir = testsupport::TestDir() + "/service";
  NotifySocket notify(testsupport::TestDir() + "/notify.sock");
  const std::string port = std::to_string(testsupport::FreePort());
  Server server({"--home", dir}, ServerEnv(port, notify.path()));
  ASSERT_TRUE(server.Listening());
  EXPECT_EQ(notify.Next(kBoundMs), "READY=1");

  // A second server on the same home says so and ends.
  Server second({"--home", dir}, ServerEnv(std::to_string(testsupport::FreePort())));
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.Errors().find("already serves the folder " + dir), std::string::npos);
  EXPECT_TRUE(server.Running());

  // --stop reaches the window (WM_USER+10) and returns once it has ended.
  Server stop({"--stop", "--home", dir}, ServerEnv(port));
  EXPECT_EQ(stop.Wait(), 0) << stop.Errors();
  EXPECT_EQ(notify.Next(kBoundMs), "STOPPING=1");
  EXPECT_EQ(server.Wait(), 0);
  Server again({"--stop", "--home", dir}, ServerEnv(port));
  EXPECT_EQ(again.Wait(), 1);
  EXPECT_NE(again.Errors().find("No ZelServer serves the folder"), std::string::npos);
}

TEST(ShellService, EndpointInUseFailsWithTheSystemText) {
  ClearSettings();
  int busy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t n = sizeof a;
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  getsockname(busy, reinterpret_cast<sockaddr*>(&a), &n);
  NotifySocket notify(testsupport::TestDir() + "/notify-busy.sock");
  Server server({"--home", testsupport::TestDir() + "/busy"},
                ServerEnv(std::to_string(ntohs(a.sin_port)), notify.path()));
  EXPECT_EQ(server.Wait(), 1);
  EXPECT_NE(server.Errors().find("The endpoint is a duplicate."), std::string::npos);
  EXPECT_EQ(notify.Next(200), "");  // never READY
  close(busy);
}

TEST(ShellService, AFailingStartStepShowsItsMessageAndTheServerGoesOn) {
  ClearSettings();
  // The resource library lacks the tray menu.
  const std::string library = PARTIAL_RESOURCES;
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\HOLLIN\\Brimwell", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueEx(key, "ResouceDLL", 0, REG_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
                static_cast<DWORD>(library.size() + 1));
  RegCloseKey(key);
  const std::string port = std::to_string(testsupport::FreePort());
  Server server({"--home", testsupport::TestDir() + "/partial"}, ServerEnv(port));
  ASSERT_TRUE(server.Listening());
  // The headless policy answers the box and logs it.
  std::string errors;
  for (int i = 0; i < 50 && errors.find("Exception Menu creation") == std::string::npos; ++i) errors += server.Errors();
  EXPECT_NE(errors.find("OnInitDialog: Exception Menu creation"), std::string::npos) << errors;
  testsupport::Binding binding(port);
  Client c(binding.transport());
  EXPECT_EQ(c.Logon("p", "s", "nobody", "x"), MAPI_E_INVALID_WORKSTATION_ACCOUNT);  // served
  kill(server.pid(), SIGTERM);
  EXPECT_EQ(server.Wait(), 0);
  ClearSettings();
}

// Waits (within the bound, however many records arrive) for the first
// record that `match` accepts; its key, "" after the bound.
template <class Match>
std::string WaitRecord(FrontEndClient& fe, Match match) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  std::string key;
  fe.WaitFor(
      [&](const FrontEndClient& c) {
        for (const auto& [k, r] : c.records())
          if (match(r)) key = r.key;
        return !key.empty() || std::chrono::steady_clock::now() > deadline;
      },
      kBoundMs);
  if (key.empty()) {
    for (const auto& [k, r] : fe.records())
      ADD_FAILURE() << "seen: " << k << " " << r.event << " title=" << r.Get("title") << " visible=" << r.Get("visible");
  }
  return key;
}

// "Beenden" from the tray menu, answered by `answer` when asked.
void QuitFromTray(FrontEndClient& fe, const std::string& tray_hwnd, int answer, std::string* question) {
  std::string error;
  ASSERT_TRUE(fe.Command("tray", {tray_hwnd, "1", "0x205"}, kBoundMs, &error)) << error;
  std::string menu = WaitRecord(fe, [](const win::fe::Record& r) { return r.kind == "menu" && r.event == "shown"; });
  ASSERT_FALSE(menu.empty());
  ASSERT_TRUE(fe.Command("menu", {menu, "32773"}, kBoundMs, &error)) << error;
  std::string box = WaitRecord(fe, [](const win::fe::Record& r) {
    return r.kind == "window" && r.event != "destroyed" && !r.Get("box").empty();
  });
  ASSERT_FALSE(box.empty());
  *question = fe.records().at("window " + box).Get("message");
  ASSERT_TRUE(fe.Command("answer", {box, std::to_string(answer)}, kBoundMs, &error)) << error;
}

TEST(ShellService, ShutdownAsksWhilePersonsAreOnline) {
  const std::string dir = testsupport::TestDir() + "/online";
  ASSERT_TRUE(testsupport::PrepareMailboxHome(dir, MAPIPROF_BIN, ZELUSERS_BIN));
  const std::string port = std::to_string(testsupport::FreePort());
  Server server({"--home", dir + "/home"}, ServerEnv(port));
  ASSERT_TRUE(server.Listening());
  testsupport::Binding binding(port);
  Client c(binding.transport());
  ASSERT_GT(c.Logon(Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword), 0);
  ASSERT_GT(c.Logon(Mailbox::kProfile, Mailbox::kStore, "mmuster", "geheim"), 0);

  FrontEndClient fe;
  std::string error;
  ASSERT_TRUE(fe.Attach(server.pid(), kBoundMs, &error)) << error;
  std::string tray = WaitRecord(fe, [](const win::fe::Record& r) { return r.kind == "tray"; });
  ASSERT_FALSE(tray.empty());
  const std::string hwnd = tray.substr(0, tray.find(':'));
  // Hidden at its first showing: only the tray icon is seen.
  EXPECT_EQ(fe.records().at("window " + hwnd).Get("visible"), "0");

  // Ctrl-C in a terminal asks the same.
  std::string question;
  kill(server.pid(), SIGINT);
  std::string box = WaitRecord(fe, [](const win::fe::Record& r) {
    return r.kind == "window" && r.event != "destroyed" && !r.Get("box").empty();
  });
  ASSERT_FALSE(box.empty());
  EXPECT_EQ(fe.records().at("window " + box).Get("message"), "There are 2 persons online, shut down server?");
  ASSERT_TRUE(fe.Command("answer", {box, std::to_string(IDNO)}, kBoundMs, &error)) << error;
  fe.WaitFor([&](const FrontEndClient& c) { return c.records().count("window " + box) == 0; }, kBoundMs);

  QuitFromTray(fe, hwnd, IDNO, &question);
  EXPECT_EQ(question, "There are 2 persons online, shut down server?");
  auto noBox = [](const FrontEndClient& f) {
    for (const auto* w : f.Windows())
      if (!w->Get("box").empty()) return false;
    return true;
  };
  EXPECT_TRUE(fe.WaitFor(noBox, kBoundMs));

  // Logging out of the desktop asks the same, and the reply says refused.
  const std::string tag = fe.Send("endsession", {"1"});
  ASSERT_FALSE(tag.empty());
  box = WaitRecord(fe, [](const win::fe::Record& r) {
    return r.kind == "window" && r.event != "destroyed" && !r.Get("box").empty();
  });
  ASSERT_FALSE(box.empty());
  EXPECT_EQ(fe.records().at("window " + box).Get("message"), "There are 2 persons online, shut down server?");
  ASSERT_TRUE(fe.Command("answer", {box, std::to_string(IDNO)}, kBoundMs, &error)) << error;
  std::vector<std::string> reply;
  EXPECT_TRUE(fe.WaitReply(tag, kBoundMs, &error, &reply)) << error;
  EXPECT_EQ(reply, std::vector<std::string>{"0"});
  EXPECT_TRUE(fe.WaitFor(noBox, kBoundMs));

  // Help's index from the window's menu reaches the front end.
  std::int64_t window = 0;
  ASSERT_TRUE(win::fe::ParseNumber(hwnd, &window));
  ASSERT_TRUE(PostMessageA(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)), WM_COMMAND, server::kCmdHelpIndex, 0));
  std::string help = WaitRecord(fe, [](const win::fe::Record& r) { return r.kind == "help"; });
  ASSERT_FALSE(help.empty());
  EXPECT_EQ(fe.records().at("help " + help).Get("topic"), "/index.htm");
  EXPECT_EQ(fe.records().at("help " + help).Get("window"), "FULL");
  EXPECT_TRUE(server.Running());
  EXPECT_GT(c.Logon(Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword), 0);  // still serving

  // The close box goes through "Beenden" too.
  ASSERT_TRUE(fe.Command("close", {hwnd}, kBoundMs, &error)) << error;
  box = WaitRecord(fe, [](const win::fe::Record& r) {
    return r.kind == "window" && r.event != "destroyed" && !r.Get("box").empty();
  });
  ASSERT_FALSE(box.empty());
  EXPECT_EQ(fe.records().at("window " + box).Get("message"), "There are 3 persons online, shut down server?");
  ASSERT_TRUE(fe.Command("answer", {box, std::to_string(IDYES)}, kBoundMs, &error)) << error;
  EXPECT_EQ(server.Wait(), 0);
}

// The shared MAPI logon of a remote client runs on the window's thread, so
// it must go on while the window's thread sits in the users dialog.
TEST(ShellService, RemoteLogonWhileTheUsersDialogIsOpen) {
  const std::string dir = testsupport::TestDir() + "/dialog";
  ASSERT_TRUE(testsupport::PrepareMailboxHome(dir, MAPIPROF_BIN, ZELUSERS_BIN));
  const std::string port = std::to_string(testsupport::FreePort());
  Server server({"--home", dir + "/home"}, ServerEnv(port));
  ASSERT_TRUE(server.Listening());
  FrontEndClient fe;
  std::string error;
  ASSERT_TRUE(fe.Attach(server.pid(), kBoundMs, &error)) << error;
  std::string tray = WaitRecord(fe, [](const win::fe::Record& r) { return r.kind == "tray"; });
  ASSERT_FALSE(tray.empty());
  const std::string hwnd = tray.substr(0, tray.find(':'));

  // "Benutzer..." from the tray menu.
  ASSERT_TRUE(fe.Command("tray", {hwnd, "1", "0x205"}, kBoundMs, &error)) << error;
  std::string menu = WaitRecord(fe, [](const win::fe::Record& r) { return r.kind == "menu" && r.event == "shown"; });
  ASSERT_FALSE(menu.empty());
  ASSERT_TRUE(fe.Command("menu", {menu, "32774"}, kBoundMs, &error)) << error;
  std::string users = WaitRecord(fe, [&](const win::fe::Record& r) {
    return r.kind == "window" && r.event != "destroyed" && r.key != hwnd && r.Get("class") == "#32770" &&
           r.Get("box").empty() && r.Get("visible") == "1";
  });
  ASSERT_FALSE(users.empty());
  EXPECT_EQ(fe.records().at("window " + hwnd).Get("visible"), "1");  // the command shows the server window

  testsupport::Binding binding(port);
  Client c(binding.transport());
  EXPECT_GT(c.Logon(Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword), 0);
  EXPECT_TRUE(fe.records().count("window " + users));  // still open
  // The shown window lists the session at its next tick.
  std::string list = WaitRecord(fe, [&](const win::fe::Record& r) {
    if (r.Get("parent") != hwnd || r.Get("id") != "1055") return false;
    for (const auto* row : r.All("row"))
      if (row->size() >= 5 && (*row)[3] == Mailbox::kUser && (*row)[4] == "workstation") return true;
    return false;
  });
  EXPECT_FALSE(list.empty());

  kill(server.pid(), SIGTERM);  // the end of the session ends the dialog too
  EXPECT_EQ(server.Wait(), 0);
}

// The language of the shell's strings at start.
TEST(ShellStart, LangComesFromTheFirstKeyThatOpens) {
  const DWORD german = 1031, portuguese = 0x10416;  // high bits are not the language
  struct Case {
    const char* name;
    bool user_key;
    const DWORD* user_lang;
    const DWORD* machine_lang;
    LCID expected;
  };
  const LCID fallback = win::ProcessLocale() ? win::ProcessLocale() : 1033;
  const Case cases[] = {
      {"user value", true, &german, &portuguese, 1031},
      {"no user key: the machine's", false, nullptr, &portuguese, 1046},
      {"a user key without the value does not fall back", true, nullptr, &portuguese, fallback},
      {"no value anywhere", false, nullptr, nullptr, fallback},
  };
  for (const Case& c : cases) {
    ClearSettings();
    if (c.user_key) SetSetting(HKEY_CURRENT_USER, c.user_lang ? "Lang" : nullptr, REG_DWORD, c.user_lang, 4);
    if (c.machine_lang) SetSetting(HKEY_LOCAL_MACHINE, "Lang", REG_DWORD, c.machine_lang, 4);
    EXPECT_EQ(server::CServerApp::StartLocale(), c.expected) << c.name;
  }
  ClearSettings();
}

// The server in this process, its ticks given by the test.
TEST(ShellWindow, TrayFramesOnAnInjectedClockAndALostIconComesBack) {
  ClearSettings();
  setenv("ZEL_RPC_ENDPOINT", std::to_string(testsupport::FreePort()).c_str(), 1);
  server::ServerAppOptions options;
  options.home = testsupport::TestDir() + "/inprocess";
  options.timer_ms = 0;
  server::CServerApp app(options);
  std::atomic<int> code{-1};
  std::thread run([&] { code = app.Run(); });
  HWND hwnd = app.WaitReady(std::chrono::milliseconds(kBoundMs));
  ASSERT_NE(hwnd, nullptr);

  FrontEndClient fe;
  std::string error;
  ASSERT_TRUE(fe.Attach(getpid(), kBoundMs, &error)) << error;
  const std::string key = "tray " + Hex(win::HandleValue(hwnd)) + ":1";
  auto icon = [&] {
    auto it = fe.records().find(key);
    return it == fe.records().end() ? std::string() : it->second.Get("icon");
  };
  // The icon resource `id`'s handle: loading it again gives the server's.
  auto wait_icon = [&](int id) {
    const std::string want =
        Hex(static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(LoadIconA(nullptr, MAKEINTRESOURCEA(id)))));
    fe.WaitFor([&](const FrontEndClient&) { return icon() == want; }, kBoundMs);
    return icon() == want;
  };
  EXPECT_TRUE(wait_icon(133));
  EXPECT_EQ(fe.records().at(key).Get("tip"), "Vantrel Server");
  const int expected[] = {128, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143, 144, 133, 128};
  for (int frame : expected) {
    PostMessageA(hwnd, WM_TIMER, 1, 0);
    EXPECT_TRUE(wait_icon(frame)) << "after " << frame << " came " << icon();
  }

  // The shell loses the icon; the next tick adds it again.
  NOTIFYICONDATAA gone{};
  gone.cbSize = sizeof gone;
  gone.hWnd = hwnd;
  gone.uID = 1;
  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &gone));
  fe.WaitFor([&](const FrontEndClient& c) { return c.records().count(key) == 0; }, kBoundMs);
  PostMessageA(hwnd, WM_TIMER, 1, 0);
  EXPECT_TRUE(wait_icon(134));

  // The user list and the system menu's entry.
  const auto& window = fe.records().at("window " + Hex(win::HandleValue(hwnd)));
  EXPECT_EQ(window.Get("visible"), "0");
  std::vector<std::string> columns;
  for (const auto& [k, r] : fe.records())
    if (r.kind == "window" && r.Get("parent") == Hex(win::HandleValue(hwnd)) && r.Get("id") == "1055")
      for (const auto* c : r.All("column")) columns.push_back((*c)[1] + " " + (*c)[2]);
  EXPECT_EQ(columns, (std::vector<std::string>{"100 User name", "100 Computer"}));
  char about[64] = {};
  GetMenuStringA(GetSystemMenu(hwnd, FALSE), 16, about, sizeof about, MF_BYCOMMAND);
  EXPECT_STREQ(about, "About ZelServer");

  fe.Detach();
  PostMessageA(hwnd, server::kShutdownNow, 0, 0);
  run.join();
  EXPECT_EQ(code.load(), 0);
}

}  // namespace
}  // namespace vantrel
