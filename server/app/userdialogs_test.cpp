// The user list and the user edit dialog driven the way an administrator
// drives them: by control id over the front-end protocol, from another
// thread of this process, while the dialogs run on their own thread.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "Libraries/MapiWrapper/TableHelpers.h"
#include "platform/mapi/MapiSession.h"
#include "platform/win/FrontEnd.h"
#include "platform/mapi/ProfileStore.h"
#include "server/app/DlgEditUser.h"
#include "server/app/DlgUsers.h"
#include "server/app/MailboxProfile.h"
#include "server/app/ZelConfig.h"
#include "server/sessions/CryptFile.h"
#include "server/sessions/UserABContainer.h"
#include "server/app/DialogDriver.h"

namespace fs = std::filesystem;
using vantrel::admin::DialogDriver;
using vantrel::win::FrontEndClient;

namespace {

constexpr int kTimeoutMs = 20000;
const std::vector<int> kUsersDialog = {IDC_USERS_LIST, IDC_USERS_NEW, IDC_USERS_DELETE};
const std::vector<int> kEditDialog = {IDC_EDIT_LOGIN, IDC_EDIT_DISPLAY, IDC_EDIT_PASSWORD};

class MapiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(MAPIInitialize(nullptr), S_OK); }
  void TearDown() override { MAPIUninitialize(); }
};
const auto* g_mapi = ::testing::AddGlobalTestEnvironment(new MapiEnvironment);

std::string Scratch(const std::string& name) {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  fs::path dir = fs::path(tmp ? tmp : "/tmp") / "userdialogs" / name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

// For state outside the records (the directory): polled, within a bound.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

HWND Handle(const std::string& key) { return reinterpret_cast<HWND>(std::strtoull(key.c_str(), nullptr, 16)); }

// A directory on a home folder of its own, a configuration, and a front
// end attached to this process.
class UserDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = Scratch(::testing::UnitTest::GetInstance()->current_test_info()->name());
    config_.SetProgramFolder(home_);
    config_.CompletePaths();
    dir_ = new CUserABContainer(CUserABContainer::UsersFileIn(home_));
    std::string error;
    vantrel::win::EnsureFrontEnds();  // this process listens for front ends
    ASSERT_TRUE(client_.Attach(getpid(), kTimeoutMs, &error)) << error;
  }
  void TearDown() override {
    // Whatever a failed step left open ends, rather than hang the test.
    for (const auto* w : client_.Windows())
      if (w->Get("id") == "0" && w->Get("class") == "#32770") PostMessageA(Handle(w->key), WM_CLOSE, 0, 0);
    client_.Detach();
    if (ui_.joinable()) ui_.join();
    dir_->Release();
  }

  void AddUser(const std::string& login, const std::string& display, const std::string& password) {
    CGenMapiPropPtr entry;
    ASSERT_EQ(dir_->CreateEntry(0, nullptr, 0, reinterpret_cast<LPMAPIPROP*>(entry.Receive())), S_OK);
    entry.SetProp(PR_ACCOUNT, std::string_view(login));
    entry.SetProp(PR_DISPLAY_NAME, std::string_view(display));
    entry.SetProp(PR_ZEL_PASSWORD, std::string_view(password));
    ASSERT_EQ(entry->SaveChanges(0), S_OK);
  }

  // "login/password" for each user of the directory, in table order.
  std::vector<std::string> Users() {
    IMAPITablePtr table;
    EXPECT_EQ(dir_->GetContentsTable(0, table.Receive()), S_OK);
    CRowSet rows = vantrel::mapiwrapper::QueryAllRows(table.get(), {PR_ACCOUNT, PR_ZEL_PASSWORD, PR_ENTRYID});
    std::vector<std::string> out;
    for (ULONG i = 0; i < rows.Count(); ++i)
      if (rows[i][2].Type() == PT_BINARY) out.push_back(rows[i][0].ToString() + "/" + rows[i][1].ToString());
    return out;
  }

  // Runs `dialog` on the dialogs' thread.
  void Run(std::function<INT_PTR()> dialog) {
    ui_ = std::thread([this, dialog] { result_ = dialog(); });
  }
  void RunUsers() {
    Run([this] { return CDlgUsers(dir_, &config_, nullptr).DoModal(); });
  }
  // Waits for the dialogs' thread and for the last dialog's records to go.
  INT_PTR Finish(const std::string& dialog) {
    ui_.join();
    EXPECT_TRUE(driver_.WaitGone(dialog));
    return result_.load();
  }

  // Types into the edit dialog's fields in `order`; OK must stay disabled
  // until the last one.
  void Fill(const std::string& dlg, const std::vector<std::pair<int, std::string>>& order) {
    std::string error;
    for (size_t i = 0; i < order.size(); ++i) {
      ASSERT_TRUE(driver_.Type(dlg, order[i].first, order[i].second, &error)) << error;
      const bool last = i + 1 == order.size();
      // The text has arrived once the edit shows it (the password as *s).
      ASSERT_TRUE(driver_.WaitFor([&] {
        const auto* c = driver_.Control(dlg, order[i].first);
        return c && c->Get("title").size() == order[i].second.size();
      }));
      ASSERT_TRUE(driver_.WaitEnabled(dlg, IDOK, last)) << "after field " << order[i].first;
      ASSERT_TRUE(driver_.WaitEnabled(dlg, IDC_EDIT_APPLY, last)) << "after field " << order[i].first;
    }
  }

  std::string home_;
  CZelConfig config_;
  CUserABContainer* dir_ = nullptr;
  FrontEndClient client_;
  DialogDriver driver_{&client_, kTimeoutMs};
  std::thread ui_;
  std::atomic<INT_PTR> result_{-7};
};

