// zelext as the mail client sees it: registered under the client's
// extension key, loaded by the path and ordinal of that value, and driven
// through the extension interfaces with a callback of the client's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/mapi/ExchExt.h"
#include "platform/registry/Registry.h"
#include "platform/win/Dialog.h"
#include "platform/win/Menu.h"
#include "platform/win/Module.h"

namespace {

constexpr char kExtensionsKey[] = "SOFTWARE\\Microsoft\\Exchange\\Client\\Extensions";

// A counted object the callback hands out as the session; the extension
// may only release it.
struct CountedSession : IUnknown {
  std::atomic<ULONG> refs{1};
  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};

// The client's side of the calls.
class Callback final : public IExchExtCallback {
 public:
  ULONG version = EECBGV_BUILDVERSION_MAJOR | 0x0A2B;
  HMENU tools = nullptr;  // holds command 134
  bool menu_found = true;
  CountedSession session;

  HRESULT QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT GetVersion(ULONG* v, ULONG flags) override {
    if (flags != EECBGV_GETBUILDVERSION) return E_INVALIDARG;
    *v = version;
    return S_OK;
  }
  HRESULT GetWindow(HWND* w) override {
    *w = nullptr;
    return S_OK;
  }
  HRESULT GetMenu(HMENU* m) override {
    *m = tools;
    return S_OK;
  }
  HRESULT GetToolbar(ULONG, HWND*) override { return E_NOTIMPL; }
  HRESULT GetSession(LPMAPISESSION* s, LPADRBOOK* ab) override {
    session.AddRef();
    *s = reinterpret_cast<LPMAPISESSION>(&session);
    if (ab) *ab = nullptr;
    return S_OK;
  }
  HRESULT GetObject(LPMDB*, LPMAPIPROP*) override { return E_NOTIMPL; }
  HRESULT GetSelectionCount(ULONG*) override { return E_NOTIMPL; }
  HRESULT GetSelectionItem(ULONG, ULONG*, LPENTRYID*, ULONG*, LPSTR, ULONG, ULONG*, ULONG) override {
    return E_NOTIMPL;
  }
  HRESULT GetMenuPos(ULONG cmd, HMENU* menu, ULONG* first, ULONG* last, ULONG) override {
    if (cmd != 134 || !menu_found) return E_FAIL;
    *menu = tools;
    *first = 0;
    *last = static_cast<ULONG>(GetMenuItemCount(tools));
    return S_OK;
  }
  HRESULT GetSharedExtsDir(LPSTR, ULONG, ULONG) override { return E_NOTIMPL; }
  HRESULT GetRecipients(LPADRLIST*) override { return E_NOTIMPL; }
  HRESULT SetRecipients(LPADRLIST) override { return E_NOTIMPL; }
  HRESULT GetNewMessageSite(ULONG, LPMAPIFOLDER, IPersistMessage*, LPMESSAGE*, IMAPIMessageSite**,
                            IMAPIViewContext**, ULONG) override {
    return E_NOTIMPL;
  }
  HRESULT RegisterModeless(IExchExtModeless*, IExchExtModelessCallback**) override { return E_NOTIMPL; }
  HRESULT ChooseFolder(HWND, LPMDB*, LPMAPIFOLDER*, LPSTR, ULONG) override { return E_NOTIMPL; }
};

std::string ReadZelConfig() {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kExtensionsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
  char buf[1024] = {};
  DWORD type = 0;
  DWORD size = sizeof buf - 1;
  LSTATUS st = RegQueryValueEx(key, "ZelConfig", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size);
  RegCloseKey(key);
  if (st != ERROR_SUCCESS) return "<no value>";
  return std::string(buf, strnlen(buf, size));
}

class ZelExtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kExtensionsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    module_ = LoadLibraryA(ZELEXT_MODULE);
    ASSERT_NE(module_, nullptr) << vantrel::win::LastLoadError();
    auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, MAKEINTRESOURCEA(2)));
    ASSERT_NE(reg, nullptr);
    ASSERT_EQ(reg(), S_OK);
    // Load it again the way the mail client does: path and ordinal from
    // the registration value.
    std::string value = ReadZelConfig();
    size_t a = value.find(';');
    size_t b = value.find(';', a + 1);
    size_t c = value.find(';', b + 1);
    ASSERT_NE(c, std::string::npos) << value;
    HMODULE again = LoadLibraryA(value.substr(a + 1, b - a - 1).c_str());
    ASSERT_EQ(again, module_);
    FreeLibrary(again);
    int ordinal = std::stoi(value.substr(b + 1, c - b - 1));
    entry_ = reinterpret_cast<LPFNEXCHEXTENTRY>(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal)));
    ASSERT_NE(entry_, nullptr);
    callback_.tools = CreatePopupMenu();
    ASSERT_TRUE(AppendMenuA(callback_.tools, MF_STRING, 134, "Services..."));
  }
  void TearDown() override {
    if (callback_.tools) DestroyMenu(callback_.tools);
    if (module_) FreeLibrary(module_);
  }

  // A fresh extension installed in `context`, with its command object.
  IExchExtCommands* Installed(IExchExt* ext, ULONG context, HRESULT* install) {
    *install = ext->Install(&callback_, context, 0);
    IExchExtCommands* cmds = nullptr;
    EXPECT_EQ(ext->QueryInterface(IID_IExchExtCommands, reinterpret_cast<void**>(&cmds)), S_OK);
    return cmds;
  }

  HMODULE module_ = nullptr;
  LPFNEXCHEXTENTRY entry_ = nullptr;
  Callback callback_;
};

