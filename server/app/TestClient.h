// Test support: a client workstation's calls on a ZelServer through the RPC
// runtime and the typed stubs, each checked for the transport's status.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/Guid.h"
#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/registry/Registry.h"
#include "protocol/MapiMarshal.h"
#include "protocol/ZelStubs.h"
#include "server/app/ServerProcess.h"

namespace vantrel::testsupport {

struct MapiDeleter {
  void operator()(void* p) const { MAPIFreeBuffer(p); }
};
template <class T>
using MapiPtr = std::unique_ptr<T, MapiDeleter>;

inline zel::wire::Selector Iid(const IID& iid) { return zel::InterfaceSelector(iid); }

// One client connection and the calls the tests make, each checked for the
// transport's status; the operation's own result is returned.
class Client {
 public:
  explicit Client(const std::string& port)
      : binding_(std::make_unique<Binding>(port)), transport_(binding_->transport()) {}
  // Over another transport (a raw connection from a chosen address).
  explicit Client(zel::Transport transport) : transport_(std::move(transport)) {}
  const zel::Transport& t() const { return transport_; }

  template <class Op>
  typename Op::Reply Call(const typename Op::Request& in) {
    typename Op::Reply out;
    RPC_STATUS s = zel::Invoke<Op>(t(), in, out);
    EXPECT_EQ(s, RPC_S_OK) << Op::kName;
    return out;
  }

  std::int32_t Logon(const std::string& profile, const std::string& store, const std::string& user,
                     const std::string& password) {
    return Call<zel::Tarnix_Logon>({profile, store, user, password, "", "workstation"}).result;
  }

  std::vector<std::uint8_t> Block(std::int32_t cb, std::int32_t buffer, const zel::wire::Inline::Value& data,
                                  std::vector<std::int32_t>* reads = nullptr) {
    std::vector<std::uint8_t> out;
    EXPECT_EQ(zel::FetchResultBlock(t(), cb, buffer, data, out, reads), RPC_S_OK);
    return out;
  }

  // GetProps decoded; null when the call failed.
  MapiPtr<SPropValue> GetProps(std::int32_t h, std::vector<std::uint32_t> tags, ULONG* count,
                               HRESULT* hr = nullptr) {
    auto r = Call<zel::MAPIPROP_GetProps>({h, std::move(tags), 0});
    if (hr) *hr = r.result;
    *count = static_cast<ULONG>(r.cValues);
    if (FAILED(r.result) || r.cb == 0) return nullptr;
    auto block = Block(r.cb, r.hBuffer, r.inlineData);
    zel::MarshalReader reader(block);
    LPSPropValue values = nullptr;
    EXPECT_EQ(codec_.ReadProps(reader, *count, nullptr, &values), S_OK);
    return MapiPtr<SPropValue>(values);
  }

  std::vector<std::uint8_t> Binary(std::int32_t h, ULONG tag) {
    ULONG n = 0;
    auto v = GetProps(h, {tag}, &n);
    if (!v || n != 1 || v.get()[0].ulPropTag != tag) return {};
    const SBinary& b = v.get()[0].Value.bin;
    return {b.lpb, b.lpb + b.cb};
  }

  std::string Text(std::int32_t h, ULONG tag) {
    ULONG n = 0;
    auto v = GetProps(h, {tag}, &n);
    if (!v || n != 1 || PROP_TYPE(v.get()[0].ulPropTag) != PT_STRING8) return "<none>";
    return v.get()[0].Value.lpszA;
  }

  HRESULT SetProps(std::int32_t h, const std::vector<SPropValue>& values) {
    auto data = codec_.Encode([&] { return codec_.SizeProps(values.data(), static_cast<ULONG>(values.size())); },
                              [&](zel::MarshalWriter& w) {
                                codec_.WriteProps(w, values.data(), static_cast<ULONG>(values.size()));
                              });
    return Call<zel::MAPIPROP_SetProps>({h, static_cast<std::int32_t>(values.size()), data}).result;
  }