TEST_F(UserDialogs, OkNeedsDisplayNameLoginAndPasswordInAnyOrder) {
  using Order = std::vector<std::pair<int, std::string>>;
  const Order orders[] = {
      {{IDC_EDIT_LOGIN, "asmith"}, {IDC_EDIT_PASSWORD, "pw1"}, {IDC_EDIT_DISPLAY, "Anna Smith"}},
      {{IDC_EDIT_DISPLAY, "Bob Jones"}, {IDC_EDIT_PASSWORD, "pw2"}, {IDC_EDIT_LOGIN, "bjones"}},
      {{IDC_EDIT_DISPLAY, "Cy Young"}, {IDC_EDIT_LOGIN, "cyoung"}, {IDC_EDIT_PASSWORD, "pw3"}},
  };
  std::vector<std::string> expected;
  for (const Order& order : orders) {
    RunUsers();
    std::string error;
    std::string users = driver_.WaitDialog(kUsersDialog);
    ASSERT_FALSE(users.empty());
    ASSERT_TRUE(driver_.Click(users, IDC_USERS_NEW, &error)) << error;
    std::string edit = driver_.WaitDialog(kEditDialog);
    ASSERT_FALSE(edit.empty());
    // A new user: the login can be typed, OK waits for the three fields.
    EXPECT_EQ(driver_.Control(edit, IDC_EDIT_LOGIN)->Get("enabled"), "1");
    EXPECT_EQ(driver_.Control(edit, IDOK)->Get("enabled"), "0");
    Fill(edit, order);
    ASSERT_TRUE(driver_.Click(edit, IDOK, &error)) << error;
    ASSERT_TRUE(driver_.WaitGone(edit));

    std::string login, password;
    for (const auto& [id, text] : order) (id == IDC_EDIT_LOGIN ? login : id == IDC_EDIT_PASSWORD ? password : error) = text;
    expected.push_back(login + "/" + password);
    // The list shows the new user at once.
    ASSERT_TRUE(driver_.WaitFor([&] { return driver_.Rows(users, IDC_USERS_LIST).size() == expected.size(); }));
    ASSERT_TRUE(driver_.Click(users, IDOK, &error)) << error;
    EXPECT_EQ(Finish(users), IDOK);
  }
  EXPECT_EQ(Users(), expected);
  // OK wrote them: a fresh directory reads the same users.
  auto* again = new CUserABContainer(CUserABContainer::UsersFileIn(home_));
  again->Load();
  EXPECT_EQ(again->EntryCount(), expected.size());
  EXPECT_TRUE(CheckUser(*again, "bjones", "pw2", nullptr));
  again->Release();
}

