// zeladmin and zeltrace against a running ZelServer, each as its own
// process, the way an administrator uses them from a shell.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/FrontEnd.h"
#include "platform/win/FrontEndClient.h"
#include "server/app/DialogDriver.h"
#include "server/app/DlgUsers.h"
#include "server/app/ServiceSupport.h"
#include "server/app/TarnixServerDlg.h"
#include "server/app/TestClient.h"

// After the platform's headers: <fcntl.h> defines LOCK_WRITE as a macro,
// which the storage interfaces declare as a constant.
#include <fcntl.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace vantrel::testsupport;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

template <typename Pred>
bool Eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A tool started with its standard input on a pipe and its output in files.
class Tool {
 public:
  Tool(const std::string& program, const std::vector<std::string>& args, const std::string& name) {
    out_ = TestDir() + "/" + name + ".out";
    err_ = TestDir() + "/" + name + ".err";
    // Emptied before the tool starts, so that nothing of an earlier run is
    // read as its output.
    for (const std::string& file : {out_, err_}) close(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    int in[2];
    if (pipe(in) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      close(in[1]);
      int o = open(out_.c_str(), O_WRONLY | O_APPEND);
      int e = open(err_.c_str(), O_WRONLY | O_APPEND);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]);
    in_ = in[1];
  }
  ~Tool() {
    CloseInput();
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void Write(const std::string& text) { ASSERT_EQ(write(in_, text.data(), text.size()), ssize_t(text.size())); }
  void CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  // Its exit status (-1 when killed), once it has ended.
  int Wait() {
    CloseInput();
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }
  std::string Out() const { return Slurp(out_); }
  std::string Err() const { return Slurp(err_); }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  std::string out_, err_;
};

struct Result {
  int status;
  std::string out, err;
};

// The command lines of every process of this user that carry `secret`.
std::vector<std::string> CommandLinesWith(const std::string& secret) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string cmdline = Slurp(entry.path().string() + "/cmdline");
    if (cmdline.find(secret) != std::string::npos) found.push_back(entry.path().filename().string() + ": " + cmdline);
  }
  return found;
}

class Admin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::error_code ec;
    const char* registry = std::getenv("ZEL_REGISTRY_DIR");
    const char* mapi = std::getenv("ZEL_MAPI_DIR");
    ASSERT_TRUE(registry && mapi) << "run through ctest: the test needs its private registry";
    fs::remove_all(registry, ec);
    fs::remove_all(mapi, ec);
    home_ = TestDir() + "/home";
    fs::remove_all(home_, ec);
    fs::create_directories(home_);
    server_ = new ServerProcess(ZELSERVER_BIN, home_);
  }
  static void TearDownTestSuite() {
    if (server_) {
      EXPECT_EQ(server_->Stop(), 0);
    }
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(server_ && server_->ready()); }

  // zeladmin on the test's server with `input` on its standard input.
  static Result Zeladmin(std::vector<std::string> args, const std::string& input = "", const std::string& home = "") {
    args.insert(args.begin(), {"--home", home.empty() ? home_ : home});
    Tool tool(ZELADMIN_BIN, args, "zeladmin");
    tool.Write(input);
    int status = tool.Wait();
    return {status, tool.Out(), tool.Err()};
  }

  // A mailbox logon as `user`: accepted or not.
  static bool LogsOn(const std::string& user, const std::string& password) {
    Client c(server_->port());
    std::int32_t session = c.Logon("mailbox_" + user, "Mailbox - " + user, user, password);
    if (session <= 0) return false;
    c.Call<vantrel::zel::ZelLogon_Release>({session});
    return true;
  }

  inline static std::string home_;
  inline static ServerProcess* server_ = nullptr;
};

