#include "platform/registry/Registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/base/HResult.h"

namespace {

// Each test works below its own key so the cases do not see each other.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = std::string("Software\\VantrelTest\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RegDeleteTree(HKEY_CURRENT_USER, base_.c_str());
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, base_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override { RegCloseKey(key_); }

  std::string base_;
  HKEY key_ = nullptr;
};

std::string QueryString(HKEY key, const char* name, LONG* status = nullptr) {
  char buf[512];
  DWORD cb = sizeof buf, type = 0;
  LONG st = RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &cb);
  if (status) *status = st;
  return st == ERROR_SUCCESS ? std::string(buf, cb) : std::string();
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirSpelling) {
  HKEY sub;
  ASSERT_EQ(RegCreateKeyEx(key_, "Mixed\\Case", 0, nullptr, 0, 0, nullptr, &sub, nullptr), ERROR_SUCCESS);
  RegCloseKey(sub);
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyEx(key_, "MIXED\\case", 0, nullptr, 0, 0, nullptr, &sub, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  const char v[] = "x";
  ASSERT_EQ(RegSetValueEx(sub, "ValueName", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), 2), ERROR_SUCCESS);
  EXPECT_EQ(QueryString(sub, "VALUENAME"), std::string("x\0", 2));
  char name[64];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValue(sub, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "ValueName");
  EXPECT_EQ(cch, 9u);
  RegCloseKey(sub);
  cch = sizeof name;
  ASSERT_EQ(RegEnumKeyEx(key_, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Mixed");
  // One leading backslash names the same key.
  std::string with_slash = "\\" + base_ + "\\mixed";
  ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, with_slash.c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS);
  RegCloseKey(sub);
}

TEST_F(RegistryTest, ValueSemantics) {
  const BYTE bin[] = {0, 1, 2, 0xFF, '\n', '%'};
  const DWORD dw = 0xDEADBEEF;
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  } cases[] = {
      {"NoNul", REG_SZ, "abc"},  // kept exactly, no terminator added
      {"WithNul", REG_SZ, std::string("abc\0", 4)},
      {"Empty", REG_SZ, ""},
      {"Odd=Name%[x]", REG_SZ, "line\nbreak\r\x80\xFF"},
      {"", REG_SZ, "default value"},
      {"@", REG_SZ, "at sign"},
      {"Number", REG_DWORD, std::string(reinterpret_cast<const char*>(&dw), 4)},
      {"Blob", REG_BINARY, std::string(reinterpret_cast<const char*>(bin), sizeof bin)},
      {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(RegSetValueEx(key_, c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                            static_cast<DWORD>(c.data.size())),
              ERROR_SUCCESS);
  }
  for (const auto& c : cases) {
    DWORD type = 99, cb = 0;
    ASSERT_EQ(RegQueryValueEx(key_, c.name, nullptr, &type, nullptr, &cb), ERROR_SUCCESS) << c.name;
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(cb, c.data.size());
    std::string buf(cb + 1, '\x55');
    if (cb > 0) {
      DWORD shorter = cb - 1;
      EXPECT_EQ(RegQueryValueEx(key_, c.name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &shorter),
                ERROR_MORE_DATA);
      EXPECT_EQ(shorter, cb);
    }
    DWORD full = cb + 1;
    ASSERT_EQ(RegQueryValueEx(key_, c.name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf.data()), &full),
              ERROR_SUCCESS);
    EXPECT_EQ(buf.substr(0, full), c.data) << c.name;
  }
  LONG st;
  QueryString(key_, "Missing", &st);
  EXPECT_EQ(st, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValue(key_, "number"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValue(key_, "number"), ERROR_FILE_NOT_FOUND);
  // Enumeration runs in creation order and ends with ERROR_NO_MORE_ITEMS.
  char name[64];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValue(key_, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "NoNul");
  cch = 3;
  EXPECT_EQ(RegEnumValue(key_, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = sizeof name;
  EXPECT_EQ(RegEnumValue(key_, 8, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, KeysOpenDeleteAndEnumerate) {
  HKEY k;
  EXPECT_EQ(RegOpenKeyEx(key_, "Nope", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  for (const char* n : {"beta", "Alpha", "gamma\\deep"}) {
    ASSERT_EQ(RegCreateKeyEx(key_, n, 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_SUCCESS);
    RegCloseKey(k);
  }
  std::vector<std::string> names;
  char name[64];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    if (RegEnumKeyEx(key_, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "gamma"}));
  EXPECT_EQ(RegDeleteKey(key_, "gamma"), ERROR_ACCESS_DENIED);  // has a subkey
  ASSERT_EQ(RegOpenKeyEx(key_, "gamma\\deep", 0, KEY_READ, &k), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKey(key_, "GAMMA\\Deep"), ERROR_SUCCESS);
  DWORD dw = 1;
  EXPECT_EQ(RegSetValueEx(k, "x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&dw), 4), ERROR_KEY_DELETED);
  RegCloseKey(k);
  EXPECT_EQ(RegDeleteTree(key_, "gamma"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyEx(key_, "gamma", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  // The hives are separate.
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, base_.c_str(), 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
}

// Writes `count` values named prefix<i> into the test key, in a child
// process; returns the child's pid.
pid_t SpawnWriter(const std::string& path, const std::string& prefix, int count) {
  pid_t pid = fork();
  if (pid == 0) {
    HKEY k;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr) != ERROR_SUCCESS)
      _exit(2);
    for (int i = 0; count < 0 || i < count; ++i) {
      DWORD v = static_cast<DWORD>(i);
      std::string name = prefix + std::to_string(count < 0 ? i % 50 : i);
      if (RegSetValueEx(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4) != ERROR_SUCCESS) _exit(3);
    }
    _exit(0);
  }
  return pid;
}

TEST_F(RegistryTest, WriteFilterFailsTheWritesItNamesAndNoOthers) {
  const BYTE old_data[] = "old";
  ASSERT_EQ(RegSetValueEx(key_, "Held", 0, REG_SZ, old_data, 3), ERROR_SUCCESS);
  std::vector<std::string> asked;
  vantrel::registry::SetWriteFilter([&](const std::string& key, const std::string& value) -> LSTATUS {
    asked.push_back(key + ":" + value);
    return value == "Held" ? ERROR_WRITE_FAULT : ERROR_SUCCESS;
  });
  const BYTE new_data[] = "new";
  EXPECT_EQ(RegSetValueEx(key_, "Held", 0, REG_SZ, new_data, 3), ERROR_WRITE_FAULT);
  EXPECT_EQ(RegSetValueEx(key_, "Other", 0, REG_SZ, new_data, 3), ERROR_SUCCESS);
  vantrel::registry::SetWriteFilter(nullptr);
  EXPECT_EQ(QueryString(key_, "Held"), "old");
  EXPECT_EQ(QueryString(key_, "Other"), "new");
  EXPECT_EQ(asked, (std::vector<std::string>{"HKEY_CURRENT_USER\\" + base_ + ":Held",
                                             "HKEY_CURRENT_USER\\" + base_ + ":Other"}));
  EXPECT_EQ(RegSetValueEx(key_, "Held", 0, REG_SZ, new_data, 3), ERROR_SUCCESS);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kEach = 1000;
  pid_t a = SpawnWriter(base_, "a", kEach), b = SpawnWriter(base_, "b", kEach);
  int sa = -1, sb = -1;
  waitpid(a, &sa, 0);
  waitpid(b, &sb, 0);
  ASSERT_EQ(sa, 0);
  ASSERT_EQ(sb, 0);
  std::set<std::string> seen;
  char name[64];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    if (RegEnumValue(key_, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 2u * kEach);
}

TEST_F(RegistryTest, WriterKilledMidWriteLeavesAWholeHive) {
  const std::string file = vantrel::registry::Folder() + "/HKEY_CURRENT_USER.reg";
  for (int round = 0; round < 20; ++round) {
    pid_t w = SpawnWriter(base_, "k", -1);
    usleep(static_cast<useconds_t>(2000 + round * 700));
    kill(w, SIGKILL);
    waitpid(w, nullptr, 0);
    // A damaged hive would be moved aside; the values must all be there.
    HKEY k;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, base_.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS) << round;
    DWORD cb = 0;
    EXPECT_NE(RegQueryValueEx(k, "k0", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    RegCloseKey(k);
  }
  for (const auto& e : std::filesystem::directory_iterator(vantrel::registry::Folder()))
    EXPECT_NE(e.path().filename().string().rfind("HKEY_CURRENT_USER.reg.damaged-", 0), 0u) << e.path();
  EXPECT_TRUE(std::filesystem::exists(file));
}

TEST(RegistryFile, DamagedHiveIsMovedAsideNotEmptiedSilently) {
  // The local-machine hive is damaged by hand while nothing holds it.
  const std::string folder = vantrel::registry::Folder();
  std::filesystem::create_directories(folder);
  const std::string file = folder + "/HKEY_LOCAL_MACHINE.reg";
  {
    std::ofstream out(file, std::ios::trunc);
    out << "; Vantrel registry hive, version 1\n[Software\\X]\nName=sz:half";  // cut short
  }
  HKEY k;
  testing::internal::CaptureStderr();
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\X", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("could not be read"), std::string::npos);
  bool aside = false;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (e.path().filename().string().rfind("HKEY_LOCAL_MACHINE.reg.damaged-", 0) == 0) {
      aside = true;
      std::filesystem::remove(e.path());
    }
  }
  EXPECT_TRUE(aside);
}

}  // namespace
