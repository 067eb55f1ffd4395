// The client's own logic: entry-ID translation, the polling rhythm, and the
// delivery of polled notifications to the right sinks.
#include <gtest/gtest.h>

#include <vector>

#include "client/ClientLogon.h"
#include "client/ClientStorePoll.h"
#include "client/EntryIdTranslation.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiUtil.h"
#include "protocol/NotifyQueue.h"

namespace vantrel::client {
namespace {

using Bytes = std::vector<BYTE>;

constexpr BYTE S = 0xA0;  // server UID bytes: A0 A1 ...
constexpr BYTE L = 0x50;  // local UID bytes:  50 51 ...

std::array<BYTE, 16> Uid(BYTE first) {
  std::array<BYTE, 16> u{};
  for (int i = 0; i < 16; ++i) u[i] = BYTE(first + i);
  return u;
}

Bytes WithUidAt(size_t size, size_t at, BYTE first) {
  Bytes b(size, 0x11);
  for (int i = 0; i < 16; ++i) b[at + i] = BYTE(first + i);
  return b;
}

Bytes Cut(Bytes b, size_t n) {
  b.resize(b.size() - n);
  return b;
}

StoreIdentity Identity() {
  StoreIdentity ids;
  ids.server_entry_id = {1, 2, 3, 4, 5};
  ids.local_entry_id = {9, 8, 7};
  ids.server_uid = Uid(S);
  ids.local_uid = Uid(L);
  return ids;
}

TEST(EntryIdTranslation, RulesInOrder) {
  const StoreIdentity ids = Identity();
  struct Case {
    const char* name;
    Bytes in;
    bool changed;
    Bytes out;
  };
  const Case cases[] = {
      {"the server's store ID", {1, 2, 3, 4, 5}, true, {9, 8, 7}},
      {"the provider's store ID", {9, 8, 7}, true, {1, 2, 3, 4, 5}},
      {"server UID after the flags", WithUidAt(40, 4, S), true, WithUidAt(40, 4, L)},
      {"local UID after the flags", WithUidAt(40, 4, L), true, WithUidAt(40, 4, S)},
      {"exactly flags and UID", WithUidAt(20, 4, S), true, WithUidAt(20, 4, L)},
      {"short ID with the UID first", WithUidAt(18, 0, S), true, WithUidAt(18, 0, L)},
      {"bare local UID", WithUidAt(16, 0, L), true, WithUidAt(16, 0, S)},
      {"long ID with the UID first only", WithUidAt(30, 0, S), true, WithUidAt(30, 0, L)},
      {"UID one byte short", Cut(WithUidAt(20, 4, S), 1), false, {}},
      {"someone else's ID", Bytes(44, 0x33), false, {}},
      {"prefix of the store ID", {1, 2, 3, 4}, false, {}},
      {"empty", {}, false, {}},
  };
  for (const Case& c : cases) {
    Bytes out;
    EXPECT_EQ(TranslateEntryId(ids, c.in, out), c.changed) << c.name;
    // Symmetric: translating back gives the original.
    if (c.changed) {
      EXPECT_EQ(out, c.out) << c.name;
      Bytes back;
      EXPECT_TRUE(TranslateEntryId(ids, out, back)) << c.name;
      EXPECT_EQ(back, c.in) << c.name;
    }
  }
}

TEST(EntryIdTranslation, UnknownStoreIdsNeverMatchEmptyIds) {
  StoreIdentity ids = Identity();
  ids.server_entry_id.clear();
  ids.local_entry_id.clear();
  Bytes out;
  EXPECT_FALSE(TranslateEntryId(ids, {}, out));
  EXPECT_FALSE(ToServerForm(ids, {}, out));
}

TEST(EntryIdTranslation, ServerFormLeavesServerIdsAlone) {
  const StoreIdentity ids = Identity();
  Bytes out;
  EXPECT_FALSE(ToServerForm(ids, WithUidAt(40, 4, S), out));
  EXPECT_FALSE(ToServerForm(ids, Bytes{1, 2, 3, 4, 5}, out));
  ASSERT_TRUE(ToServerForm(ids, WithUidAt(40, 4, L), out));
  EXPECT_EQ(out, WithUidAt(40, 4, S));
  ASSERT_TRUE(ToServerForm(ids, Bytes{9, 8, 7}, out));
  EXPECT_EQ(out, (Bytes{1, 2, 3, 4, 5}));
}

TEST(StorePoll, TwelfthTickWithoutAdvisesEveryTickWith) {
  int counter = 0;
  std::vector<int> polled;
  for (int tick = 1; tick <= 36; ++tick)
    if (ShouldPoll(false, counter)) polled.push_back(tick);
  EXPECT_EQ(polled, (std::vector<int>{12, 24, 36}));
  // An advise makes the next tick poll, and every one after it.
  counter = 5;
  EXPECT_TRUE(ShouldPoll(true, counter));
  EXPECT_EQ(counter, 0);
  EXPECT_TRUE(ShouldPoll(true, counter));
}

// A logon with the identity above and no server, whose codec decodes for
// the dispatch.
class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    logon_ = new CClientLogon;
    logon_->AddRef();
    logon_->SetStoreIdentity(Identity());
  }
  void TearDown() override { logon_->Release(); }

