#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/registry/Registry.h"
#include "platform/win/MessageBox.h"
#include "server/app/ZelConfig.h"

namespace {

const std::string kHome = "/srv/vantrel";

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTree(HKEY_LOCAL_MACHINE, "Software\\HOLLIN"); }

  static HKEY Key() {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, CZelConfig::kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    return key;
  }
  static void SetString(const char* name, const std::string& v) {
    HKEY key = Key();
    RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
    RegCloseKey(key);
  }
  static void SetRaw(const char* name, DWORD type, const std::string& bytes) {
    HKEY key = Key();
    RegSetValueEx(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
  }
  static CZelConfig Started() {
    CZelConfig c;
    c.SetProgramFolder(kHome);
    c.CompletePaths();
    c.Load();
    c.Save();
    return c;
  }
};

struct Stored {
  std::string name;
  DWORD type;
  std::string text;  // the string, or the number in decimal
};

std::vector<Stored> StoredValues() {
  std::vector<Stored> out;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, CZelConfig::kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name, type = 0;
    BYTE data[1024];
    DWORD cb = sizeof data;
    if (RegEnumValue(key, i, name, &cch, nullptr, &type, data, &cb) != ERROR_SUCCESS) break;
    std::string text;
    if (type == REG_DWORD) {
      DWORD v;
      std::memcpy(&v, data, 4);
      text = std::to_string(v);
    } else {
      text.assign(reinterpret_cast<char*>(data), strnlen(reinterpret_cast<char*>(data), cb));
    }
    out.push_back({name, type, text});
  }
  RegCloseKey(key);
  return out;
}

TEST_F(ConfigTest, FreshRegistryGetsEveryValueWithItsDefault) {
  Started();
  const std::vector<Stored> expected = {
      {"MailboxPath", REG_SZ, kHome + "/Mailboxes"},
      {"PublicFoldersPath", REG_SZ, kHome + "/PublicFolders"},
      {"SpoolDir", REG_SZ, kHome + "/Spool"},
      {"DomainName", REG_SZ, ""},
      {"ConnectionName", REG_SZ, ""},
      {"SMTPAllowedIPs", REG_SZ, ""},
      {"DNS", REG_SZ, ""},
      {"ConnectAlways", REG_DWORD, "0"},
      {"EnableMS", REG_DWORD, "0"},
      {"POP3Port", REG_DWORD, "110"},
      {"SMTPPort", REG_DWORD, "25"},
      {"StartProxy", REG_DWORD, "0"},
      {"Autoconnect", REG_DWORD, "0"},
      {"ManageMailboxes", REG_DWORD, "0"},
      {"ConnectMinutes", REG_DWORD, "0"},
      {"ConnectToInternet", REG_DWORD, "0"},
      {"ConnectOnActivity", REG_DWORD, "0"},
      {"UseDNS", REG_DWORD, "0"},
      {"Postoffice", REG_DWORD, "0"},
      {"ConnectOnSend", REG_DWORD, "0"},
      {"ConnectOnSendImportant", REG_DWORD, "0"},
      {"ConnectionPermanent", REG_DWORD, "0"},
      {"DropAfterMinutes", REG_DWORD, "0"},
      {"SMTPAuth", REG_DWORD, "0"},
      {"InstalledVersion", REG_SZ, ""},
      {"CrypWarn", REG_DWORD, "1"},
      {"Version", REG_SZ, ""},
      {"Port", REG_DWORD, "2002"},
      {"TraceInternet", REG_DWORD, "0"},
      {"Smtp_smart_server", REG_SZ, ""},
      {"Smtp_smart_username", REG_SZ, ""},
      {"Smtp_smart_pwd", REG_SZ, ""},
      {"Smtp_smart_port", REG_DWORD, "0"},
      {"Smtp_smart_use", REG_DWORD, "0"},
      {"Smtp_smart_login", REG_DWORD, "0"},
      {"Smtp_smart_sendFromaddr", REG_DWORD, "0"},
      {"Smtp_smart_fromaddr", REG_SZ, ""},
      {"Path", REG_SZ, kHome},
      {"MinThreads", REG_DWORD, "10"},
      {"MaxThreads", REG_DWORD, "40"},
      {"BackupMails", REG_DWORD, "0"},
      {"AllowRelayAuth", REG_DWORD, "0"},
      {"disconnect", REG_DWORD, "1"},
      {"disconnect_after", REG_DWORD, "0"},
      {"disconnect_immediatly", REG_DWORD, "1"},
      {"disconnect_minutes", REG_DWORD, "5"},
      {"EnableRecordLocking", REG_DWORD, "1"},
      {"TrustedHosts", REG_SZ, ""},
      {"EnableBetaFunctions", REG_DWORD, "0"},
      {"Postmaster", REG_SZ, ""},
      {"MaxPendingBytes", REG_DWORD, "67108864"},
      {"MaxObjectsPerSession", REG_DWORD, "100000"},
      {"MaxSessionsPerConnection", REG_DWORD, "64"},
      {"MaxConnectionsPerAddress", REG_DWORD, "64"},
      {"MaxConnections", REG_DWORD, "1024"},
      {"LogonDelayStep", REG_DWORD, "250"},
      {"StopWait", REG_DWORD, "10"},
  };
  std::vector<Stored> got = StoredValues();
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].name, expected[i].name) << i;
    EXPECT_EQ(got[i].type, expected[i].type) << expected[i].name;
    EXPECT_EQ(got[i].text, expected[i].text) << expected[i].name;
  }
}