TEST_F(UserDialogs, ExistingLoginIsReadOnlyAndApplyKeepsTheDialogOpen) {
  AddUser("anna", "Anna Berg", "old");
  RunUsers();
  std::string error;
  std::string users = driver_.WaitDialog(kUsersDialog);
  ASSERT_FALSE(users.empty());
  auto rows = driver_.Rows(users, IDC_USERS_LIST);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].texts, (std::vector<std::string>{"Anna Berg", "anna"}));
  ASSERT_TRUE(client_.Command("dblclick", {users, std::to_string(IDC_USERS_LIST), "0"}, kTimeoutMs, &error)) << error;
  std::string edit = driver_.WaitDialog(kEditDialog);
  ASSERT_FALSE(edit.empty());
  EXPECT_EQ(driver_.Control(edit, IDC_EDIT_LOGIN)->Get("title"), "anna");
  EXPECT_EQ(driver_.Control(edit, IDC_EDIT_DISPLAY)->Get("title"), "Anna Berg");
  EXPECT_EQ(driver_.Control(edit, IDC_EDIT_PASSWORD)->Get("title"), "***");
  EXPECT_EQ(driver_.Control(edit, IDC_EDIT_LOGIN)->Get("enabled"), "0");
  EXPECT_EQ(driver_.Control(edit, IDOK)->Get("enabled"), "1");
  EXPECT_FALSE(driver_.Type(edit, IDC_EDIT_LOGIN, "eve", &error));
  EXPECT_NE(error.find("disabled"), std::string::npos) << error;

  // A cleared password disables OK again; Apply writes without closing.
  ASSERT_TRUE(driver_.Type(edit, IDC_EDIT_PASSWORD, "", &error)) << error;
  ASSERT_TRUE(driver_.WaitEnabled(edit, IDOK, false));
  ASSERT_TRUE(driver_.Type(edit, IDC_EDIT_PASSWORD, "new", &error)) << error;
  ASSERT_TRUE(driver_.WaitEnabled(edit, IDC_EDIT_APPLY, true));
  ASSERT_TRUE(driver_.Click(edit, IDC_EDIT_APPLY, &error)) << error;
  ASSERT_TRUE(Eventually([&] { return CheckUser(*dir_, "anna", "new", nullptr); }));
  EXPECT_FALSE(CheckUser(*dir_, "anna", "old", nullptr));
  EXPECT_NE(driver_.Window(edit), nullptr);
  ASSERT_TRUE(driver_.Click(edit, IDCANCEL, &error)) << error;
  ASSERT_TRUE(driver_.WaitGone(edit));
  ASSERT_TRUE(driver_.Click(users, IDOK, &error)) << error;
  EXPECT_EQ(Finish(users), IDOK);
}

