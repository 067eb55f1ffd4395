// zeladmin: manages the users of a running ZelServer from a shell, by
// driving the server's own user dialogs over the front-end protocol, as an
// administrator at the desktop would. It needs no desktop and changes
// nothing behind the server's back: the server writes the users file.
//
//   zeladmin [--home DIR] users                     every user: login, display name
//   zeladmin [--home DIR] add LOGIN --name NAME     a new user; password from the prompt or stdin
//   zeladmin [--home DIR] passwd LOGIN              a new password, the same way
//   zeladmin [--home DIR] delete LOGIN...
//   zeladmin [--home DIR] mailbox LOGIN             the profile "mailbox_" + LOGIN with its store
//   zeladmin [--home DIR] sessions                  who is logged on, from which computer
//   zeladmin [--home DIR] stop                      ends the server (as ZelServer --stop)
//
// The server is the one running on DIR (its lock file names it), else
// $VANTREL_HOME, else the only ZelServer of this user. Passwords are never
// taken from the command line, where every user could read them. Exit
// status: 0 done, 1 refused or failed (the reason on stderr), 2 usage.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/CommCtrl.h"
#include "platform/win/FrontEndClient.h"
#include "platform/win/WindowPlatform.h"
#include "server/app/DialogDriver.h"
#include "server/app/DlgEditUser.h"
#include "server/app/DlgUsers.h"
#include "server/app/ServiceSupport.h"
#include "server/app/TarnixServerDlg.h"

// After the platform's headers: <fcntl.h> defines LOCK_WRITE as a macro,
// which the storage interfaces declare as a constant.
#include <fcntl.h>
#include <sys/file.h>

namespace {

using vantrel::admin::DialogDriver;
using vantrel::win::FrontEndClient;

constexpr int kTimeoutMs = 15000;
constexpr UINT kScMinimize = 0xF020;
const std::vector<int> kUsersDialog = {IDC_USERS_LIST, IDC_USERS_NEW, IDC_USERS_DELETE};
const std::vector<int> kEditDialog = {IDC_EDIT_LOGIN, IDC_EDIT_DISPLAY, IDC_EDIT_PASSWORD};

int Usage() {
  std::fprintf(stderr,
               "usage: zeladmin [--home DIR] users\n"
               "       zeladmin [--home DIR] add LOGIN --name \"DISPLAY NAME\"\n"
               "       zeladmin [--home DIR] passwd LOGIN\n"
               "       zeladmin [--home DIR] delete LOGIN...\n"
               "       zeladmin [--home DIR] mailbox LOGIN\n"
               "       zeladmin [--home DIR] sessions\n"
               "       zeladmin [--home DIR] stop\n"
               "Passwords are read from the terminal, or as one line from standard input.\n");
  return 2;
}

// A failure with its message; main prints it and exits 1.
struct Failure {
  std::string message;
};

std::string Hex(HWND h) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(h)));
  return text;
}

