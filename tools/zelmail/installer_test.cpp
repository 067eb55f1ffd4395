// The service installer as a person reaches it: zelext registered and
// loaded by the mail client in its place, its menu command chosen on a
// session of the profile in use, the dialog driven by control id through
// the window platform.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/ExchExt.h"
#include "platform/mapi/MapiSession.h"
#include "platform/registry/Registry.h"
#include "platform/win/CommCtrl.h"
#include "platform/win/Controls.h"
#include "platform/win/Dialog.h"
#include "platform/win/Menu.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/WindowPlatform.h"
#include "tools/zelmail/ExtensionHost.h"
#include "tools/zelmail/RegisterExtension.h"

namespace {

constexpr int kList = 4020, kDelete = 4021, kNew = 4023;

vantrel::Mutex boxes_mu;
std::vector<std::string> boxes GUARDED_BY(boxes_mu);

std::string Boxes() {
  vantrel::MutexLock lock(boxes_mu);
  std::string all;
  for (const auto& b : boxes) all += "[" + b + "]";
  return all;
}

template <typename Done>
bool Eventually(Done done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      vantrel::MutexLock lock(boxes_mu);
      boxes.clear();
    }
    vantrel::win::SetMessageBoxHandler([](const vantrel::win::MessageBoxRecord& box) {
      vantrel::MutexLock lock(boxes_mu);
      boxes.push_back(box.text);
      return vantrel::win::DefaultButton(box.type);
    });
    ASSERT_TRUE(AppendMenuA(tools_, MF_STRING, 134, "Services..."));
    // Registered as its installer would, loaded as the client does.
    RegisterExtension(ZELEXT_MODULE);
    if (::testing::Test::HasFatalFailure()) return;
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    host_.reset();
    if (session_) session_->Release();
    MAPIUninitialize();
    DestroyMenu(tools_);
    vantrel::win::SetMessageBoxHandler(nullptr);
  }

  void Profile(const std::string& name) {
    std::string cmd = std::string(MAPIPROF_BIN) + " delete " + name + " >/dev/null 2>&1; " + MAPIPROF_BIN +
                      " create " + name + " && " + MAPIPROF_BIN + " add-pst " + name + " " +
                      std::getenv("VANTREL_TEST_TMPDIR") + "/" + name + ".pst Local >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_EQ(MAPILogonEx(0, const_cast<char*>(name.c_str()), const_cast<char*>(""),
                          MAPI_NEW_SESSION | MAPI_EXTENDED | MAPI_NO_MAIL, &session_),
              S_OK);
    host_ = std::make_unique<vantrel::mail::ExtensionHost>(tools_, session_);
    std::vector<std::string> why;
    host_->LoadRegistered(&why);
    ASSERT_TRUE(why.empty()) << why[0];
    // Our separator, the identifier after it, then the item.
    ASSERT_EQ(host_->next_command(), vantrel::mail::ExtensionHost::kFirstCommand + 3);
    item_ = vantrel::mail::ExtensionHost::kFirstCommand + 2;
    char text[64] = "";
    GetMenuStringA(tools_, item_, text, sizeof text, MF_BYCOMMAND);
    ASSERT_STREQ(text, "Install Vantrel");
  }

  // Chooses the menu item; the installer runs on its own thread.
  void Open() {
    thread_ = std::thread([this] {
      thread_id_ = GetCurrentThreadId();
      result_ = host_->DoCommand(item_);
    });
    ASSERT_TRUE(Eventually([this] { return (dialog_ = Find()) != nullptr; }));
  }
  HRESULT Close() {
    PostMessage(dialog_, WM_COMMAND, IDOK, 0);
    thread_.join();
    return result_;
  }
  std::vector<std::string> Items() const {
    vantrel::win::ControlSnapshot s;
    vantrel::win::SnapshotControl(GetDlgItem(dialog_, kList), &s);
    std::vector<std::string> items;
    for (const auto& row : s.rows) items.push_back(row.texts.empty() ? "" : row.texts[0]);
    return items;
  }
  void Click(int id) { SendMessage(GetDlgItem(dialog_, id), BM_CLICK, 0, 0); }

  HWND Find() const {
    if (!thread_id_) return nullptr;
    for (HWND h : vantrel::win::ProcessWindows()) {
      char cls[32] = "";
      GetClassNameA(h, cls, sizeof cls);
      if (GetWindowThreadProcessId(h, nullptr) == thread_id_ && std::strcmp(cls, WC_DIALOG) == 0 &&
          GetDlgItem(h, kList)) {
        return h;
      }
    }
    return nullptr;
  }

  HMENU tools_ = CreatePopupMenu();
  LPMAPISESSION session_ = nullptr;
  std::unique_ptr<vantrel::mail::ExtensionHost> host_;
  UINT item_ = 0;
  std::thread thread_;
  std::atomic<DWORD> thread_id_{0};
  std::atomic<HRESULT> result_{E_FAIL};
  HWND dialog_ = nullptr;
};

// MAPISVC.INF here does not know the service: New writes it directly, the
// list shows it and only it, and Delete removes it.
TEST_F(InstallerTest, NewWritesTheRefusedServiceDirectlyAndDeleteRemovesIt) {
  Profile("installer");
  Open();
  vantrel::win::ControlSnapshot list;
  vantrel::win::SnapshotControl(GetDlgItem(dialog_, kList), &list);
  ASSERT_EQ(list.columns.size(), 2u);
  EXPECT_EQ(list.columns[0].width, 300);
  EXPECT_EQ(list.columns[1].width, 100);
  EXPECT_TRUE(list.rows.empty());  // the store of another kind is not listed
  const std::vector<std::string> one{"MSZLF Brimwell"};
  Click(kNew);
  EXPECT_TRUE(Eventually([&] { return Items() == one; })) << Boxes();
  EXPECT_EQ(Boxes(), "");
  ListView_SetItemState(GetDlgItem(dialog_, kList), 0, LVIS_SELECTED, LVIS_SELECTED);
  Click(kDelete);
  EXPECT_TRUE(Eventually([&] { return Items().empty(); }));
  EXPECT_EQ(Close(), S_OK);
}

// A profile MAPI runs on but the registry no longer has: New says so and
// writes nothing. (The status table reads the profile from the registry
// too, so the name it gives is empty by then.)
TEST_F(InstallerTest, NewOnAProfileMissingFromTheRegistrySaysSo) {
  Profile("vanished");
  const std::string key = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows Messaging Subsystem\\Profiles";
  HKEY root = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, &root), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTree(root, "vanished"), ERROR_SUCCESS);
  RegCloseKey(root);
  Open();
  Click(kNew);
  EXPECT_TRUE(Eventually([] { return Boxes() == "[Can not find profile  in registry]"; })) << Boxes();
  EXPECT_TRUE(Items().empty());
  HKEY gone = nullptr;
  EXPECT_NE(RegOpenKeyEx(HKEY_CURRENT_USER, (key + "\\vanished").c_str(), 0, KEY_READ, &gone), ERROR_SUCCESS);
  EXPECT_EQ(Close(), S_OK);
}

}  // namespace