TEST_F(Admin, AddPasswdDeleteOnARunningServer) {
  // The password is never on a command line, not even while zeladmin waits
  // for it.
  {
    Tool add(ZELADMIN_BIN, {"--home", home_, "add", "kim", "--name", "kim"}, "add");
    ASSERT_TRUE(Eventually([&] { return !CommandLinesWith(std::string("add\0kim", 7)).empty(); }));
    EXPECT_TRUE(CommandLinesWith("Fir5t-secret").empty());
    add.Write("Fir5t-secret\n");
    EXPECT_EQ(add.Wait(), 0) << add.Err();
  }
  Result r = Zeladmin({"users"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("kim\tkim\n"), std::string::npos) << r.out;
  r = Zeladmin({"mailbox", "kim"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("mailbox_kim"), std::string::npos) << r.out;
  EXPECT_TRUE(LogsOn("kim", "Fir5t-secret"));
  {
    // An open session is listed with its computer.
    Client c(server_->port());
    ASSERT_GT(c.Logon("mailbox_kim", "Mailbox - kim", "kim", "Fir5t-secret"), 0);
    r = Zeladmin({"sessions"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("kim\tworkstation\n"), std::string::npos) << r.out;
  }

  r = Zeladmin({"passwd", "kim"}, "Sec0nd-secret\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(LogsOn("kim", "Sec0nd-secret"));
  EXPECT_FALSE(LogsOn("kim", "Fir5t-secret"));

  // The server wrote the users file: a restart keeps the new password.
  ASSERT_EQ(server_->Stop(), 0);
  delete server_;
  server_ = new ServerProcess(ZELSERVER_BIN, home_);
  ASSERT_TRUE(server_->ready());
  EXPECT_TRUE(LogsOn("kim", "Sec0nd-secret"));

  r = Zeladmin({"delete", "kim"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(LogsOn("kim", "Sec0nd-secret"));
  EXPECT_EQ(Zeladmin({"users"}).out, "");
}

TEST_F(Admin, ClearErrors) {
  ASSERT_EQ(Zeladmin({"add", "lee", "--name", "Lee"}, "pw\n").status, 0);
  const std::string elsewhere = TestDir() + "/no-server";
  fs::create_directories(elsewhere);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    const char* says;
  } cases[] = {
      {{"add", "lee", "--name", "Lee Again"}, "pw\n", 1, "exists already"},
      {{"passwd", "nobody"}, "pw\n", 1, "no user nobody"},
      {{"delete", "lee", "nobody"}, "", 1, "no user nobody (nothing deleted)"},
      {{"add", "eve", "--name", "Eve"}, "", 1, "no password"},
      {{"add", "eve"}, "pw\n", 2, "usage"},
      {{"passwd", "lee", "pw"}, "", 2, "usage"},
      {{"frobnicate"}, "", 2, "usage"},
  };
  for (const Case& c : cases) {
    Result r = Zeladmin(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args[0] << ": " << r.err;
  }
  Result r = Zeladmin({"users"}, "", elsewhere);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no server is running"), std::string::npos) << r.err;
  // "lee" survived the refused delete.
  EXPECT_EQ(Zeladmin({"users"}).out, "lee\tLee\n");

  // The user dialog open in another front end: refused, nothing touched.
  pid_t pid = 0;
  HWND window = nullptr;
  ASSERT_TRUE(vantrel::server::FindRunningServer(home_, &pid, &window));
  vantrel::win::FrontEndClient other;
  std::string error;
  ASSERT_TRUE(other.Attach(pid, 20000, &error)) << error;
  vantrel::admin::DialogDriver driver(&other, 20000);
  ASSERT_TRUE(PostMessageA(window, WM_COMMAND, vantrel::server::kCmdUsers, 0));
  std::string users = driver.WaitDialog({IDC_USERS_LIST, IDC_USERS_NEW, IDC_USERS_DELETE});
  ASSERT_FALSE(users.empty());
  r = Zeladmin({"delete", "lee"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("open in another front end"), std::string::npos) << r.err;
  ASSERT_TRUE(driver.Click(users, IDCANCEL, &error)) << error;
  ASSERT_TRUE(driver.WaitGone(users));
  EXPECT_EQ(Zeladmin({"delete", "lee"}).status, 0);
}

TEST_F(Admin, ZeltraceSeesALogonAndAStoppedOneSlowsNothing) {
  ASSERT_EQ(Zeladmin({"add", "tom", "--name", "tom"}, "pw\n").status, 0);
  ASSERT_EQ(Zeladmin({"mailbox", "tom"}).status, 0);
  Tool trace(ZELTRACE_BIN, {"--home", home_}, "zeltrace");
  ASSERT_TRUE(Eventually([&] { return trace.Err().find("watching") != std::string::npos; })) << trace.Err();
  ASSERT_TRUE(LogsOn("tom", "pw"));
  ASSERT_TRUE(Eventually([&] { return trace.Out().find("ZelServer: ZelLogon.Logon(mailbox_tom,") != std::string::npos; }))
      << trace.Out();
  // Each line with its time stamp.
  const std::string out = trace.Out();
  const size_t line = out.rfind('\n', out.find("ZelServer: ZelLogon.Logon("));
  EXPECT_EQ(out[line + 3], ':') << out.substr(line + 1, 40);

  // The client library's lines come to the window titled "ServerTrace".
  HWND window = FindWindowA(nullptr, "ServerTrace");
  ASSERT_NE(window, nullptr);
  std::string client_line = "ZELCLIENT: OpenMsgStore ok";
  COPYDATASTRUCT data{1000, static_cast<DWORD>(client_line.size() + 1), client_line.data()};
  ULONG_PTR result = 0;
  ASSERT_NE(SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_ABORTIFHUNG, 5000,
                                &result),
            0);
  EXPECT_EQ(result, static_cast<ULONG_PTR>(TRUE));
  ASSERT_TRUE(Eventually([&] { return trace.Out().find(" ZELCLIENT: OpenMsgStore ok\n") != std::string::npos; }));

  // A monitor that stops reading: the calls go on while it is stopped.
  ASSERT_EQ(kill(trace.pid(), SIGSTOP), 0);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(LogsOn("tom", "pw")) << i;
  ASSERT_EQ(kill(trace.pid(), SIGCONT), 0);
  ASSERT_EQ(kill(trace.pid(), SIGTERM), 0);
  EXPECT_EQ(trace.Wait(), 0);
}

}  // namespace
