#include "platform/win/WNet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"

namespace {

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("VANTREL_TEST_TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/" + name;
}

class WNetTest : public testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vantrel\\Network");
    WriteHosts(
        "# the machine itself\n"
        "127.0.0.1\tlocalhost\n"
        "::1 localhost ip6-localhost ip6-loopback\n"
        "ff02::1 ip6-allnodes\n"
        "0.0.0.0 nowhere\n"
        "192.0.2.10   mailhost mailhost.example   # the server\n"
        "192.0.2.11 MAILHOST\n"
        "not-an-address name\n"
        "\n"
        "192.0.2.12 backup\n");
  }
  void TearDown() override { unsetenv("ZEL_HOSTS_FILE"); }

  void WriteHosts(const std::string& text) {
    std::string path = TempPath("hosts");
    std::ofstream(path) << text;
    setenv("ZEL_HOSTS_FILE", path.c_str(), 1);
  }

  static void AddRegistryComputer(const char* name) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vantrel\\Network\\Computers", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &key, nullptr),
              0);
    ASSERT_EQ(RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1), 0);
    RegCloseKey(key);
  }
};

struct Found {
  std::string name;
  DWORD displayType;
  DWORD usage;
};

// Walks the whole network as a browsing dialog does: blocks of 16384 bytes,
// every container entered.
void Walk(NETRESOURCEA* from, std::vector<Found>* out) {
  HANDLE h = nullptr;
  ASSERT_EQ(WNetOpenEnum(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, from, &h), 0u);
  std::vector<NETRESOURCEA> block(16384 / sizeof(NETRESOURCEA) + 1);
  for (;;) {
    DWORD count = 0xFFFFFFFF, size = static_cast<DWORD>(block.size() * sizeof(NETRESOURCEA));
    DWORD r = WNetEnumResource(h, &count, block.data(), &size);
    if (r == static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) break;
    ASSERT_EQ(r, 0u);
    for (DWORD i = 0; i < count; ++i) {
      out->push_back({block[i].lpRemoteName, block[i].dwDisplayType, block[i].dwUsage});
      if (block[i].dwUsage & RESOURCEUSAGE_CONTAINER) Walk(&block[i], out);
    }
  }
  EXPECT_EQ(WNetCloseEnum(h), 0u);
}

TEST_F(WNetTest, TheWorkgroupHoldsTheHostsAndTheRegistryListOnceEach) {
  AddRegistryComputer("backup");  // named by the hosts file too
  AddRegistryComputer("zelsrv");
  EXPECT_EQ(vantrel::win::KnownComputers(),
            (std::vector<std::string>{"localhost", "mailhost", "backup", "zelsrv"}));

  std::vector<Found> all;
  Walk(nullptr, &all);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].name, "WORKGROUP");
  EXPECT_EQ(all[0].displayType, RESOURCEDISPLAYTYPE_DOMAIN);
  std::vector<std::string> servers;
  for (size_t i = 1; i < all.size(); ++i) {
    EXPECT_EQ(all[i].displayType, RESOURCEDISPLAYTYPE_SERVER);
    servers.push_back(all[i].name);
  }
  EXPECT_EQ(servers, (std::vector<std::string>{"\\\\localhost", "\\\\mailhost", "\\\\backup", "\\\\zelsrv"}));
}

TEST_F(WNetTest, WorkgroupNameFromTheRegistryAndAMissingHostsFile) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vantrel\\Network", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &key, nullptr),
            0);
  RegSetValueEx(key, "Workgroup", 0, REG_SZ, reinterpret_cast<const BYTE*>("BUERO"), 6);
  RegCloseKey(key);
  setenv("ZEL_HOSTS_FILE", TempPath("no-such-hosts").c_str(), 1);
  AddRegistryComputer("zelsrv");

  std::vector<Found> all;
  Walk(nullptr, &all);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].name, "BUERO");
  EXPECT_EQ(all[1].name, "\\\\zelsrv");
}

