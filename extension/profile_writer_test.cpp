// The direct write of a Vantrel service into a profile's registry sections.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "extension/ProfileServiceWriter.h"
#include "platform/base/HResult.h"

namespace vantrel::ext {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr char kRoot[] = "Software\\Microsoft\\Windows Messaging Subsystem\\Profiles";
constexpr char kGlobal[] = "9207f3e0a3b11019908b08002b2a56c2";

Bytes B(std::initializer_list<int> v) { return Bytes(v.begin(), v.end()); }
Bytes Uid(const GUID& g) {
  Bytes b(16);
  std::memcpy(b.data(), &g, 16);
  return b;
}
Bytes Str(const char* s) { return Bytes(s, s + std::strlen(s)); }

struct Read {
  LSTATUS status;
  DWORD type;
  Bytes data;
};

Read Get(const std::string& path, const char* name) {
  HKEY key = nullptr;
  Read r{RegOpenKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key), 0, {}};
  if (r.status != ERROR_SUCCESS) return r;
  DWORD size = 0;
  r.status = RegQueryValueEx(key, name, nullptr, &r.type, nullptr, &size);
  if (r.status == ERROR_SUCCESS) {
    r.data.resize(size);
    r.status = RegQueryValueEx(key, name, nullptr, &r.type, r.data.data(), &size);
    r.data.resize(size);
  }
  RegCloseKey(key);
  return r;
}

void Put(const std::string& path, const char* name, const Bytes& data) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueEx(key, name, 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
  RegCloseKey(key);
}

