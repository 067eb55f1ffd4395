// The connection dialog of zelclient, loaded as the store provider loads it
// and driven by control id from a test thread, against a real ZelServer on
// a home made with the administrator's tools.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "client/DialogDriver.h"
#include "platform/base/SystemInfo.h"
#include "platform/registry/Registry.h"
#include "platform/win/Module.h"
#include "server/app/ServerProcess.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using testsupport::Boxes;
using testsupport::ConnectionDialogProc;
using testsupport::DialogRun;
using testsupport::MakeRecord;
using testsupport::Record;
using namespace testsupport::dialog_ids;

class ConnectionDialogTest : public testsupport::ServerSuite {
 protected:
  static void SetUpTestSuite() {
    // The mailbox home, with two more profiles: one of two stores, one empty.
    std::string dir = testsupport::TestDir();
    ASSERT_TRUE(testsupport::PrepareMailboxHome(dir, MAPIPROF_BIN, ZELUSERS_BIN));
    using testsupport::RunProgram;
    ASSERT_EQ(RunProgram({MAPIPROF_BIN, "create", "Public"}), 0);
    ASSERT_EQ(RunProgram({MAPIPROF_BIN, "add-pst", "Public", dir + "/public.pst", "Public Folders"}), 0);
    ASSERT_EQ(RunProgram({MAPIPROF_BIN, "add-pst", "Public", dir + "/archive.pst", "Archive"}), 0);
    ASSERT_EQ(RunProgram({MAPIPROF_BIN, "create", "Leer"}), 0);
    server_ = new testsupport::ServerProcess(ZELSERVER_BIN, dir + "/home");
    ASSERT_TRUE(server_->ready());

    module_ = LoadLibraryA(ZELCLIENT_MODULE);
    ASSERT_NE(module_, nullptr) << win::LastLoadError();
    // By ordinal, as the provider may.
    dialog_ = reinterpret_cast<ConnectionDialogProc>(GetProcAddress(module_, MAKEINTRESOURCE(3)));
    ASSERT_NE(dialog_, nullptr);
    testsupport::RecordBoxes();
  }
  static void TearDownTestSuite() {
    win::SetMessageBoxHandler({});
    StopServer();
  }
  void SetUp() override {
    ServerSuite::SetUp();
    setenv("ZEL_RPC_ENDPOINT", server_->port().c_str(), 1);
    testsupport::ClearBoxes();
  }

  inline static HMODULE module_ = nullptr;
  inline static ConnectionDialogProc dialog_ = nullptr;
};

TEST_F(ConnectionDialogTest, WrongPasswordThenProfilesStoresAndTheChosenConnection) {
  Record record = MakeRecord("", testsupport::Mailbox::kUser, "wrong");
  DialogRun run(dialog_, &record);
  ASSERT_NE(run.dialog(), nullptr);
  EXPECT_EQ(run.Text(kLogin), "jsmith");
  EXPECT_TRUE(run.Enabled(kConnect));
  EXPECT_FALSE(run.Enabled(IDOK));
  run.Type(kComputer, "127.0.0.1");

  // A wrong password is said once; Connect then does nothing until a field changes.
  run.Click(kConnect);
  EXPECT_EQ(Boxes(), std::vector<std::string>{"Benutzername oder Passwort falsch"});
  run.Click(kConnect);
  EXPECT_EQ(Boxes().size(), 1u);
  EXPECT_TRUE(run.Tree().empty());

  run.Type(kPassword, testsupport::Mailbox::kPassword);
  run.Click(kConnect);
  EXPECT_EQ(Boxes().size(), 1u);
  std::set<std::string> profiles;
  for (const auto& n : run.Tree()) {
    EXPECT_EQ(n.parent, 0u) << n.text;
    EXPECT_EQ(n.children, 1) << n.text;
    profiles.insert(n.text);
  }
  EXPECT_EQ(profiles, (std::set<std::string>{"mailbox_jsmith", "Public", "Leer"}));

  // Expanding asks the server for a profile's stores, once.
  for (const char* profile : {"Public", "Leer", "mailbox_jsmith", "Public"}) {
    const win::TreeNode* node = run.Node(profile);
    ASSERT_NE(node, nullptr) << profile;
    SendMessage(run.Item(kTree), win::ZM_FE_EXPAND, 0, static_cast<LPARAM>(node->handle));
  }
  std::vector<std::string> stores;
  for (const auto& n : run.Tree()) {
    if (n.parent) stores.push_back(n.text);
  }
  EXPECT_EQ(std::multiset<std::string>(stores.begin(), stores.end()),
            (std::multiset<std::string>{"Public Folders", "Archive", testsupport::Mailbox::kStore}));
  ASSERT_NE(run.Node("Leer"), nullptr);
  EXPECT_EQ(run.Node("Leer")->children, 0);  // no stores: no mark

  // A store names the connection; a profile alone does not.
  SendMessage(run.Item(kTree), win::ZM_FE_TVSELECT, 0, static_cast<LPARAM>(run.Node("Archive")->handle));
  EXPECT_EQ(run.Text(kConnection), "127.0.0.1(Public)(Archive)");
  SendMessage(run.Item(kTree), win::ZM_FE_TVSELECT, 0, static_cast<LPARAM>(run.Node("Public")->handle));
  EXPECT_EQ(run.Text(kConnection), "127.0.0.1(Public)(Archive)");
  EXPECT_TRUE(run.Enabled(IDOK));

  run.Click(IDOK);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_STREQ(record.connection, "127.0.0.1(Public)(Archive)");
  EXPECT_STREQ(record.login, "jsmith");
  EXPECT_STREQ(record.password, "secret");
}