TEST_F(WNetTest, EntriesComeInBlocksOfWhatFits) {
  char group[] = "WORKGROUP";
  NETRESOURCEA wg{RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEDISPLAYTYPE_DOMAIN, RESOURCEUSAGE_CONTAINER,
                  nullptr, group, nullptr, nullptr};
  HANDLE h = nullptr;
  ASSERT_EQ(WNetOpenEnum(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_ALL, &wg, &h), 0u);

  // Too small for one entry: the size it needs.
  alignas(NETRESOURCEA) char buffer[1024];
  DWORD count = 0xFFFFFFFF, size = sizeof(NETRESOURCEA);
  ASSERT_EQ(WNetEnumResource(h, &count, buffer, &size), static_cast<DWORD>(ERROR_MORE_DATA));
  ASSERT_GT(size, sizeof(NETRESOURCEA));
  ASSERT_LE(size, sizeof buffer);

  // Exactly that much: one entry, whole, its strings inside the block.
  DWORD one = size;
  count = 0xFFFFFFFF;
  ASSERT_EQ(WNetEnumResource(h, &count, buffer, &size), 0u);
  ASSERT_EQ(count, 1u);
  auto* r = reinterpret_cast<NETRESOURCEA*>(buffer);
  EXPECT_STREQ(r->lpRemoteName, "\\\\localhost");
  EXPECT_GE(r->lpRemoteName, buffer + sizeof(NETRESOURCEA));
  EXPECT_LT(r->lpRemoteName, buffer + one);

  // A count limits a block that could hold more.
  count = 1;
  size = sizeof buffer;
  ASSERT_EQ(WNetEnumResource(h, &count, buffer, &size), 0u);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(r->lpRemoteName, "\\\\mailhost");

  count = 0xFFFFFFFF;
  ASSERT_EQ(WNetEnumResource(h, &count, buffer, &size), 0u);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(r->lpRemoteName, "\\\\backup");
  EXPECT_EQ(WNetEnumResource(h, &count, buffer, &size), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(WNetCloseEnum(h), 0u);
}

TEST_F(WNetTest, Errors) {
  HANDLE h = nullptr;
  char share[] = "\\\\mailhost\\public";
  NETRESOURCEA leaf{RESOURCE_GLOBALNET, RESOURCETYPE_DISK, RESOURCEDISPLAYTYPE_SHARE, RESOURCEUSAGE_CONNECTABLE,
                    nullptr, share, nullptr, nullptr};
  EXPECT_EQ(WNetOpenEnum(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, &leaf, &h), static_cast<DWORD>(ERROR_NOT_CONTAINER));

  char unknown[] = "\\\\elsewhere";
  NETRESOURCEA other{RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEDISPLAYTYPE_SERVER, RESOURCEUSAGE_CONTAINER,
                     nullptr, unknown, nullptr, nullptr};
  EXPECT_EQ(WNetOpenEnum(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, 0, &other, &h), static_cast<DWORD>(ERROR_BAD_NET_NAME));
  EXPECT_EQ(WNetOpenEnum(99, RESOURCETYPE_ANY, 0, nullptr, &h), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // A known computer is a container of no shares; nothing is connected.
  char server[] = "\\\\MailHost";
  other.lpRemoteName = server;
  for (DWORD scope : {RESOURCE_GLOBALNET, RESOURCE_CONNECTED}) {
    ASSERT_EQ(WNetOpenEnum(scope, RESOURCETYPE_ANY, 0, &other, &h), 0u);
    NETRESOURCEA block[4];
    DWORD count = 0xFFFFFFFF, size = sizeof block;
    EXPECT_EQ(WNetEnumResource(h, &count, block, &size), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(WNetCloseEnum(h), 0u);
  }
  // A closed handle is no longer one.
  NETRESOURCEA block[4];
  DWORD count = 0xFFFFFFFF, size = sizeof block;
  EXPECT_EQ(WNetEnumResource(h, &count, block, &size), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WNetCloseEnum(h), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
