// DllRegisterServer as an installer calls it: zelclient loaded with
// LoadLibrary, the export found by ordinal, a private registry and MAPI
// folder (ZEL_REGISTRY_DIR, ZEL_MAPI_DIR).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/base/HResult.h"
#include "platform/registry/Registry.h"
#include "platform/win/Module.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSharedDlls[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

size_t Count(const std::string& text, const std::string& line) {
  size_t n = 0;
  for (size_t pos = 0; (pos = text.find(line + "\n", pos)) != std::string::npos; pos += line.size()) {
    if (pos == 0 || text[pos - 1] == '\n') ++n;
  }
  return n;
}

class ServiceRegistrationTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryA(ZELCLIENT_MODULE);
    ASSERT_NE(module_, nullptr) << vantrel::win::LastLoadError();
    register_ = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module_, MAKEINTRESOURCEA(4)));
    ASSERT_NE(register_, nullptr);
    ASSERT_EQ(reinterpret_cast<void*>(register_), reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
  }

  void SetUp() override {
    const char* mapi = std::getenv("ZEL_MAPI_DIR");
    ASSERT_NE(mapi, nullptr);
    root_ = fs::path(mapi);
    fs::remove_all(root_);
    fs::create_directories(root_);
    ClearSharedDlls();
  }

  void TearDown() override { ClearSharedDlls(); }

  static void ClearSharedDlls() { RegDeleteKey(HKEY_LOCAL_MACHINE, kSharedDlls); }

  static void ListSharedDll(const fs::path& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSharedDlls, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueEx(key, path.string().c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }

  fs::path SystemInf() const { return root_ / "system" / "MAPISVC.INF"; }

  static inline HMODULE module_ = nullptr;
  static inline HRESULT (*register_)() = nullptr;
  fs::path root_;
};

constexpr char kShipped[] =
    "[Services]\n"
    "MSPST MS=Personal Folders\n"
    "\n"
    "[MSPST MS]\n"
    "Providers=MSPST MSP\n"
    "\n"
    "[MSPST MSP]\n"
    "PR_PROVIDER_DLL_NAME=MSPST.DLL\n";

TEST_F(ServiceRegistrationTest, TwiceGivesOneEntryAndOneCopyOfEachSectionAndKeepsTheOriginalInBak) {
  WriteAll(SystemInf(), kShipped);
  ASSERT_EQ(register_(), S_OK);
  ASSERT_EQ(register_(), S_OK);
  std::string merged = ReadAll(SystemInf());
  EXPECT_EQ(Count(merged, "MSZLF=Vantrel"), 1u) << merged;
  EXPECT_EQ(Count(merged, "[MSZLF]"), 1u);
  EXPECT_EQ(Count(merged, "[MS_ZLF]"), 1u);
  EXPECT_EQ(Count(merged, "PR_PROVIDER_DISPLAY=Vantrel"), 1u);
  // The entry sits in the services section, the shipped service stays.
  size_t header = merged.find("[Services]\n");
  EXPECT_LT(header, merged.find("MSZLF=Vantrel\n"));
  EXPECT_LT(merged.find("MSZLF=Vantrel\n"), merged.find("[MSPST MS]\n"));
  EXPECT_EQ(Count(merged, "MSPST MS=Personal Folders"), 1u);
  EXPECT_EQ(Count(merged, "PR_PROVIDER_DLL_NAME=MSPST.DLL"), 1u);
  // The copy is taken before each merge: after the second, it holds the
  // first merge's result, line for line.
  EXPECT_EQ(ReadAll(SystemInf().string() + ".bak"), merged);
}

TEST_F(ServiceRegistrationTest, ServicesHeaderIsFoundInAnyCaseAndWithoutOneNoEntryIsAdded) {
  struct Case {
    const char* text;
    bool entry;
  } cases[] = {
      {"[services]\nMSPST MS=Personal Folders\n\n[MSPST MS]\nProviders=MSPST MSP\n", true},
      {"[SERVICES]\r\nMSPST MS=Personal Folders\r\n\r\n[MSPST MS]\r\nProviders=MSPST MSP\r\n", true},
      {"[Other]\nKey=Value\n\n[MSPST MS]\nProviders=MSPST MSP\n", false},
  };
  for (const Case& c : cases) {
    WriteAll(SystemInf(), c.text);
    ASSERT_EQ(register_(), S_OK);
    std::string merged = ReadAll(SystemInf());
    EXPECT_EQ(Count(merged, "MSZLF=Vantrel"), c.entry ? 1u : 0u) << c.text;
    EXPECT_EQ(Count(merged, "[MSZLF]"), 1u) << c.text;
    EXPECT_EQ(Count(merged, "PR_RESOURCE_TYPE=MAPI_STORE_PROVIDER"), 1u) << c.text;
    EXPECT_EQ(Count(merged, "Providers=MSPST MSP"), 1u) << c.text;
    EXPECT_EQ(merged.find('\r'), std::string::npos) << "line ends are rewritten as LF";
  }
}

TEST_F(ServiceRegistrationTest, LastLineWithoutLineEndKeepsEveryCharacter) {
  WriteAll(SystemInf(), "[Services]\nMSPST MS=Personal Folders\n\n[Other]\nLastKey=last value");
  ASSERT_EQ(register_(), S_OK);
  std::string merged = ReadAll(SystemInf());
  EXPECT_EQ(Count(merged, "LastKey=last value"), 1u) << merged;
  EXPECT_EQ(Count(merged, "MSZLF=Vantrel"), 1u);
}

TEST_F(ServiceRegistrationTest, SharedDllsNamingBothLibrariesDirectsTheMergeBesideMsmapi32) {
  // The registry keeps the path as written: the file is found in that case.
  fs::path a = root_ / "Office" / "MapiOne";
  fs::path b = root_ / "Common Files" / "System" / "Mapi";
  WriteAll(a / "MAPISVC.INF", kShipped);
  WriteAll(b / "MAPISVC.INF", kShipped);
  ListSharedDll(a / "mapi.dll");
  ListSharedDll(b / "MSMAPI32.DLL");
  ASSERT_EQ(register_(), S_OK);
  EXPECT_EQ(ReadAll(a / "MAPISVC.INF"), kShipped);
  EXPECT_FALSE(fs::exists(a / "MAPISVC.INF.bak"));
  EXPECT_EQ(Count(ReadAll(b / "MAPISVC.INF"), "MSZLF=Vantrel"), 1u);
  EXPECT_EQ(ReadAll(b / "MAPISVC.INF.bak"), kShipped);
  // No system-folder file: nothing is made there.
  EXPECT_FALSE(fs::exists(SystemInf()));

  // Without MSMAPI32.DLL, the first MAPI.DLL listed decides.
  ClearSharedDlls();
  WriteAll(b / "MAPISVC.INF", kShipped);
  ListSharedDll(a / "MAPI.DLL");
  ASSERT_EQ(register_(), S_OK);
  EXPECT_EQ(Count(ReadAll(a / "MAPISVC.INF"), "MSZLF=Vantrel"), 1u);
  EXPECT_EQ(ReadAll(b / "MAPISVC.INF"), kShipped);
}

TEST_F(ServiceRegistrationTest, NoFileAnywhereWritesNothing) {
  ListSharedDll(root_ / "gone" / "MSMAPI32.DLL");
  ASSERT_EQ(register_(), S_OK);
  EXPECT_FALSE(fs::exists(root_ / "gone"));
  EXPECT_FALSE(fs::exists(SystemInf()));
}

}  // namespace