TEST_F(UserDialogs, ThreeDeletedAtOnceAndCancelBringsThemBack) {
  for (const char* login : {"u1", "u2", "u3", "u4"}) AddUser(login, std::string("User ") + login, "pw");
  dir_->SaveUsersFile();

  for (bool cancel : {true, false}) {
    RunUsers();
    std::string error;
    std::string users = driver_.WaitDialog(kUsersDialog);
    ASSERT_FALSE(users.empty());
    ASSERT_EQ(driver_.Rows(users, IDC_USERS_LIST).size(), 4u);
    // Rows 0, 1 and 3 selected together, as with the control key.
    HWND list = Handle(driver_.Control(users, IDC_USERS_LIST)->key);
    for (int row : {0, 1, 3}) {
      LVITEMA item{};
      item.state = LVIS_SELECTED;
      item.stateMask = LVIS_SELECTED;
      SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
    ASSERT_TRUE(driver_.Click(users, IDC_USERS_DELETE, &error)) << error;
    ASSERT_TRUE(driver_.WaitFor([&] { return driver_.Rows(users, IDC_USERS_LIST).size() == 1; }));
    EXPECT_EQ(driver_.Rows(users, IDC_USERS_LIST)[0].texts[1], "u3");
    EXPECT_EQ(Users(), (std::vector<std::string>{"u3/pw"}));
    ASSERT_TRUE(driver_.Click(users, cancel ? IDCANCEL : IDOK, &error)) << error;
    EXPECT_EQ(Finish(users), cancel ? IDCANCEL : IDOK);
    if (cancel) {
      // The file still held them.
      EXPECT_EQ(Users(), (std::vector<std::string>{"u1/pw", "u2/pw", "u3/pw", "u4/pw"}));
    } else {
      dir_->Load();
      EXPECT_EQ(Users(), (std::vector<std::string>{"u3/pw"}));
    }
  }
}

TEST_F(UserDialogs, EncryptionNoticeOnlyOnce) {
  // A users file of an older release: plain text.
  AddUser("old", "Old Timer", "pw");
  dir_->SaveUsersFile();
  CCryptFile file;
  std::string text = file.Read(dir_->UsersFile());
  ASSERT_TRUE(CCryptFile().Write(text, dir_->UsersFile(), false));
  dir_->Load();
  ASSERT_FALSE(dir_->UsersFileWasEncrypted());
  config_.CrypWarn = 1;
  ASSERT_TRUE(config_.Save());

  RunUsers();
  std::string box;
  ASSERT_TRUE(driver_.WaitFor([&] { return !(box = driver_.FindMessageBox()).empty(); }));
  EXPECT_NE(driver_.BoxText(box).find("users.zlf"), std::string::npos) << driver_.BoxText(box);
  std::string error;
  ASSERT_TRUE(driver_.Answer(box, IDOK, &error)) << error;
  std::string users = driver_.WaitDialog(kUsersDialog);
  ASSERT_FALSE(users.empty());
  CZelConfig stored;
  stored.Load();
  EXPECT_EQ(stored.CrypWarn, 0u);
  ASSERT_TRUE(driver_.Click(users, IDCANCEL, &error)) << error;
  EXPECT_EQ(Finish(users), IDCANCEL);

  // The file is still plain text (Cancel wrote nothing), the notice is not
  // shown again.
  dir_->Load();
  ASSERT_FALSE(dir_->UsersFileWasEncrypted());
  RunUsers();
  users = driver_.WaitDialog(kUsersDialog);
  ASSERT_FALSE(users.empty());
  EXPECT_EQ(driver_.FindMessageBox(), "");
  ASSERT_TRUE(driver_.Click(users, IDOK, &error)) << error;
  EXPECT_EQ(Finish(users), IDOK);
}

TEST_F(UserDialogs, MailboxOnlyWhenAsked) {
  AddUser("mbox", "Mia Box", "pw");
  {  // left by an earlier run in the same registry
    vantrel::ComPtr<IProfAdmin> admin;
    ASSERT_EQ(MAPIAdminProfiles(0, admin.Out()), S_OK);
    admin->DeleteProfile(const_cast<LPSTR>("mailbox_mbox"), 0);
  }
  RunUsers();
  std::string error;
  std::string users = driver_.WaitDialog(kUsersDialog);
  ASSERT_FALSE(users.empty());
  EXPECT_FALSE(vantrel::mapi::ProfileStore::Exists("mailbox_mbox"));
  ASSERT_TRUE(driver_.Pick(users, IDC_USERS_LIST, 0, &error)) << error;
  ASSERT_TRUE(driver_.WaitFor([&] {
    auto rows = driver_.Rows(users, IDC_USERS_LIST);
    return !rows.empty() && (rows[0].state & LVIS_SELECTED);
  }));
  for (bool first : {true, false}) {
    ASSERT_TRUE(driver_.Click(users, IDC_USERS_MAILBOX, &error)) << error;
    std::string box;
    ASSERT_TRUE(driver_.WaitFor([&] { return !(box = driver_.FindMessageBox()).empty(); }));
    // The second time the profile exists: said, and nothing changed.
    EXPECT_NE(driver_.BoxText(box).find(first ? "mbox.pst" : "exists"), std::string::npos) << driver_.BoxText(box);
    ASSERT_TRUE(driver_.Answer(box, IDOK, &error)) << error;
    ASSERT_TRUE(driver_.WaitGone(box));
  }
  EXPECT_TRUE(vantrel::mapi::ProfileStore::Exists("mailbox_mbox"));
  ASSERT_TRUE(driver_.Click(users, IDOK, &error)) << error;
  EXPECT_EQ(Finish(users), IDOK);

  std::string message;
  EXPECT_FALSE(CreateMailboxProfile("../etc", "x", config_.MailboxPath, &message));
  EXPECT_FALSE(fs::exists(fs::path(config_.MailboxPath) / "../etc.pst"));
}

TEST_F(UserDialogs, OneListAtATime) {
  RunUsers();
  std::string users = driver_.WaitDialog(kUsersDialog);
  ASSERT_FALSE(users.empty());
  EXPECT_EQ(CDlgUsers::Open()->Hwnd(), Handle(users));
  EXPECT_EQ(CDlgUsers(dir_, &config_, nullptr).DoModal(), -1);
  std::string error;
  ASSERT_TRUE(driver_.Click(users, IDOK, &error)) << error;
  EXPECT_EQ(Finish(users), IDOK);
  EXPECT_EQ(CDlgUsers::Open(), nullptr);
}

}  // namespace
