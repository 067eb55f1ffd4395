// zelhook across real processes, each started with exec: C installs a
// recording hook, A (the installer stand-in) installs zelhook, and B, which
// never links zelhook, makes the windows.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr auto kBound = std::chrono::seconds(10);

// A private runtime folder for the whole test program, so its hooks reach
// no other process of the user; every child inherits it.
void UsePrivateRuntimeDir() {
  static bool done = [] {
    const char* scratch = std::getenv("VANTREL_TEST_TMPDIR");
    std::string dir = std::string(scratch && *scratch ? scratch : "/tmp") + "/zelhook-" + std::to_string(getpid());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    chmod(dir.c_str(), 0700);
    setenv("ZEL_WIN_DIR", dir.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);  // a killed child's pipe
    return true;
  }();
  (void)done;
}

// A child process spoken to line by line over its standard input and output.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    UsePrivateRuntimeDir();
    int in[2], out[2];
    EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Child() {
    close(to_);  // every child ends when its input closes
    close(from_);
    if (pid_ > 0) Wait();
  }

  // The next line, "" when none came within the bound.
  std::string Line() {
    auto deadline = std::chrono::steady_clock::now() + kBound;
    for (;;) {
      if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{from_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char buf[256];
      ssize_t n = read(from_, buf, sizeof buf);
      if (n <= 0) return {};
      buffered_.append(buf, static_cast<size_t>(n));
    }
  }
  std::string Ask(const std::string& line) {
    std::string l = line + "\n";
    (void)!write(to_, l.data(), l.size());
    return Line();
  }
  void Kill() {
    kill(pid_, SIGKILL);
    Wait();
  }
  pid_t pid() const { return pid_; }

 private:
  void Wait() {
    auto deadline = std::chrono::steady_clock::now() + kBound;
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
      usleep(1000);
    }
    pid_ = -1;
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string buffered_;
};

constexpr char kClosed[] = "closed 1 early 0 stray 0 open 0";  // posted to the parent, after creation
constexpr char kLeft[] = "closed 0 early 0 stray 0 open 1";

class ZelHookTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(b_.Ask("mapped zelhook.so"), "no");
    ASSERT_EQ(c_.Ask(std::string("load ") + RECORDER_MODULE), "ok");
    ASSERT_EQ(c_.Ask("record").rfind("ok ", 0), 0u);
    // Started only now, so zelhook is the newer hook and runs first. The
    // stand-in finds the module by name, as the outside component does.
    a_ = std::make_unique<Child>(std::vector<std::string>{INSTALLER});
    std::string hook = a_->Line();
    ASSERT_EQ(hook.rfind("hook ", 0), 0u) << "installer said: " << hook;
    ASSERT_NE(hook, "hook 0");
  }

  std::string SeenInB(const std::string& title) { return c_.Ask("seen " + std::to_string(b_.pid()) + " " + title); }

  Child c_{{PEER}};
  Child b_{{PEER}};
  std::unique_ptr<Child> a_;
};

TEST_F(ZelHookTest, ClosesTheParentOfAFreeBusyWindowOnly) {
  struct Case {
    const char* title;  // null: no title at all
    const char* expect;
  } cases[] = {
      {"Frei/Gebucht-Informationen", kClosed},
      {"Frei/Gebucht-Informationen: Besprechungsraum 2", kClosed},
      {"Termin - Frei/Gebucht-Informationen", kClosed},
      {"Free/Busy Information", kLeft},
      {"frei/gebucht-informationen", kLeft},
      {"Frei/Gebucht-Information", kLeft},
      {"", kLeft},
      {nullptr, kLeft},
  };
  for (const Case& c : cases) {
    std::string what = c.title ? std::string("\"") + c.title + "\"" : "no title";
    std::string cmd = c.title ? std::string("create child text ") + c.title : "create child null";
    EXPECT_EQ(b_.Ask(cmd), c.expect) << what;
    // Installed before zelhook, the recorder runs after it: it saw the
    // window only because zelhook passed the call on.
    EXPECT_NE(SeenInB(c.title ? c.title : ""), "0") << what;
  }
  EXPECT_EQ(b_.Ask("mapped zelhook.so"), "yes");
}

// A free/busy window without a parent has no one to ask: nothing is posted
// (not to its own thread either), and the window stays.
TEST_F(ZelHookTest, TopLevelFreeBusyWindowIsLeftAlone) {
  EXPECT_EQ(b_.Ask("create top text Frei/Gebucht-Informationen"), kLeft);
  EXPECT_EQ(SeenInB("Frei/Gebucht-Informationen"), "1");
  // The process is still well.
  EXPECT_EQ(b_.Ask("create child text Frei/Gebucht-Informationen"), kClosed);
}

TEST_F(ZelHookTest, EndsWithItsInstaller) {
  ASSERT_EQ(b_.Ask("create child text Frei/Gebucht-Informationen"), kClosed);
  a_->Kill();
  // B learns of the death by itself; polled within the bound.
  auto deadline = std::chrono::steady_clock::now() + kBound;
  std::string got;
  do {
    got = b_.Ask("create child text Frei/Gebucht-Informationen");
    if (got != kLeft) usleep(20000);
  } while (got != kLeft && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(got, kLeft);
  EXPECT_EQ(b_.Ask("create child text Frei/Gebucht-Informationen"), kLeft);
  // The recorder's hook lives on.
  EXPECT_EQ(b_.Ask("create child text Frei/Gebucht-Informationen (danach)"), kLeft);
  EXPECT_EQ(SeenInB("Frei/Gebucht-Informationen (danach)"), "1");
}

// A second installer stores its handle over the first's: both copies of
// the procedure pass that one handle on. B neither loops in its chain nor
// loses the recorder behind them.
TEST_F(ZelHookTest, SecondInstallerSharesTheHandle) {
  Child second({INSTALLER});
  ASSERT_EQ(second.Line().rfind("hook ", 0), 0u);
  EXPECT_EQ(b_.Ask("create child text Frei/Gebucht-Informationen [2]"), kClosed);
  EXPECT_EQ(SeenInB("Frei/Gebucht-Informationen [2]"), "1");
  a_->Kill();  // the survivor's hook goes on alone
  EXPECT_EQ(b_.Ask("create child text Frei/Gebucht-Informationen [3]"), kClosed);
  EXPECT_EQ(SeenInB("Frei/Gebucht-Informationen [3]"), "1");
}

}  // namespace