TEST_F(ZelExtTest, RegistrationValueAndItsRemoval) {
  char path[600];
  ASSERT_GT(GetModuleFileNameA(module_, path, sizeof path), 0u);
  EXPECT_EQ(ReadZelConfig(), std::string("4.0;") + path + ";1;11010000000101");
  auto unreg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, MAKEINTRESOURCEA(3)));
  ASSERT_NE(unreg, nullptr);
  EXPECT_EQ(unreg(), S_OK);
  EXPECT_EQ(ReadZelConfig(), "<no value>");
}

// A registration that cannot be written, or whose path would be cut, is
// reported and leaves no value behind.
TEST_F(ZelExtTest, RegistrationFailuresAreReported) {
  auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, MAKEINTRESOURCEA(2)));
  auto unreg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, MAKEINTRESOURCEA(3)));
  ASSERT_EQ(unreg(), S_OK);
  vantrel::registry::SetWriteFilter([](const std::string&, const std::string& value) -> LSTATUS {
    return value == "ZelConfig" ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  });
  EXPECT_EQ(reg(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  vantrel::registry::SetWriteFilter(nullptr);
  EXPECT_EQ(ReadZelConfig(), "<no value>");

  // The same library under a path of more than 512 characters.
  std::string dir = std::getenv("VANTREL_TEST_TMPDIR") ? std::getenv("VANTREL_TEST_TMPDIR") : "/tmp";
  for (char c : {'a', 'b', 'c'}) dir += "/" + std::string(200, c);
  std::filesystem::create_directories(dir);
  const std::string copy = dir + "/zelext.so";
  std::filesystem::copy_file(ZELEXT_MODULE, copy, std::filesystem::copy_options::overwrite_existing);
  ASSERT_GT(copy.size(), 512u);
  HMODULE deep = LoadLibraryA(copy.c_str());
  ASSERT_NE(deep, nullptr) << vantrel::win::LastLoadError();
  ASSERT_NE(deep, module_);
  auto deep_reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(deep, MAKEINTRESOURCEA(2)));
  ASSERT_NE(deep_reg, nullptr);
  EXPECT_EQ(deep_reg(), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(ReadZelConfig(), "<no value>");
  FreeLibrary(deep);
}

TEST_F(ZelExtTest, InstallByContextAndBuildVersion) {
  struct Case {
    ULONG context;
    ULONG version;
    HRESULT want;
  };
  const ULONG v13 = EECBGV_BUILDVERSION_MAJOR | 0x1234;
  const Case cases[] = {
      {EECONTEXT_SESSION, v13, S_OK},
      {EECONTEXT_VIEWER, v13, S_OK},
      {EECONTEXT_REMOTEVIEWER, v13, S_FALSE},
      {EECONTEXT_SEARCHVIEWER, v13, S_OK},
      {EECONTEXT_SENDNOTEMESSAGE, v13, S_FALSE},
      {EECONTEXT_PROPERTYSHEETS, v13, S_OK},
      {EECONTEXT_TASK, v13, S_FALSE},
      {EECONTEXT_VIEWER, EECBGV_BUILDVERSION_MAJOR, S_OK},
      {EECONTEXT_VIEWER, EECBGV_BUILDVERSION_MAJOR | 0xFFFF, S_OK},
      {EECONTEXT_VIEWER, 0x000E0000, S_FALSE},
      {EECONTEXT_VIEWER, 0x000CFFFF, S_FALSE},
      {EECONTEXT_SESSION, 0x000C0000, S_FALSE},
  };
  for (const Case& c : cases) {
    callback_.version = c.version;
    IExchExt* ext = entry_();
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->Install(&callback_, c.context, 0), c.want) << c.context << " " << std::hex << c.version;
    ext->Release();
  }
  // The session fetched in the session context went back.
  EXPECT_EQ(callback_.session.refs.load(), 1u);
}