TEST_F(ConfigTest, StoredValuesAndTheirRules) {
  SetString("Path", "/elsewhere");
  SetString("SpoolDir", "");
  SetString("MailboxPath", "/data/mail");
  SetString("DomainName", std::string(255, 'd'));                      // 256 bytes with the NUL: taken
  SetString("ConnectionName", std::string(256, 'c'));                  // 257 bytes: ignored
  SetRaw("DNS", REG_BINARY, "1.2.3.4");                                // not REG_SZ: ignored
  SetRaw("EnableMS", REG_BINARY, std::string("\x01\x00\x00\x00", 4));  // numbers ignore the type
  SetRaw("MaxThreads", REG_QWORD, std::string(8, '\x01'));             // over 4 bytes: ignored
  SetRaw("MinThreads", REG_DWORD, std::string("\x03\x00\x00\x00", 4));
  SetString("Postmaster", "jsmith");
  CZelConfig c = Started();
  EXPECT_EQ(c.Path, kHome);
  EXPECT_EQ(c.SpoolDir, kHome + "/Spool");
  EXPECT_EQ(c.MailboxPath, "/data/mail");
  EXPECT_EQ(c.PublicFoldersPath, kHome + "/PublicFolders");
  EXPECT_EQ(c.DomainName, std::string(255, 'd'));
  EXPECT_EQ(c.ConnectionName, "");
  EXPECT_EQ(c.DNS, "");
  EXPECT_EQ(c.EnableMS, 1u);
  EXPECT_EQ(c.MaxThreads, 40u);
  EXPECT_EQ(c.MinThreads, 3u);
  EXPECT_EQ(c.Postmaster, "jsmith");

  // Everything written comes back on the next start; Path is the home again.
  c.Postmaster = "mmuster";
  c.CrypWarn = 0;
  c.Smtp_smart_pwd = "secret";
  ASSERT_TRUE(c.Save());
  CZelConfig d;
  d.SetProgramFolder("/other/home/");
  d.Load();
  EXPECT_EQ(d.Postmaster, "mmuster");
  EXPECT_EQ(d.CrypWarn, 0u);
  EXPECT_EQ(d.Smtp_smart_pwd, "secret");
  EXPECT_EQ(d.Path, "/other/home");
  EXPECT_EQ(d.SpoolDir, kHome + "/Spool");  // stored, so not refilled
}

TEST_F(ConfigTest, DefaultProgramFolderIsTheExecutables) {
  CZelConfig c;
  c.CompletePaths();
  EXPECT_EQ(c.Path, std::filesystem::canonical("/proc/self/exe").parent_path().string());
  EXPECT_EQ(c.MailboxPath, c.Path + "/Mailboxes");
}

// The registry's folder is fixed at its first use, so the unwritable one is
// tried in a fresh process (and without the fixture, which uses the registry).
TEST(Config, UnwritableRegistryIsReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string blocker = std::string(std::getenv("VANTREL_TEST_TMPDIR") ? std::getenv("VANTREL_TEST_TMPDIR") : "/tmp") +
                        "/registry-blocker";
  std::filesystem::create_directories(std::filesystem::path(blocker).parent_path());
  std::ofstream(blocker) << "a file where the registry folder should be";
  EXPECT_EXIT(
      {
        setenv("ZEL_REGISTRY_DIR", (blocker + "/registry").c_str(), 1);
        std::vector<vantrel::win::MessageBoxRecord> boxes;
        vantrel::win::SetMessageBoxHandler([&](const vantrel::win::MessageBoxRecord& r) {
          boxes.push_back(r);
          return IDOK;
        });
        CZelConfig c;
        c.SetProgramFolder(kHome);
        c.Load();
        bool saved = c.Save();
        bool ok = !saved && boxes.size() == 1 && boxes[0].text == "Error writing configuration" &&
                  boxes[0].caption == "Brimwell" && boxes[0].type == MB_OK && c.Path == kHome;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