std::string Absolute(std::string path) {
  std::error_code ec;
  path = std::filesystem::absolute(path, ec).lexically_normal().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

struct Server {
  pid_t pid = 0;
  HWND window = nullptr;
  std::string home;  // empty when found by its program name
};

Server FindServer(const std::string& home_option) {
  Server s;
  std::string home = home_option;
  if (home.empty())
    if (const char* env = std::getenv("VANTREL_HOME"); env && *env) home = env;
  if (!home.empty()) {
    s.home = Absolute(home);
    if (!vantrel::server::FindRunningServer(s.home, &s.pid, &s.window))
      throw Failure{"no server is running on " + s.home};
    DWORD owner = 0;
    if (!s.window || !IsWindow(s.window) || (GetWindowThreadProcessId(s.window, &owner), owner != DWORD(s.pid)))
      throw Failure{"the server of " + s.home + " is starting or cannot be reached"};
    return s;
  }
  // The only ZelServer of this user.
  std::vector<Server> found;
  for (pid_t pid : vantrel::win::LiveProcesses()) {
    FrontEndClient c;
    std::string error;
    if (!c.Attach(pid, 2000, &error) || c.program() != "ZelServer") continue;
    for (const auto* w : c.Windows()) {
      if (w->Get("id") != "0" || w->Get("class") != "#32770") continue;
      bool has_list = false;
      for (const auto* child : c.Windows())
        has_list = has_list || (child->Get("parent") == w->key && child->Get("id") == "1055");
      if (has_list) found.push_back({pid, reinterpret_cast<HWND>(std::strtoull(w->key.c_str(), nullptr, 16)), ""});
    }
  }
  if (found.empty()) throw Failure{"no server is running (give its home with --home or VANTREL_HOME)"};
  if (found.size() > 1) throw Failure{"several servers are running: name one with --home"};
  return found.front();
}

// One zeladmin at a time drives a server's dialogs.
class AdminLock {
 public:
  explicit AdminLock(const Server& s) {
    const std::string path = (s.home.empty() ? std::string("/tmp") : s.home) + "/zeladmin.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
      throw Failure{"another zeladmin is working on this server; try again"};
  }
  ~AdminLock() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_ = -1;
};

std::string ReadPassword() {
  if (isatty(STDIN_FILENO)) {
    auto prompt = [](const char* text) {
      std::fprintf(stderr, "%s", text);
      std::fflush(stderr);
      termios old{};
      tcgetattr(STDIN_FILENO, &old);
      termios quiet = old;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
      std::string line;
      std::getline(std::cin, line);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
      std::fprintf(stderr, "\n");
      return line;
    };
    std::string first = prompt("Password: ");
    if (prompt("Password again: ") != first) throw Failure{"the passwords differ"};
    if (first.empty()) throw Failure{"a password is needed"};
    return first;
  }
  std::string line;
  if (!std::getline(std::cin, line)) throw Failure{"no password on standard input"};
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw Failure{"a password is needed"};
  return line;
}

// The server's user list, open for this run.
class UsersSession {
 public:
  UsersSession(const Server& server, FrontEndClient* client) : server_(server), d_(client, kTimeoutMs) {
    if (!d_.FindDialog(kUsersDialog).empty())
      throw Failure{"the user dialog is open in another front end; close it there first"};
    if (!PostMessageA(server_.window, WM_COMMAND, vantrel::server::kCmdUsers, 0))
      throw Failure{"the server window does not take messages"};
    // A notice the list shows as it opens (the users file's new format)
    // is passed on and acknowledged, as the administrator would.
    std::string box;
    while (true) {
      const bool ok = d_.WaitFor([&] {
        return !(found_ = d_.FindDialog(kUsersDialog)).empty() || !(box = d_.FindMessageBox()).empty();
      });
      if (!found_.empty()) break;
      if (!ok) throw Failure{"no answer from the server (the user dialog)"};
      std::string error;
      std::fprintf(stderr, "zeladmin: the server says: %s\n", d_.BoxText(box).c_str());
      if (!d_.Answer(box, IDOK, &error) && !d_.Close(box, &error)) throw Failure{"cannot acknowledge: " + error};
      d_.WaitGone(box);
    }
    users_ = found_;
  }
  // Leaves without saving unless Save() ran: the server reads its users
  // file again, so nothing half done stays.
  ~UsersSession() {
    if (users_.empty()) return;
    std::string error;
    if (!edit_.empty()) {
      d_.Click(edit_, IDCANCEL, &error);
      d_.WaitGone(edit_);
    }
    if (d_.Window(users_)) {
      d_.Click(users_, IDCANCEL, &error);
      d_.WaitGone(users_);
    }
  }

  // Waits for `done`; a message box of the server ends the step with its
  // text (answered, so the dialog goes on).
  template <typename Done>
  bool Wait(Done done, const char* what) {
    std::string box;
    bool ok = d_.WaitFor([&] { return done() || !(box = d_.FindMessageBox()).empty(); });
    if (!box.empty() && !done()) {
      std::string text = d_.BoxText(box), error;
      d_.Answer(box, IDOK, &error) || d_.Close(box, &error);
      throw Failure{"the server says: " + text};
    }
    if (!ok) throw Failure{std::string("no answer from the server (") + what + ")"};
    return true;
  }

  void Do(bool ok, const std::string& error) {
    if (!ok) throw Failure{"the server refused: " + error};
  }

  std::vector<DialogDriver::Row> Rows() { return d_.Rows(users_, IDC_USERS_LIST); }

  int Index(const std::string& login) {
    auto rows = Rows();
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].texts.size() >= 2 && rows[i].texts[1] == login) return static_cast<int>(i);
    return -1;
  }

  void Select(const std::string& login) {
    int index = Index(login);
    if (index < 0) throw Failure{"no user " + login};
    std::string error;
    Do(d_.Pick(users_, IDC_USERS_LIST, index, &error), error);
    Wait([&] {
      auto rows = Rows();
      return index < static_cast<int>(rows.size()) && (rows[static_cast<size_t>(index)].state & LVIS_SELECTED) &&
             rows[static_cast<size_t>(index)].texts[1] == login;
    }, "selecting");
  }

  // Fills the edit dialog that `button` opens and closes it with OK.
  void Edit(int button, const std::string& login, const std::string& name, const std::string& password) {
    std::string error;
    Do(d_.Click(users_, button, &error), error);
    Wait([&] { return !(edit_ = d_.FindDialog(kEditDialog)).empty(); }, "the user edit dialog");
    const auto* login_edit = d_.Control(edit_, IDC_EDIT_LOGIN);
    if (!login.empty() && login_edit->Get("enabled") == "1") {
      Do(d_.Type(edit_, IDC_EDIT_LOGIN, login, &error), error);
    } else if (login_edit->Get("title") != login) {
      throw Failure{"the server opened " + login_edit->Get("title") + " instead of " + login};
    }
    if (!name.empty()) Do(d_.Type(edit_, IDC_EDIT_DISPLAY, name, &error), error);
    Do(d_.Type(edit_, IDC_EDIT_PASSWORD, password, &error), error);
    // The fields arrive in order; OK is enabled once the last one has.
    Wait([&] {
      const auto* pw = d_.Control(edit_, IDC_EDIT_PASSWORD);
      const auto* ok = d_.Control(edit_, IDOK);
      return pw && ok && pw->Get("title").size() == password.size() && ok->Get("enabled") == "1";
    }, "the user's fields");
    Do(d_.Click(edit_, IDOK, &error), error);
    Wait([&] { return d_.Window(edit_) == nullptr; }, "saving the user");
    edit_.clear();
  }

  // Writes the users file and closes the list.
  void Save() {
    std::string error;
    Do(d_.Click(users_, IDOK, &error), error);
    Wait([&] { return d_.Window(users_) == nullptr; }, "writing the users file");
    users_.clear();
  }

  DialogDriver& driver() { return d_; }
  const std::string& users() const { return users_; }

 private:
  const Server& server_;
  DialogDriver d_;
  std::string users_, edit_, found_;
};

