// zelhook across real processes, each started with exec: C installs a
// recording hook, A (the installer stand-in) installs zelhook, and B, which
// never links zelhook, makes the windows.
#include <signal.h>
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

#include "platform/win/TestChild.h"

namespace {

constexpr auto kBound = std::chrono::seconds(10);

// A child that reads commands until its input closes, in the test
// program's private runtime folder.
class Child : public vantrel::win::TestChild {
 public:
  explicit Child(std::vector<std::string> args) : TestChild(InPrivateDir(std::move(args))) {}

 private:
  static std::vector<std::string> InPrivateDir(std::vector<std::string> args) {
    vantrel::win::UsePrivateWinDir("zelhook");
    return args;
  }
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