int SubkeyCount(const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  int n = 0;
  char name[256];
  for (;;) {
    DWORD cch = sizeof name;
    if (RegEnumKeyEx(key, static_cast<DWORD>(n), name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    ++n;
  }
  RegCloseKey(key);
  return n;
}

TEST(ProfileWriter, SectionNamesFollowMemoryOrderInLowerCase) {
  const std::uint8_t bytes[16] = {0xAB, 0x01, 0, 0xFF, 0x10, 0x20, 0x30, 0x40, 1, 2, 3, 4, 5, 6, 7, 0xCD};
  EXPECT_EQ(SectionName(GuidFromBytes(bytes)), "ab0100ff1020304001020304050607cd");
}

TEST(ProfileWriter, WritesTheTableByteForByte) {
  const std::string profile = std::string(kRoot) + "\\Writer";
  const Bytes old_providers(16, 0x11);
  const Bytes old_services(16, 0x22);
  Put(profile + "\\" + kGlobal, "01023d00", old_providers);
  Put(profile + "\\" + kGlobal, "01023d0e", old_services);
  EXPECT_EQ(FindProfileKey("Writer"), profile);
  EXPECT_EQ(FindProfileKey("Nobody"), "");

  GUID service{};
  GUID provider{};
  std::string message;
  ASSERT_EQ(WriteZelService(profile, &service, &provider, &message), ERROR_SUCCESS) << message;
  const std::string s = profile + "\\" + SectionName(service);
  const std::string p = profile + "\\" + SectionName(provider);

  struct Row {
    std::string key;
    const char* name;
    DWORD type;
    Bytes data;
  };
  const Row rows[] = {
      {s, "001e3d0a", REG_SZ, Str("Mszlf.DLL")},
      {s, "001e3d0b", REG_SZ, Str("ServiceEntry")},
      {s, "001e3d09", REG_SZ, Str("MSZLF")},
      {s, "001e3001", REG_SZ, Str("Brimwell")},
      {s, "101e3d0f", REG_BINARY, B({1, 0, 0, 0, 8, 0, 0, 0, 'M', 's', 'z', 'l', 'f', '.', 'D', 'L', 'L', 0})},
      {s, "00033009", REG_BINARY, B({0x20, 0, 0, 0})},
      {s, "01023d00", REG_BINARY, Uid(provider)},
      {p, "001e300a", REG_SZ, Str("Mszlf.DLL")},
      {p, "001e3d09", REG_SZ, Str("MSZLF")},
      {p, "001e3006", REG_SZ, Str("Brimwell")},
      {p, "001e3001", REG_SZ, Str("Kestrin")},
      {p, "00033e03", REG_BINARY, B({0x21, 0, 0, 0})},
      {p, "00033009", REG_BINARY, B({0x02, 0x08, 0, 0})},
      {p, "01023d0c", REG_BINARY, Uid(service)},
      {p, "01023414", REG_BINARY,
       B({0x7B, 0xE3, 0xC3, 0x80, 0x5B, 0x0A, 0x11, 0xCE, 0xB4, 0xE1, 0x00, 0xAA, 0x00, 0x51, 0x0E, 0x3B})},
  };
  for (const Row& r : rows) {
    Read got = Get(r.key, r.name);
    ASSERT_EQ(got.status, ERROR_SUCCESS) << r.name;
    EXPECT_EQ(got.type, r.type) << r.name;
    EXPECT_EQ(got.data, r.data) << r.name;
  }
  Bytes providers = old_providers;
  Bytes add = Uid(provider);
  providers.insert(providers.end(), add.begin(), add.end());
  Bytes services = old_services;
  add = Uid(service);
  services.insert(services.end(), add.begin(), add.end());
  EXPECT_EQ(Get(profile + "\\" + kGlobal, "01023d00").data, providers);
  EXPECT_EQ(Get(profile + "\\" + kGlobal, "01023d0e").data, services);
}

TEST(ProfileWriter, WithoutTheGlobalListsNothingIsWritten) {
  const std::string profile = std::string(kRoot) + "\\NoLists";
  Put(profile + "\\" + kGlobal, "01023d00", Bytes(16, 0x11));  // no service list
  std::string message;
  EXPECT_NE(WriteZelService(profile, nullptr, nullptr, &message), ERROR_SUCCESS);
  EXPECT_NE(message.find(kGlobal), std::string::npos) << message;
  EXPECT_EQ(SubkeyCount(profile), 1);
  EXPECT_EQ(Get(profile + "\\" + kGlobal, "01023d00").data, Bytes(16, 0x11));
}

// The profile's keys and values, by path below it.
using Tree = std::map<std::string, std::map<std::string, std::pair<DWORD, Bytes>>>;
void Walk(const std::string& root, const std::string& rel, Tree* out) {
  const std::string path = rel.empty() ? root : root + "\\" + rel;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  auto& values = (*out)[rel];
  std::vector<std::string> children;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name;
    if (RegEnumValue(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    Read r = Get(path, name);
    values[name] = {r.type, r.data};
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name;
    if (RegEnumKeyEx(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.push_back(name);
  }
  RegCloseKey(key);
  for (const auto& c : children) Walk(root, rel.empty() ? c : rel + "\\" + c, out);
}

// A write that fails at any point of the direct write (each section value,
// either global list) is the status returned, and the profile is left
// exactly as it was.
TEST(ProfileWriter, AFailedWriteAnywhereLeavesTheProfileAsItWas) {
  const std::string profile = std::string(kRoot) + "\\Failing";
  Put(profile + "\\" + kGlobal, "01023d00", Bytes(16, 0x11));
  Put(profile + "\\" + kGlobal, "01023d0e", Bytes(16, 0x22));
  Tree before;
  Walk(profile, "", &before);
  constexpr int kWrites = 7 + 8 + 2;  // service section, provider section, the two lists
  for (int failing = 0; failing < kWrites; ++failing) {
    int writes = 0;
    std::string failed;
    registry::SetWriteFilter([&](const std::string& key, const std::string& value) -> LSTATUS {
      if (writes++ != failing) return ERROR_SUCCESS;
      failed = key + " " + value;
      return ERROR_WRITE_FAULT;
    });
    std::string message;
    LSTATUS st = WriteZelService(profile, nullptr, nullptr, &message);
    registry::SetWriteFilter(nullptr);
    EXPECT_EQ(st, ERROR_WRITE_FAULT) << "write " << failing;
    Tree after;
    Walk(profile, "", &after);
    EXPECT_EQ(after, before) << "after the failed " << failed;
  }
  // Past the last write nothing fails.
  EXPECT_EQ(WriteZelService(profile, nullptr, nullptr, nullptr), ERROR_SUCCESS);
}

}  // namespace
}  // namespace vantrel::ext