  // OpenEntry on the store; returns the handle, `type` the object type.
  std::int32_t OpenEntry(std::int32_t store, const std::vector<std::uint8_t>& eid, std::int32_t* type = nullptr) {
    auto r = Call<zel::MSGSTORE_OpenEntry>({store, eid, {}, MAPI_BEST_ACCESS});
    EXPECT_EQ(r.result, S_OK);
    if (type) *type = r.ulObjType;
    return r.hNewObject;
  }

  // Every row of a table with the given columns.
  MapiPtr<SRowSet> Rows(std::int32_t table, std::vector<std::uint32_t> columns, std::int32_t count = 1000) {
    EXPECT_EQ(Call<zel::IMAPITABLE_SetColumns>({table, std::move(columns), 0}).result, S_OK);
    auto r = Call<zel::IMAPITABLE_QueryRows>({table, count, 0});
    EXPECT_EQ(r.result, S_OK);
    auto block = Block(r.cb, r.hBuffer, r.inlineData);
    zel::MarshalReader reader(block);
    LPSRowSet rows = nullptr;
    EXPECT_EQ(codec_.ReadRowSet(reader, nullptr, &rows), S_OK);
    return MapiPtr<SRowSet>(rows);
  }

  // The display names of a table's rows, in order.
  std::vector<std::string> Names(std::int32_t table, ULONG name_tag = PR_DISPLAY_NAME) {
    std::vector<std::string> names;
    auto rows = Rows(table, {name_tag});
    if (!rows) return names;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue& v = rows->aRow[i].lpProps[0];
      names.push_back(PROP_TYPE(v.ulPropTag) == PT_STRING8 ? v.Value.lpszA : "<none>");
    }
    // A row set is freed row by row, as MAPI hands it out.
    for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
    return names;
  }

  const zel::CMapiMarshal& codec() const { return codec_; }
  RPC_BINDING_HANDLE binding() const { return binding_ ? binding_->handle() : nullptr; }

 private:
  std::unique_ptr<Binding> binding_;
  zel::Transport transport_;
  zel::CMapiMarshal codec_;
};

inline void FreeRows(SRowSet* rows) {
  if (!rows) return;
  for (ULONG i = 0; i < rows->cRows; ++i) MAPIFreeBuffer(rows->aRow[i].lpProps);
}

inline SPropValue Text(ULONG tag, const char* text) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszA = const_cast<char*>(text);
  return v;
}

// The test's scratch folder, which ctest makes private to the test.
inline std::string TestDir() {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  return tmp ? tmp : "/tmp/vantrel-test";
}

// Server settings written under Software\HOLLIN\Brimwell before a server
// starts.
using ServerValues = std::vector<std::pair<const char*, DWORD>>;

inline void WriteServerValues(const ServerValues& values) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\HOLLIN\\Brimwell", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                           &key, nullptr),
            ERROR_SUCCESS);
  for (const auto& [name, v] : values)
    RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
  RegCloseKey(key);
}

// A test suite's ZelServer on the mailbox home, made with the
// administrator's tools as a real installation is. The test program defines
// ZELSERVER_BIN, MAPIPROF_BIN and ZELUSERS_BIN.
class ServerSuite : public ::testing::Test {
 protected:
  static void StartServer(const ServerValues& values = {}) {
    std::string dir = TestDir();
    ASSERT_TRUE(PrepareMailboxHome(dir, MAPIPROF_BIN, ZELUSERS_BIN))
        << "run through ctest: the test needs its private registry";
    WriteServerValues(values);
    server_ = new ServerProcess(ZELSERVER_BIN, dir + "/home");
    ASSERT_TRUE(server_->ready());
  }
  static void StopServer() {
    if (server_) {
      EXPECT_EQ(server_->Stop(), 0);
    }
    delete server_;
    server_ = nullptr;
  }
  static void SetUpTestSuite() { StartServer(); }
  static void TearDownTestSuite() { StopServer(); }
  void SetUp() override { ASSERT_TRUE(server_ && server_->ready()); }

  inline static ServerProcess* server_ = nullptr;
};

}  // namespace vantrel::testsupport