int ListUsers(UsersSession& s) {
  for (const auto& row : s.Rows())
    std::printf("%s\t%s\n", row.texts.size() > 1 ? row.texts[1].c_str() : "", row.texts.empty() ? "" : row.texts[0].c_str());
  return 0;
}

int AddUser(UsersSession& s, const std::string& login, const std::string& name, const std::string& password) {
  if (s.Index(login) >= 0) throw Failure{"the login " + login + " exists already"};
  s.Edit(IDC_USERS_NEW, login, name, password);
  s.Wait([&] { return s.Index(login) >= 0; }, "the new user in the list");
  s.Save();
  std::printf("added %s\n", login.c_str());
  return 0;
}

int ChangePassword(UsersSession& s, const std::string& login, const std::string& password) {
  s.Select(login);
  s.Edit(IDC_USERS_EDIT, login, "", password);
  s.Save();
  std::printf("password of %s changed\n", login.c_str());
  return 0;
}

int DeleteUsers(UsersSession& s, const std::vector<std::string>& logins) {
  for (const auto& login : logins)
    if (s.Index(login) < 0) throw Failure{"no user " + login + " (nothing deleted)"};
  for (const auto& login : logins) {
    s.Select(login);
    std::string error;
    s.Do(s.driver().Click(s.users(), IDC_USERS_DELETE, &error), error);
    s.Wait([&] { return s.Index(login) < 0; }, "deleting");
  }
  s.Save();
  for (const auto& login : logins) std::printf("deleted %s\n", login.c_str());
  return 0;
}

