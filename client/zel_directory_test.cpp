// ZelDirOpen and CreateStoreID as the store provider and the connection
// dialog call them: zelclient loaded at run time, the exports found by
// ordinal, a real ZelServer on a free port.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>

#include "client/ZelDirectory.h"
#include "platform/win/Module.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using ZelDirOpenFn = decltype(&ZelDirOpen);
using CreateStoreIDFn = HRESULT (*)(const char*, unsigned char*);
using Uid = std::array<unsigned char, 16>;

class ZelExports : public testsupport::ServerSuite {
 protected:
  static void SetUpTestSuite() {
    StartServer();
    setenv("ZEL_RPC_ENDPOINT", server_->port().c_str(), 1);
    HMODULE module = LoadLibraryA(ZELCLIENT_MODULE);
    ASSERT_NE(module, nullptr) << win::LastLoadError();
    dir_open_ = reinterpret_cast<ZelDirOpenFn>(GetProcAddress(module, MAKEINTRESOURCEA(5)));
    store_id_ = reinterpret_cast<CreateStoreIDFn>(GetProcAddress(module, MAKEINTRESOURCEA(6)));
    ASSERT_NE(dir_open_, nullptr);
    ASSERT_NE(store_id_, nullptr);
    ASSERT_EQ(reinterpret_cast<FARPROC>(dir_open_), GetProcAddress(module, "ZelDirOpen"));
    ASSERT_EQ(reinterpret_cast<FARPROC>(store_id_), GetProcAddress(module, "CreateStoreID"));
  }

  inline static ZelDirOpenFn dir_open_ = nullptr;
  inline static CreateStoreIDFn store_id_ = nullptr;
};

TEST_F(ZelExports, ZelDirOpenAnswersTheServersRefusalOrTheConnectionsFailureWithoutADirectory) {
  // This server keeps no directory: it answers 1.
  IZELDirectory* dir = reinterpret_cast<IZELDirectory*>(1);
  EXPECT_EQ(dir_open_("127.0.0.1", "/CN=Recipients", "", "", &dir), 1);
  EXPECT_EQ(dir, nullptr);
  dir = reinterpret_cast<IZELDirectory*>(1);
  HRESULT hr = dir_open_("no-such-host.invalid", "/CN=Recipients", "", "", &dir);
  EXPECT_NE(hr, S_OK);
  EXPECT_EQ(dir, nullptr);
}

TEST_F(ZelExports, CreateStoreIdGivesOneNonZeroIdentifierPerStore) {
  const std::string text = std::string("127.0.0.1 ignored(") + testsupport::Mailbox::kProfile + ")(" +
                           testsupport::Mailbox::kStore + ")(fourth field)";
  Uid first{}, second{};
  ASSERT_EQ(store_id_(text.c_str(), first.data()), S_OK);  // the server field is cut at its blank
  EXPECT_NE(first, Uid{});
  second.fill(0x77);
  ASSERT_EQ(store_id_(text.c_str(), second.data()), S_OK);
  EXPECT_EQ(second, first);

  // Only a server: the default profile, which this server does not have.
  Uid none{};
  EXPECT_LT(store_id_("127.0.0.1", none.data()), 0);
  EXPECT_EQ(none, Uid{});
}

}  // namespace
}  // namespace vantrel