TEST_F(ConnectionDialogTest, OpensFromTheRecordAndCancelLeavesIt) {
  struct Case {
    const char* connection;
    const char* login;
    const char* computer;  // what the computer field shows
    std::string shownLogin;
  } cases[] = {
      {"zelsrv(mailbox_jsmith)(Mailbox)", "", "zelsrv", UserName()},
      {"zelsrv", "mmuster", "zelsrv", "mmuster"},
      {"", "mmuster", "", "mmuster"},
  };
  for (const Case& c : cases) {
    Record record = MakeRecord(c.connection, c.login, "pw");
    Record before = record;
    DialogRun run(dialog_, &record);
    ASSERT_NE(run.dialog(), nullptr);
    EXPECT_EQ(run.Text(kComputer), c.computer) << c.connection;
    EXPECT_EQ(run.Text(kLogin), c.shownLogin) << c.connection;
    EXPECT_EQ(run.Text(kPassword), "**");  // other threads see the password masked
    EXPECT_EQ(run.Text(kConnection), c.connection);
    EXPECT_EQ(run.Enabled(IDOK), *c.connection != '\0') << c.connection;
    run.Click(IDCANCEL);
    EXPECT_EQ(run.Finish(), 1);
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0) << c.connection;
  }
}

// A listening socket on `address`:`port`; a full queue (backlog 0 and one
// waiting connection) makes it a host that never answers a new connection.
class Listener {
 public:
  Listener(const char* address, int port, bool blackhole) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, blackhole ? 0 : 16) == 0;
    if (ok_ && blackhole) {
      filler_ = socket(AF_INET, SOCK_STREAM, 0);
      ok_ = connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
  }
  ~Listener() {
    if (filler_ >= 0) close(filler_);
    close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  int filler_ = -1;
  bool ok_ = false;
};

void SetBrowseList(const std::vector<const char*>& names) {
  RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vantrel\\Network");
  HKEY key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vantrel\\Network\\Computers", 0, nullptr, 0,
                           KEY_ALL_ACCESS, nullptr, &key, nullptr),
            0);
  for (const char* name : names) RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1);
  RegCloseKey(key);
}

TEST_F(ConnectionDialogTest, BrowsingListsTheHostsThatAnswerAndNoHostFreezesIt) {
  // Every host on one port of its own: one answers, one never does, one refuses.
  int port = testsupport::FreePort();
  Listener answering("127.0.0.1", port, false);
  Listener answering2("127.0.0.4", port, false);
  Listener blackholed("127.0.0.2", port, true);
  ASSERT_TRUE(answering.ok() && answering2.ok() && blackholed.ok());
  setenv("ZEL_RPC_ENDPOINT", std::to_string(port).c_str(), 1);
  std::string hosts = testsupport::TestDir() + "/hosts";
  std::ofstream(hosts) << "# none\n";
  setenv("ZEL_HOSTS_FILE", hosts.c_str(), 1);
  SetBrowseList({"127.0.0.4", "127.0.0.2", "127.0.0.3", "127.0.0.1"});

  Record record = MakeRecord("", "jsmith", "");
  DialogRun run(dialog_, &record);
  ASSERT_NE(run.dialog(), nullptr);
  HWND combo = run.Item(kComputer);
  // Bounded so a frozen dialog fails the test instead of hanging it.
  ULONG_PTR opened = 0;
  ASSERT_NE(SendMessageTimeout(combo, CB_SHOWDROPDOWN, TRUE, 0, SMTO_NORMAL, 60000, &opened), 0);
  const std::vector<std::string> listed{"127.0.0.4", "127.0.0.1"};  // in the network's order
  EXPECT_EQ(run.Items(kComputer), listed);

  // Later openings show the same list without asking again.
  Listener late("127.0.0.3", port, false);
  ASSERT_TRUE(late.ok());
  SendMessage(combo, CB_SHOWDROPDOWN, FALSE, 0);
  SendMessage(combo, CB_SHOWDROPDOWN, TRUE, 0);
  EXPECT_EQ(run.Items(kComputer), listed);

  // Picking a computer puts it into the field.
  SendMessage(combo, win::ZM_FE_SELECT, 1, 0);
  EXPECT_EQ(run.Text(kComputer), "127.0.0.1");
  run.Click(IDCANCEL);
  EXPECT_EQ(run.Finish(), 1);
  EXPECT_TRUE(Boxes().empty());
  unsetenv("ZEL_HOSTS_FILE");
}

}  // namespace
}  // namespace vantrel