int Mailbox(UsersSession& s, const std::string& login) {
  s.Select(login);
  std::string error, box;
  DialogDriver& d = s.driver();
  s.Do(d.Click(s.users(), IDC_USERS_MAILBOX, &error), error);
  if (!d.WaitFor([&] { return !(box = d.FindMessageBox()).empty(); })) throw Failure{"no answer from the server"};
  const auto* w = d.Window(box);
  const std::string text = d.BoxText(box);
  const bool failed = (std::strtoul(w->Get("box").c_str(), nullptr, 0) & 0xF0) == MB_ICONERROR;
  d.Answer(box, IDOK, &error);
  d.WaitGone(box);
  if (failed) throw Failure{text};
  std::printf("%s\n", text.c_str());
  return 0;
}

int Sessions(const Server& server, FrontEndClient& client) {
  DialogDriver d(&client, kTimeoutMs);
  const std::string window = Hex(server.window);
  const auto* win = d.Window(window);
  if (!win) throw Failure{"the server window cannot be read"};
  const bool was_visible = win->Get("visible") == "1";
  // The list is kept while the window shows: show it for one tick.
  if (!was_visible) PostMessageA(server.window, WM_COMMAND, vantrel::server::kCmdShow, 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
  d.WaitFor([&] { return std::chrono::steady_clock::now() > until; });
  const auto rows = d.Rows(window, vantrel::server::kUserListId);
  if (!was_visible) PostMessageA(server.window, WM_SYSCOMMAND, kScMinimize, 0);
  for (const auto& row : rows)
    std::printf("%s\t%s\n", row.texts.empty() ? "" : row.texts[0].c_str(), row.texts.size() > 1 ? row.texts[1].c_str() : "");
  return 0;
}

int Stop(const Server& server) {
  if (!PostMessageA(server.window, vantrel::server::kShutdownNow, 0, 0))
    throw Failure{"the server window does not take messages"};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (kill(server.pid, 0) == 0 || errno != ESRCH) {
    if (std::chrono::steady_clock::now() > deadline) throw Failure{"the server is still running"};
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string home;
  if (args.size() >= 2 && args[0] == "--home") {
    home = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) return Usage();
  const std::string command = args[0];
  std::string name;
  std::vector<std::string> logins;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--name" && i + 1 < args.size()) {
      name = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-') {
      return Usage();
    } else {
      logins.push_back(args[i]);
    }
  }
  const bool one_login = command == "add" || command == "passwd" || command == "mailbox";
  if ((one_login && logins.size() != 1) || (command == "delete" && logins.empty()) ||
      ((command == "users" || command == "sessions" || command == "stop") && !logins.empty()) ||
      (command == "add") != !name.empty())
    return Usage();
  if (!one_login && command != "delete" && command != "users" && command != "sessions" && command != "stop")
    return Usage();

  try {
    std::string password;
    if (command == "add" || command == "passwd") password = ReadPassword();
    Server server = FindServer(home);
    if (command == "stop") return Stop(server);
    FrontEndClient client;
    std::string error;
    if (!client.Attach(server.pid, kTimeoutMs, &error)) throw Failure{error};
    if (command == "sessions") return Sessions(server, client);
    AdminLock lock(server);
    UsersSession session(server, &client);
    if (command == "users") return ListUsers(session);
    if (command == "add") return AddUser(session, logins[0], name, password);
    if (command == "passwd") return ChangePassword(session, logins[0], password);
    if (command == "delete") return DeleteUsers(session, logins);
    return Mailbox(session, logins[0]);
  } catch (const Failure& f) {
    std::fprintf(stderr, "zeladmin: %s\n", f.message.c_str());
    return 1;
  }
}