  // A sink that records the entry IDs of the object notifications it gets.
  ULONG Register(std::vector<Bytes>* seen) {
    LPMAPIADVISESINK sink = nullptr;
    EXPECT_EQ(HrAllocAdviseSink(
                  [seen](ULONG count, LPNOTIFICATION n) -> ULONG {
                    for (ULONG i = 0; i < count; ++i) {
                      auto* id = reinterpret_cast<const BYTE*>(n[i].info.obj.lpEntryID);
                      seen->emplace_back(id, id + n[i].info.obj.cbEntryID);
                    }
                    return 0;
                  },
                  &sink),
              S_OK);
    AdviseEntry e;
    e.sink = ComPtr<IMAPIAdviseSink>::Adopt(sink);
    e.event_mask = fnevObjectCreated;
    e.sink_key = CClientLogon::NewSinkKey();
    ULONG key = e.sink_key;
    logon_->AddAdvise(std::move(e));
    return key;
  }

  // One queue entry as the server sends it: an object notification about `id`.
  static Bytes Entry(ULONG client_key, Bytes id) {
    NOTIFICATION n{};
    n.ulEventType = fnevObjectCreated;
    n.info.obj.cbEntryID = ULONG(id.size());
    n.info.obj.lpEntryID = reinterpret_cast<LPENTRYID>(id.data());
    n.info.obj.ulObjType = MAPI_MESSAGE;
    zel::CMapiMarshal codec;
    zel::NotifyEntry e;
    e.client_key = client_key;
    e.event_mask = fnevObjectCreated;
    e.data = codec.Encode([&] { return codec.SizeNotification(&n); },
                          [&](zel::MarshalWriter& w) { codec.WriteNotification(w, &n); });
    Bytes out;
    zel::AppendNotifyEntry(e, out);
    return out;
  }

  CClientLogon* logon_ = nullptr;
};

TEST_F(Dispatch, EachSinkGetsItsOwnNotificationsInTheProvidersForm) {
  std::vector<Bytes> first, second;
  ULONG a = Register(&first);
  ULONG b = Register(&second);
  ASSERT_NE(a, b);
  Bytes block = Entry(a, WithUidAt(24, 4, S));
  Bytes other = Entry(b, WithUidAt(24, 4, 0x33));
  Bytes stray = Entry(b + 1000, WithUidAt(24, 4, S));  // no one registered it
  block.insert(block.end(), other.begin(), other.end());
  block.insert(block.end(), stray.begin(), stray.end());

  CStorePoll poll(logon_);
  EXPECT_EQ(poll.Dispatch(block), 2u);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], WithUidAt(24, 4, L));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0], WithUidAt(24, 4, 0x33));
}

TEST_F(Dispatch, RemovedRegistrationHearsNothingAndDamageStopsTheBlock) {
  std::vector<Bytes> seen;
  ULONG key = Register(&seen);
  Bytes block = Entry(key, WithUidAt(24, 4, S));
  Bytes cut = Entry(key, WithUidAt(24, 4, S));
  cut.resize(cut.size() - 3);
  block.insert(block.end(), cut.begin(), cut.end());

  CStorePoll poll(logon_);
  EXPECT_EQ(poll.Dispatch(block), 1u);
  EXPECT_EQ(seen.size(), 1u);
  ASSERT_TRUE(logon_->RemoveAdvise(0).has_value());
  EXPECT_FALSE(logon_->RemoveAdvise(0).has_value());
  EXPECT_FALSE(logon_->HasAdvises());
  EXPECT_EQ(poll.Dispatch(block), 0u);
}

}  // namespace
}  // namespace vantrel::client
