// The connection dialog of a resource library whose template makes the
// login field a drop-down list of the directory's users.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/DialogDriver.h"
#include "platform/registry/Registry.h"
#include "platform/win/Module.h"
#include "server/app/ServerProcess.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using testsupport::DialogRun;
using testsupport::MakeRecord;
using testsupport::Record;
using namespace testsupport::dialog_ids;

class UserListTest : public testsupport::ServerSuite {
 protected:
  static void SetUpTestSuite() {
    StartServer();
    // The library is chosen when zelclient loads.
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\HOLLIN\\Brimwell", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                             &key, nullptr),
              0);
    const std::string library = USERLIST_LIBRARY;
    RegSetValueEx(key, "ResouceDLLZelclient", 0, REG_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
                  static_cast<DWORD>(library.size() + 1));
    RegCloseKey(key);
    HMODULE module = LoadLibraryA(ZELCLIENT_MODULE);
    ASSERT_NE(module, nullptr) << win::LastLoadError();
    dialog_ = reinterpret_cast<testsupport::ConnectionDialogProc>(GetProcAddress(module, "ConnectionDialog"));
    ASSERT_NE(dialog_, nullptr);
    testsupport::RecordBoxes();
  }
  static void TearDownTestSuite() {
    win::SetMessageBoxHandler({});
    StopServer();
  }

  inline static testsupport::ConnectionDialogProc dialog_ = nullptr;
};

// This server keeps no directory (it answers every directory operation with
// 1), so the list says the directory cannot be reached, in the library's
// words; an unreachable computer reads the same.
TEST_F(UserListTest, ListSaysWhenTheDirectoryCannotBeReached) {
  setenv("ZEL_RPC_ENDPOINT", server_->port().c_str(), 1);
  for (std::string computer : {"127.0.0.1", "no-such-host.invalid"}) {
    Record record = MakeRecord((computer + "(mailbox_jsmith)(Mailbox - John Smith)").c_str(), "jsmith", "secret");
    DialogRun run(dialog_, &record);
    ASSERT_NE(run.dialog(), nullptr);
    HWND login = run.Item(kLogin);
    SendMessage(login, CB_SHOWDROPDOWN, TRUE, 0);
    EXPECT_EQ(run.Items(kLogin), std::vector<std::string>{"Verzeichnis nicht erreichbar"});
    SendMessage(login, CB_SHOWDROPDOWN, FALSE, 0);
    SendMessage(login, CB_SHOWDROPDOWN, TRUE, 0);  // each opening asks again
    EXPECT_EQ(run.Items(kLogin), std::vector<std::string>{"Verzeichnis nicht erreichbar"});

    // The rest of the dialog works as with the built-in template.
    run.Click(kConnect);
    bool listed = !run.Tree().empty();
    EXPECT_EQ(listed, computer == "127.0.0.1");
    run.Click(IDCANCEL);
    EXPECT_EQ(run.Finish(), 1);
  }
  EXPECT_TRUE(testsupport::Boxes().empty());
}

}  // namespace
}  // namespace vantrel