TEST_F(ZelExtTest, InstallCommandsAddsItsItemInTheViewersOnly) {
  for (ULONG context = EECONTEXT_SESSION; context <= EECONTEXT_TASK; ++context) {
    HMENU before = callback_.tools;
    callback_.tools = CreatePopupMenu();
    AppendMenuA(callback_.tools, MF_STRING, 134, "Services...");
    DestroyMenu(before);
    IExchExt* ext = entry_();
    HRESULT hr = S_OK;
    IExchExtCommands* cmds = Installed(ext, context, &hr);
    ASSERT_NE(cmds, nullptr);
    UINT base = 1000;
    EXPECT_EQ(cmds->InstallCommands(&callback_, nullptr, nullptr, &base, nullptr, 0, 0), S_FALSE);
    bool viewer = context == EECONTEXT_VIEWER || context == EECONTEXT_SEARCHVIEWER;
    if (viewer) {
      EXPECT_EQ(base, 1003u) << context;
      ASSERT_EQ(GetMenuItemCount(callback_.tools), 3);
      EXPECT_EQ(GetMenuItemID(callback_.tools, 1), 1000u);
      EXPECT_EQ(GetMenuItemID(callback_.tools, 2), 1002u);
      char text[64] = {};
      GetMenuStringA(callback_.tools, 1002, text, sizeof text, MF_BYCOMMAND);
      EXPECT_STREQ(text, "Install Vantrel");
      // Only the menu item is ours: the separator and the identifier
      // after it are not commands.
      EXPECT_EQ(cmds->DoCommand(&callback_, 1000), S_FALSE);
      EXPECT_EQ(cmds->DoCommand(&callback_, 1001), S_FALSE);
      EXPECT_EQ(cmds->DoCommand(&callback_, 134), S_FALSE);
      EXPECT_EQ(cmds->QueryHelpText(1001, EECQHT_STATUS, text, sizeof text), S_FALSE);
    } else {
      EXPECT_EQ(base, 1000u) << context;
      EXPECT_EQ(GetMenuItemCount(callback_.tools), 1) << context;
      EXPECT_EQ(cmds->DoCommand(&callback_, 1002), S_FALSE);
    }
    cmds->Release();
    ext->Release();
  }
  EXPECT_EQ(callback_.session.refs.load(), 1u);
}

TEST_F(ZelExtTest, WithoutTheAnchorMenuNothingIsInstalled) {
  callback_.menu_found = false;
  IExchExt* ext = entry_();
  HRESULT hr = S_OK;
  IExchExtCommands* cmds = Installed(ext, EECONTEXT_VIEWER, &hr);
  EXPECT_EQ(hr, S_OK);
  UINT base = 500;
  EXPECT_EQ(cmds->InstallCommands(&callback_, nullptr, nullptr, &base, nullptr, 0, 0), S_FALSE);
  EXPECT_EQ(base, 500u);
  EXPECT_EQ(GetMenuItemCount(callback_.tools), 1);
  EXPECT_EQ(cmds->DoCommand(&callback_, 502), S_FALSE);
  cmds->Release();
  ext->Release();
}

// Under AddressSanitizer a freed object in use stops the run.
TEST_F(ZelExtTest, ReferencesInEveryOrderLeaveNoFreedObjectInUse) {
  {  // The caller's QueryInterface then Release; the extension still hands
     // out a live command object.
    IExchExt* ext = entry_();
    for (int round = 0; round < 3; ++round) {
      IExchExtCommands* cmds = nullptr;
      ASSERT_EQ(ext->QueryInterface(IID_IExchExtCommands, reinterpret_cast<void**>(&cmds)), S_OK);
      IUnknown* unk = nullptr;
      ASSERT_EQ(cmds->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk)), S_OK);
      EXPECT_EQ(unk, static_cast<IUnknown*>(cmds));
      unk->Release();
      cmds->Release();
    }
    ext->Release();
  }
  {  // The command object outlives the extension while the caller holds it.
    IExchExt* ext = entry_();
    IExchExtCommands* cmds = nullptr;
    ASSERT_EQ(ext->QueryInterface(IID_IExchExtCommands, reinterpret_cast<void**>(&cmds)), S_OK);
    EXPECT_EQ(ext->Release(), 0u);
    UINT base = 10;
    EXPECT_EQ(cmds->InstallCommands(&callback_, nullptr, nullptr, &base, nullptr, 0, 0), S_FALSE);
    EXPECT_EQ(cmds->Release(), 0u);
  }
  {  // Every answer takes a reference; unknown interfaces none.
    IExchExt* ext = entry_();
    void* p = nullptr;
    EXPECT_EQ(ext->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(ext));
    EXPECT_EQ(ext->QueryInterface(IID_IExchExt, &p), S_OK);
    EXPECT_EQ(ext->QueryInterface(IID_IExchExtCallback, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(ext->Release(), 2u);
    EXPECT_EQ(ext->Release(), 1u);
    EXPECT_EQ(ext->Release(), 0u);
  }
}

}  // namespace
