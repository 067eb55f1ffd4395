#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "protocol/ZelStubs.h"
#include "server/dispatch/TraceCapture.h"
#include "server/dispatch/ServerClasses.h"
#include "server/dispatch/ServerDispatch.h"
#include "server/dispatch/ServerTrace.h"
#include "server/dispatch/LogonThrottle.h"
#include "server/dispatch/NotFoundResults.h"

namespace vantrel::server {
namespace {


struct FakeClock {
  std::uint64_t now = 5000000;
  CServerClasses::Clock fn() {
    return [this] { return now; };
  }
};

// An object of a given kind that records its destruction and can fail.
class TestObject : public CServerClass {
 public:
  explicit TestObject(std::int32_t kind, std::string desc = "") : CServerClass(kind) { description = std::move(desc); }
  void Destroy() override { ++destroyed; }
  HRESULT MAPIPROP_SaveChanges(const zel::MAPIPROP_SaveChanges::Request& in,
                               zel::MAPIPROP_SaveChanges::Reply&) override {
    return in.ulFlags;  // the test chooses the status through the flags
  }
  HRESULT ISTREAM_Commit(const zel::ISTREAM_Commit::Request&, zel::ISTREAM_Commit::Reply&) override {
    throw std::runtime_error("not a stream");
  }
  HRESULT IMAPITABLE_QueryRows(const zel::IMAPITABLE_QueryRows::Request& in,
                               zel::IMAPITABLE_QueryRows::Reply& out) override {
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(in.lRowCount), 0x5A);
    out.hBuffer = registry->MakeResultBlock(std::move(rows), out.inlineData, out.cb);
    return 0;
  }
  int destroyed = 0;
};

class TestSession : public CServerClass {
 public:
  TestSession() : CServerClass(kZelLogon) {}
  HRESULT Tarnix_Logon(const zel::Tarnix_Logon::Request& in, zel::Tarnix_Logon::Reply&) override {
    return in.password == "secret" ? 0 : MAPI_E_LOGON_FAILED;
  }
  HRESULT Tarnix_AdminLogon(const zel::Tarnix_AdminLogon::Request& in, zel::Tarnix_AdminLogon::Reply&) override {
    return in.password == "secret" ? 0 : 1;
  }
  void Destroy() override { ++destroyed; }
  int destroyed = 0;
};

struct Fixture : ::testing::Test {
  CaptureSink sink;
  FakeClock clock;
  CServerClasses reg{clock.fn()};
  std::shared_ptr<TestObject> Add(std::int32_t kind, std::int32_t owner = -1, std::string desc = "") {
    auto o = std::make_shared<TestObject>(kind, std::move(desc));
    reg.Register(o, owner, nullptr);
    return o;
  }
};

// ---- registry ----

TEST_F(Fixture, HandlesCountUpAndAreNeverReused) {
  EXPECT_EQ(reg.Register(std::make_shared<TestObject>(kIMapiProp), -1, nullptr), 1);
  EXPECT_EQ(reg.Register(std::make_shared<TestObject>(kIMapiProp), -1, nullptr), 2);
  reg.Free(1);
  reg.Free(2);
  EXPECT_EQ(reg.Register(std::make_shared<TestObject>(kIMapiProp), -1, nullptr), 3);
  EXPECT_TRUE(reg.Changed());
  reg.ClearChanged();
  reg.Free(77);  // never issued: nothing changes but the flag
  EXPECT_EQ(reg.Objects().size(), 1u);
}

TEST_F(Fixture, KindTestRunsBothWays) {
  struct Case {
    std::int32_t kind, wanted;
    bool found;
  } cases[] = {
      {kIMapiProp, kIMessage, true},  // messages carry kind 2
      {kIMAPIFolder, kIMapiProp, true}, {kIMAPIFolder, kIMapiContainer, true}, {kIMapiContainer, kIMAPIFolder, true},
      {kIMsgStore, kIMapiProp, true},   {kIMapiProp, kIMsgStore, true},        {kIMAPITable, kIMAPIFolder, false},
      {kIMsgStore, kIMessage, false},   {kIStream, kIMapiProp, false},         {kIStream, kAnyKind, true},
      {kZelLogon, kZelLogon, true},
  };
  for (const auto& c : cases) {
    auto o = Add(c.kind);
    EXPECT_EQ(reg.Lookup(o->handle, c.wanted) != nullptr, c.found) << c.kind << " as " << c.wanted;
  }
}

TEST_F(Fixture, LookupFailuresWriteTheFatalLines) {
  auto table = Add(kIMAPITable);
  sink.Take();
  EXPECT_EQ(reg.Lookup(table->handle, kIMAPIFolder), nullptr);
  EXPECT_EQ(reg.Lookup(42, kIMsgStore), nullptr);
  EXPECT_EQ(reg.Lookup(43, kAnyKind), nullptr);
  EXPECT_EQ(reg.Lookup(-1, kIMsgStore), nullptr);  // negative: silent
  EXPECT_EQ(sink.Take(), (std::vector<std::string>{
                             "ZelServer: *** FATAL **** Wrong Class 1 Type found: IMAPITable wanted IMAPIFolder\n",
                             "ZelServer: *** FATAL **** Class Deleted Number=42 Type IMsgStore\n",
                             "ZelServer: *** FATAL **** Class Deleted Number=43 Type \n",
                         }));
}

TEST_F(Fixture, EndSessionFreesExactlyTheSessionsObjects) {
  auto s1 = Add(kZelLogon), s2 = Add(kZelLogon);
  auto folder = Add(kIMAPIFolder, s1->handle), table = Add(kIMAPITable, s1->handle), stream = Add(kIStream, s1->handle);
  auto other = Add(kIMAPIFolder, s2->handle);
  auto directory = Add(kIZELDirectory, s1->handle);
  reg.EndSession(s1->handle);
  std::vector<std::int32_t> left;
  for (auto& [h, o] : reg.Objects()) left.push_back(h);
  EXPECT_EQ(left, (std::vector<std::int32_t>{s2->handle, other->handle}));
  EXPECT_EQ(s1->destroyed + folder->destroyed + table->destroyed + stream->destroyed, 4);
  EXPECT_EQ(directory->destroyed, 0);  // forgotten, not destroyed
  EXPECT_EQ(other->destroyed, 0);
}

TEST_F(Fixture, IdleSessionsEndOnePerSweep) {
  auto s1 = Add(kZelLogon), s2 = Add(kZelLogon), fresh = Add(kZelLogon);
  fresh->last_activity = clock.now + 21 * 60 * 1000;  // polled recently
  clock.now += 21 * 60 * 1000;
  auto future = Add(kZelLogon);
  future->last_activity = clock.now + 1000;  // a stamp in the future is not idle
  reg.SweepIdleSessions();
  EXPECT_EQ(reg.Lookup(s1->handle, kAnyKind), nullptr);
  EXPECT_NE(reg.Lookup(s2->handle, kAnyKind), nullptr);
  reg.SweepIdleSessions();
  EXPECT_EQ(reg.Lookup(s2->handle, kAnyKind), nullptr);
  reg.SweepIdleSessions();
  EXPECT_NE(reg.Lookup(fresh->handle, kAnyKind), nullptr);
  EXPECT_NE(reg.Lookup(future->handle, kAnyKind), nullptr);
  reg.EndAllSessions();
  EXPECT_TRUE(reg.Objects().empty());
}

class Source : public DescribeSource {
 public:
  std::map<ULONG, std::string> texts;
  std::vector<std::uint8_t> entry_id;
  bool fail = false;
  std::optional<std::string> ReadText(ULONG tag) override {
    if (fail) throw std::runtime_error("gone");
    auto it = texts.find(tag);
    return it == texts.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<std::vector<std::uint8_t>> ReadBinary(ULONG) override {
    if (entry_id.empty()) return std::nullopt;
    return entry_id;
  }
};

TEST_F(Fixture, DescribeAndFindByEntryID) {
  auto msg = Add(kIMapiProp), bare = Add(kIMapiProp), broken = Add(kIMapiProp);
  Source s;
  s.texts[0x3001001E] = "Display";
  s.entry_id = {0x0A, 0xBC};
  reg.Describe(*msg, s);
  EXPECT_EQ(msg->Description(), "Display");
  s.texts.clear();
  s.entry_id = {0x01, 0xFF};
  reg.Describe(*bare, s);
  EXPECT_EQ(bare->Description(), "01FF");
  s.fail = true;
  reg.Describe(*broken, s);
  EXPECT_EQ(broken->Description(), "<not available>");

  std::int32_t h = 0;
  std::vector<std::uint8_t> id = {0x0A, 0xBC};
  EXPECT_EQ(reg.FindByEntryID(id, &h), 0);
  EXPECT_EQ(h, msg->handle);
  id = {0x0A};
  EXPECT_EQ(reg.FindByEntryID(id, &h), MAPI_E_NOT_FOUND);
}

TEST_F(Fixture, CreateObjectUsesTheFactoryForKnownTypes) {
  std::vector<std::int32_t> asked;
  reg.SetObjectFactory([&](std::int32_t type) {
    asked.push_back(type);
    return std::make_shared<TestObject>(type == 3 ? kIMAPIFolder : kIMapiProp);
  });
  auto store = Add(kIMsgStore);
  std::shared_ptr<CServerClass> created;
  sink.Take();
  std::int32_t h = reg.CreateObject(3, store, nullptr, nullptr, 9, "Inbox", &created);
  EXPECT_EQ(h, 2);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->Description(), "Inbox");
  EXPECT_EQ(created->owner, 9);
  {
    MutexLock l(created->lock);
    EXPECT_EQ(created->store.lock(), store);
  }
  EXPECT_EQ(reg.CreateObject(258, store, nullptr, nullptr, 9, nullptr), 0);  // docfile streams make nothing
  EXPECT_EQ(asked, std::vector<std::int32_t>{3});
  EXPECT_EQ(sink.Take(), (std::vector<std::string>{"ZelServer: New class: 2", "ZelServer: New class: 0"}));
}

// ---- result blocks ----

TEST_F(Fixture, ResultBlocks) {
  zel::wire::Inline::Value inl{};
  std::int32_t cb = 0;
  std::vector<std::uint8_t> got;
  // An answer that fits inline leaves the caller's buffer as it was.
  std::vector<std::uint8_t> fits(512, 1);
  EXPECT_EQ(reg.MakeResultBlock(std::move(fits), inl, cb), -1);
  EXPECT_EQ(fits, std::vector<std::uint8_t>(512, 1));
  EXPECT_EQ(cb, 512);

  std::int32_t h = reg.MakeResultBlock(std::vector<std::uint8_t>(513, 2), inl, cb);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(reg.BlockSize(h), 513);
  EXPECT_EQ(reg.ReadBlock(h, kReadBufferMax, got), 1);
  EXPECT_EQ(reg.ReadBlock(h, kReadBufferMax, got), -1);  // the last byte freed it
  EXPECT_EQ(reg.BlockSize(h), -1);
  EXPECT_EQ(reg.FreeBlock(h), 1);

  std::vector<std::uint8_t> big(100000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 31);
  h = reg.MakeResultBlock(std::vector<std::uint8_t>(big), inl, cb);
  EXPECT_EQ(h, 0);  // reused from the free list
  std::vector<std::uint8_t> all(inl.begin(), inl.end());
  std::vector<std::int32_t> sizes;
  for (;;) {
    std::int32_t n = reg.ReadBlock(h, kReadBufferMax, got);
    if (n <= 0) break;
    sizes.push_back(n);
    all.insert(all.end(), got.begin(), got.end());
  }
  EXPECT_EQ(sizes, (std::vector<std::int32_t>{32768, 32768, 32768, 1184}));
  EXPECT_EQ(all, big);

  std::int32_t a = reg.MakeResultBlock(std::vector<std::uint8_t>(600), inl, cb);
  std::int32_t b = reg.MakeResultBlock(std::vector<std::uint8_t>(600), inl, cb);
  std::int32_t c = reg.MakeResultBlock(std::vector<std::uint8_t>(600), inl, cb);
  EXPECT_EQ((std::vector<std::int32_t>{a, b, c}), (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(reg.FreeBlock(0), 0);
  EXPECT_EQ(reg.FreeBlock(1), 0);
  EXPECT_EQ(reg.FreeBlock(1), 1);
  EXPECT_EQ(reg.MakeResultBlock(std::vector<std::uint8_t>(600), inl, cb), 0);
  EXPECT_EQ(reg.MakeResultBlock(std::vector<std::uint8_t>(600), inl, cb), 1);
  EXPECT_EQ(reg.MakeResultBlock(std::vector<std::uint8_t>(600), inl, cb), 3);
  EXPECT_EQ(reg.ReadBlock(-5, kReadBufferMax, got), -1);
}

// ---- ownership, reconnection, caps ----

CallContext Caller(std::uint64_t association, std::string peer = "10.0.0.1") {
  return CallContext{association, std::move(peer)};
}

// A's session, an object under it and a pending block of it, made on
// association 1.
struct Owned {
  std::shared_ptr<TestObject> session, object;
  std::int32_t block = -1;
};
Owned MakeOwned(CServerClasses& reg, const std::string& peer = "10.0.0.1") {
  CallScope a(Caller(1, peer));
  Owned o;
  o.session = std::make_shared<TestObject>(kZelLogon);
  reg.Register(o.session, -1, nullptr);
  o.object = std::make_shared<TestObject>(kIMapiProp, "mine");
  reg.Register(o.object, o.session->handle, o.session);
  {
    MutexLock l(o.object->lock);
    o.object->entry_id_text = "ABCD";
  }
  zel::wire::Inline::Value inl{};
  std::int32_t cb = 0;
  o.block = reg.MakeResultBlock(o.session->handle, std::vector<std::uint8_t>(2049, 7), inl, cb);
  return o;
}

TEST_F(Fixture, AnotherAssociationsHandlesNameNothing) {
  Owned a = MakeOwned(reg);
  std::vector<std::uint8_t> got;
  const std::uint8_t id[] = {0xAB, 0xCD};
  std::int32_t found = 0;
  {
    CallScope b(Caller(2, "10.0.0.2"));
    for (std::int32_t h : {a.session->handle.load(), a.object->handle.load()}) {
      EXPECT_EQ(reg.Lookup(h, kAnyKind), nullptr) << h;
      reg.Free(h);
    }
    EXPECT_EQ(reg.BlockSize(a.block), -1);
    EXPECT_EQ(reg.ReadBlock(a.block, kReadBufferMax, got), -1);
    EXPECT_EQ(reg.FreeBlock(a.block), 1);
    EXPECT_EQ(reg.FindByEntryID(id, &found), MAPI_E_NOT_FOUND);
    EXPECT_FALSE(reg.OwnSession(a.session->handle));
  }
  // One log line for association 2, however often it tried.
  auto lines = sink.Take();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("another connection") != std::string::npos; }),
            1);
  // A's things are whole.
  CallScope again(Caller(1, "10.0.0.1"));
  EXPECT_EQ(reg.Lookup(a.object->handle, kIMapiProp), a.object);
  EXPECT_EQ(reg.FindByEntryID(id, &found), 0);
  EXPECT_EQ(found, a.object->handle);
  EXPECT_EQ(reg.BlockSize(a.block), 2049);
  EXPECT_EQ(a.object->destroyed + a.session->destroyed, 0);
}

TEST_F(Fixture, OrphansAreTakenOverFromTheirAddressOnly) {
  Owned a = MakeOwned(reg);
  const std::int32_t s = a.session->handle, o = a.object->handle;
  struct Case {
    const char* what;
    std::uint64_t association;
    const char* peer;
    bool closed_before;  // association 1 has closed
    bool may;
  };
  const Case cases[] = {
      {"live session, same address", 3, "10.0.0.1", false, false},
      {"orphan, other address", 4, "10.0.0.2", true, false},
      {"orphan, unknown address", 5, "", true, false},
      {"orphan, same address", 6, "10.0.0.1", true, true},
      {"taken over: live again", 7, "10.0.0.1", true, false},
  };
  for (const Case& c : cases) {
    if (c.closed_before) reg.AssociationClosed(1);
    CallScope scope(Caller(c.association, c.peer));
    EXPECT_EQ(reg.Lookup(o, kAnyKind) != nullptr, c.may) << c.what;
  }
  CallScope heir(Caller(6, "10.0.0.1"));  // session, object and block went over together
  EXPECT_NE(reg.Lookup(s, kZelLogon), nullptr);
  EXPECT_EQ(reg.BlockSize(a.block), 2049);
  // Closing the heir orphans it again; the idle sweep ends it with its
  // object and block.
  reg.AssociationClosed(6);
  clock.now += kSessionIdleMs + 1;
  reg.SweepIdleSessions();
  EXPECT_EQ(a.session->destroyed, 1);
  EXPECT_EQ(a.object->destroyed, 1);
  EXPECT_EQ(reg.PendingBytes(s), 0u);
  CallScope back(Caller(8, "10.0.0.1"));
  EXPECT_EQ(reg.BlockSize(a.block), -1);
}

TEST_F(Fixture, CapsPerSessionAndAssociation) {
  RegistryLimits limits;
  limits.pending_bytes_per_session = 5000;
  limits.objects_per_session = 2;
  limits.sessions_per_association = 2;
  reg.SetLimits(limits);
  Owned a = MakeOwned(reg);  // one object, 2049 pending bytes
  CallScope scope(Caller(1));
  CurrentCall().refused = false;
  zel::wire::Inline::Value inl{};
  std::int32_t cb = 0;
  const std::int32_t s = a.session->handle;
  EXPECT_GE(reg.MakeResultBlock(s, std::vector<std::uint8_t>(2049, 1), inl, cb), 0);
  EXPECT_FALSE(CurrentCall().refused);
  EXPECT_EQ(reg.MakeResultBlock(s, std::vector<std::uint8_t>(1000, 1), inl, cb), -1);  // 5098 > 5000
  EXPECT_EQ(cb, 0);
  EXPECT_TRUE(CurrentCall().refused);
  EXPECT_EQ(reg.PendingBytes(s), 4098u);

  CurrentCall().refused = false;
  EXPECT_GT(reg.Register(std::make_shared<TestObject>(kIMapiProp), s, a.session), 0);
  EXPECT_EQ(reg.Register(std::make_shared<TestObject>(kIMapiProp), s, a.session), -1);
  EXPECT_TRUE(CurrentCall().refused);

  EXPECT_GT(reg.Register(std::make_shared<TestObject>(kZelLogon), -1, nullptr), 0);
  EXPECT_EQ(reg.Register(std::make_shared<TestObject>(kZelLogon), -1, nullptr), -1);

  // The session's end frees its blocks and counts.
  reg.Free(s);
  EXPECT_EQ(reg.BlockSize(a.block), -1);
  EXPECT_EQ(reg.PendingBytes(s), 0u);
}

TEST_F(Fixture, NothingRegistersUnderASessionThatEnded) {
  auto session = std::make_shared<TestObject>(kZelLogon);
  std::int32_t s = reg.Register(session, -1, nullptr);
  reg.EndSession(s);  // while its logon still runs
  EXPECT_EQ(reg.Register(std::make_shared<TestObject>(kIMsgStore), s, session), -1);
  reg.SetObjectFactory([](std::int32_t) { return std::make_shared<TestObject>(kIMsgStore); });
  std::shared_ptr<CServerClass> made;
  EXPECT_EQ(reg.CreateObject(1, nullptr, session, nullptr, s, "store", &made), 0);
  EXPECT_EQ(made, nullptr);
  for (auto& [h, o] : reg.Objects()) EXPECT_NE(o->owner.load(), s) << h;
}

TEST(LogonThrottle, DelaysGrowPerAddressAndStartOver) {
  std::uint64_t now = 1000;
  CLogonThrottle t(100, [&] { return now; });
  struct Step {
    const char* peer;
    bool success;
    std::uint64_t advance;  // ms before the step
    std::uint64_t delay;    // the failure's delay
  };
  const Step steps[] = {
      {"a", false, 0, 0},   {"a", false, 0, 100}, {"a", false, 0, 200},  {"b", false, 0, 0},
      {"a", false, 0, 400}, {"a", true, 0, 0},    {"a", false, 0, 0},    {"a", false, 0, 100},
      {"a", false, 60000, 0}, {"a", false, 59999, 100},
  };
  for (const Step& st : steps) {
    now += st.advance;
    if (st.success) {
      t.Succeeded(st.peer);
      continue;
    }
    EXPECT_EQ(t.Failed(st.peer), st.delay) << st.peer << " at " << now;
  }
  for (int i = 0; i < 20; ++i) t.Failed("c");
  EXPECT_EQ(t.Failed("c"), CLogonThrottle::kMaxDelayMs);
}

// ---- handlers through the stubs and the dispatcher ----

struct DispatchFixture : Fixture {
  ServerHooks hooks;
  std::unique_ptr<CServerDispatch> dispatch;
  zel::Transport transport;
  void SetUp() override { Start(); }
  void Start() {
    dispatch = std::make_unique<CServerDispatch>(reg, hooks);
    transport = zel::LocalTransport(dispatch->Spec().dispatch);
  }
  template <class Op>
  typename Op::Reply Call(const typename Op::Request& in) {
    typename Op::Reply out;
    EXPECT_EQ(zel::Invoke<Op>(transport, in, out), RPC_S_OK);
    return out;
  }
};

TEST_F(DispatchFixture, EveryOperationOnHandlesThatNameNothing) {
  Add(kIMAPIFolder);  // handle 1 exists; the requests name 0 and 777
  for (std::int32_t handle : {0, 777}) {
    zel::ForEachOperation([&]<class Op>() {
      typename Op::Request in{};
      if constexpr (requires { in.hObject; }) in.hObject = handle;
      if constexpr (requires { in.hStore; }) in.hStore = handle;
      if constexpr (requires { in.hTable; }) in.hTable = handle;
      if constexpr (requires { in.hStream; }) in.hStream = handle;
      if constexpr (requires { in.hMessage; }) in.hMessage = handle;
      typename Op::Reply out = Call<Op>(in);
      if constexpr (Op::kHasResult) {
        EXPECT_EQ(out.result, NotFoundResult(Op::kOpnum)) << Op::kName;
      }
    });
  }
  zel::Reserved117::Reply r = Call<zel::Reserved117>({});
  EXPECT_EQ((std::vector<std::int32_t>{r.value1, r.value2, r.value3}), (std::vector<std::int32_t>{1800, 0, 0}));
  zel::ISTREAM_Clone::Reply clone = Call<zel::ISTREAM_Clone>({});
  EXPECT_EQ(clone.hClone, 0);
  EXPECT_EQ(reg.Objects().size(), 1u);  // nothing was made or freed
}

TEST_F(DispatchFixture, TraceLinesOfTheFrame) {
  auto prop = Add(kIMapiProp, -1, "Subject 100%");
  auto stream = Add(kIMAPIFolder, -1, "Box");
  sink.Take();
  // Success: the entry line alone.
  EXPECT_EQ(Call<zel::MAPIPROP_SaveChanges>({prop->handle, 4}).result, 4);
  EXPECT_EQ(sink.Take(), std::vector<std::string>{"ZelServer: IMAPIProp.SaveChanges(4) ; 1 Subject 100%"});
  // A negative status: entry and result lines.
  EXPECT_EQ(Call<zel::MAPIPROP_SaveChanges>({prop->handle, MAPI_E_NOT_FOUND}).result, MAPI_E_NOT_FOUND);
  EXPECT_EQ(sink.Take(), (std::vector<std::string>{"ZelServer: IMAPIProp.SaveChanges(8004010f) ; 1 Subject 100%",
                                                   "ZelServer: Result = 8004010f (MAPI_E_NOT_FOUND)"}));
  // A stream operation on a folder passes the lookup and fails inside.
  EXPECT_EQ(Call<zel::ISTREAM_Commit>({stream->handle, 0}).result, MAPI_E_NO_SUPPORT);
  EXPECT_EQ(sink.Take(),
            (std::vector<std::string>{"ZelServer: IStream.Commit(0) ; 2 Box", "ZelServer: Error in ISTREAM_Commit"}));
  // Operations that report a handle trace after the call, with the handle.
  auto store = Add(kIMsgStore, -1, "Store");
  sink.Take();
  zel::MSGSTORE_OpenEntry::Request open{store->handle, {0x0A, 0xB1}, {}, 0x10};
  EXPECT_EQ(Call<zel::MSGSTORE_OpenEntry>(open).result, MAPI_E_NO_SUPPORT);
  EXPECT_EQ(sink.Take(),
            (std::vector<std::string>{"ZelServer: Result = 80040102 (MAPI_E_NO_SUPPORT)",
                                      "ZelServer: IMsgStore.OpenEntry(0ab1,guid,10) = 0, typ=unknown ; 3 Store"}));
  // Percent signs in arguments are printed as they are.
  zel::ISTORAGE_DestroyElement::Request d{9, "a%sb%n"};
  EXPECT_EQ(Call<zel::ISTORAGE_DestroyElement>(d).result, 1);
  EXPECT_EQ(sink.Take(), (std::vector<std::string>{"ZelServer: *** FATAL **** Class Deleted Number=9 Type \n",
                                                   "ZelServer: IStorage::DestroyElement(a%sb%n) ; 9",
                                                   "ZelServer: *** FATAL **** Class Deleted Number=9 Type \n"}));
}

// With nobody listening no trace text is made, but the frame's lookups
// write the same log lines as with a monitor attached.
TEST_F(DispatchFixture, WithoutMonitorTheFrameKeepsItsLogLines) {
  auto table = Add(kIMAPITable);
  SetTraceSink(nullptr);
  auto dir = std::filesystem::path(std::getenv("VANTREL_TEST_TMPDIR") ? std::getenv("VANTREL_TEST_TMPDIR") : "/tmp");
  std::filesystem::create_directories(dir);
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  std::filesystem::remove("zelServer.log");
  ASSERT_TRUE(OpenLog());
  EXPECT_EQ(Call<zel::ISTORAGE_DestroyElement>({9, "x"}).result, 1);
  EXPECT_EQ(Call<zel::IMAPIFOLDER_EmptyFolder>({table->handle}).result, NotFoundResult(zel::IMAPIFOLDER_EmptyFolder::kOpnum));
  EXPECT_EQ(Call<zel::IMAPITABLE_QueryRows>({table->handle, 3, 0}).cb, 3);
  CloseLog();
  std::ifstream f("zelServer.log");
  std::vector<std::string> lines;
  for (std::string l; std::getline(f, l);) lines.push_back(l.substr(l.find(' ', l.find(' ') + 1) + 1));
  std::filesystem::current_path(old);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "*** FATAL **** Class Deleted Number=9 Type ",
                       "*** FATAL **** Class Deleted Number=9 Type ",
                       "*** FATAL **** Wrong Class 1 Type found: IMAPITable wanted IMAPIFolder",
                   }));
}

TEST_F(DispatchFixture, ResultBlocksThroughReadBuffer) {
  auto table = Add(kIMAPITable);
  auto rows = Call<zel::IMAPITABLE_QueryRows>({table->handle, 100000, 0});
  ASSERT_EQ(rows.result, 0);
  EXPECT_EQ(rows.cb, 100000);
  std::vector<std::int32_t> sizes;
  for (;;) {
    auto r = Call<zel::ReadBuffer>({rows.hBuffer});
    if (r.result <= 0) {
      EXPECT_EQ(r.result, -1);
      break;
    }
    EXPECT_EQ(r.cbRead, static_cast<std::int32_t>(r.data.size()));
    sizes.push_back(r.result);
  }
  EXPECT_EQ(sizes, (std::vector<std::int32_t>{32768, 32768, 32768, 1184}));

  rows = Call<zel::IMAPITABLE_QueryRows>({table->handle, 2000, 0});
  EXPECT_EQ(Call<zel::GetBufferSize>({rows.hBuffer}).result, 2000);
  auto ex = Call<zel::ReadBufferEx>({rows.hBuffer, 100});
  EXPECT_EQ(ex.result, 100);
  EXPECT_EQ(ex.data.items.size(), 100u);
  EXPECT_EQ(Call<zel::FreeBuffer>({rows.hBuffer}).result, 0);
  EXPECT_EQ(Call<zel::FreeBuffer>({rows.hBuffer}).result, 1);
  EXPECT_EQ(Call<zel::ReadBufferEx>({rows.hBuffer, -4}).result, -1);
}

TEST_F(DispatchFixture, LogonSessionsAndRelease) {
  std::vector<std::shared_ptr<TestSession>> made;
  hooks.make_session = [&] {
    made.push_back(std::make_shared<TestSession>());
    return made.back();
  };
  Start();
  zel::Tarnix_Logon::Request logon{"p", "s", "u", "secret", "", "ws"};
  std::int32_t h = Call<zel::Tarnix_Logon>(logon).result;
  EXPECT_EQ(h, 1);
  logon.password = "wrong";
  EXPECT_EQ(Call<zel::Tarnix_Logon>(logon).result, MAPI_E_LOGON_FAILED);
  EXPECT_EQ(reg.Lookup(2, kZelLogon), nullptr);  // a failed logon's session goes at once
  EXPECT_EQ(made.back()->destroyed, 1);

  EXPECT_EQ(Call<zel::Tarnix_AdminLogon>({"u", "wrong", "", "ws"}).result, MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  EXPECT_EQ(made.back()->destroyed, 1);
  EXPECT_EQ(Call<zel::Tarnix_AdminLogon>({"u", "secret", "", "ws"}).result, 3);

  EXPECT_EQ(Call<zel::ZelLogon_AddRef>({h}).result, 2);  // the logon took the first reference
  Call<zel::ZelLogon_Release>({h});
  Call<zel::ZelLogon_Release>({h});
  EXPECT_NE(reg.Lookup(h, kZelLogon), nullptr);
  Call<zel::ZelLogon_Release>({h});  // stops at zero; the session stays registered
  EXPECT_NE(reg.Lookup(h, kZelLogon), nullptr);
  EXPECT_EQ(Call<zel::ZelLogon_AddRef>({h}).result, 1);
  Call<zel::FreeHObject>({h});
  EXPECT_EQ(reg.Lookup(h, kAnyKind), nullptr);

  // Polling stamps the session; a handle that names nothing answers zeros.
  clock.now += 1000;
  auto poll = Call<zel::GetNotifyQuere>({3});
  EXPECT_EQ(poll.result, 0);
  EXPECT_EQ(made[3]->last_activity, clock.now);
  auto none = Call<zel::GetNotifyQuere>({99});
  EXPECT_EQ((std::vector<std::int32_t>{none.result, none.cNotifications, none.cb, none.hBuffer}),
            (std::vector<std::int32_t>(4, 0)));
}

TEST_F(DispatchFixture, TruncatedStubDataIsRejectedBeforeAnyOperation) {
  auto prop = Add(kIMapiProp);
  rpc::NdrWriter w;
  zel::op::Encode(w, zel::FreeHObject::Request{prop->handle});
  std::vector<std::uint8_t> reply;
  bool big = false;
  for (std::size_t cut = 0; cut < w.size(); ++cut) {
    std::vector<std::uint8_t> req(w.data().begin(), w.data().begin() + static_cast<long>(cut));
    EXPECT_EQ(transport(zel::FreeHObject::kOpnum, req, reply, big), RPC_X_BAD_STUB_DATA);
  }
  EXPECT_NE(reg.Lookup(prop->handle, kAnyKind), nullptr);
  // A byte block whose count promises more than was sent.
  rpc::NdrWriter bad;
  bad.I32(prop->handle);
  bad.I32(1000);
  bad.U32(1000);
  bad.U32(0);
  EXPECT_EQ(transport(zel::MAPIPROP_SetProps::kOpnum, bad.data(), reply, big), RPC_X_BAD_STUB_DATA);
  EXPECT_EQ(transport(122, {}, reply, big), RPC_S_PROCNUM_OUT_OF_RANGE);
}

TEST_F(Fixture, ConcurrentRegistrationsAndBlocks) {
  std::vector<std::thread> threads;
  std::vector<std::vector<std::int32_t>> handles(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      zel::wire::Inline::Value inl{};
      std::int32_t cb;
      std::vector<std::uint8_t> got;
      for (int i = 0; i < 500; ++i) {
        std::int32_t h = reg.Register(std::make_shared<TestObject>(kIStream), -1, nullptr);
        handles[static_cast<std::size_t>(t)].push_back(h);
        std::int32_t b = reg.MakeResultBlock(std::vector<std::uint8_t>(700, 1), inl, cb);
        EXPECT_EQ(reg.ReadBlock(b, kReadBufferMax, got), 188);
        if (i % 2) reg.Free(h);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::int32_t> all;
  for (auto& v : handles) all.insert(v.begin(), v.end());
  EXPECT_EQ(all.size(), 2000u);
  EXPECT_EQ(*all.rbegin(), 2000);
  EXPECT_EQ(reg.Objects().size(), 1000u);
}

// ---- trace, log, names ----

TEST(Trace, TextIsCutAt511AndDroppedWithoutMonitor) {
  ServerTrace("nobody listens");
  CaptureSink sink;
  std::string longtext(600, 'x');
  ServerTrace("%s", longtext.c_str());
  auto lines = sink.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "ZelServer: " + std::string(511, 'x'));
}

TEST(Log, RecordsAreStampedAndAppended) {
  EXPECT_EQ(FormatLogRecord(1044263107, "text\n"), "3.2.2003 9:5:7 text\n");
  auto dir = std::filesystem::path(std::getenv("VANTREL_TEST_TMPDIR") ? std::getenv("VANTREL_TEST_TMPDIR") : "/tmp");
  std::filesystem::create_directories(dir);
  auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  std::filesystem::remove("zelServer.log");
  ASSERT_TRUE(OpenLog());
  ServerLog("first %d\n", 1);
  ServerLog("second\n");
  CloseLog();
  ServerLog("not written\n");
  std::ifstream f("zelServer.log");
  std::string l1, l2, l3;
  std::getline(f, l1);
  std::getline(f, l2);
  EXPECT_TRUE(l1.ends_with(" first 1")) << l1;
  EXPECT_TRUE(l2.ends_with(" second")) << l2;
  EXPECT_FALSE(std::getline(f, l3));
  std::filesystem::current_path(old);
}

TEST(Names, ErrorAndPropertyNames) {
  EXPECT_EQ(MapiErrorName(0x274D), "WSAECONNREFUSED");
  EXPECT_EQ(MapiErrorName(MAPI_E_NOT_FOUND), "MAPI_E_NOT_FOUND");
  EXPECT_EQ(MapiErrorName(MAPI_E_NO_SUPPORT), "MAPI_E_NO_SUPPORT");
  EXPECT_EQ(MapiErrorName(MAPI_E_AMBIGUOUS_RECIP), "MAPI_E_AMBIGUOUS_RECIP");
  EXPECT_EQ(MapiErrorName(0x2AFB), "WSANO_RECOVERY");
  EXPECT_EQ(MapiErrorName(0x00040380), "MAPI_W_ERRORS_RETURNED");
  EXPECT_EQ(MapiErrorName(0), "");
  EXPECT_EQ(MapiErrorName(MAPI_E_CALL_FAILED), "Unknown Error 80004005");  // before the table's range
  EXPECT_EQ(PropTagName(0x3001001E), "PR_DISPLAY_NAME");
  EXPECT_EQ(PropTagName(0x3001001F), "PR_DISPLAY_NAME_W");
  EXPECT_EQ(PropTagName(0x12345678), "12345678");
  EXPECT_EQ(PropTagFromName("PR_DISPLAY_NAME_W"), 0x3001001Fu);
  EXPECT_EQ(PropTagFromName("PR_7BIT_DISPLAY_NAME"), 0x39FF001Eu);
  EXPECT_EQ(PropTagFromName("PR_YPOS"), 0x3F060003u);
  EXPECT_EQ(PropTagFromName("pr_display_name"), 0u);
}

}  // namespace
}  // namespace vantrel::server

namespace vantrel::server {
namespace {

// A logon session with a notification queue, as the sessions give it.
class QueueSession : public TestObject {
 public:
  QueueSession() : TestObject(kZelLogon) {}
  zel::CNotifyQueue* NotifyQueue() override { return &queue; }
  zel::CNotifyQueue queue;
};

TEST_F(DispatchFixture, AdvisedNotificationsComeOutOfGetNotifyQuere) {
  auto session = std::make_shared<QueueSession>();
  std::int32_t h = reg.Register(session, -1, nullptr);
  auto record = reg.Advises().AddAdvise(/*object_key=*/77, h, fnevNewMail, /*client_key=*/5);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->connection, 0u);  // the first advise of the process
  NOTIFICATION notes[2]{};
  char cls[] = "IPM.Note";
  for (auto& n : notes) {
    n.ulEventType = fnevNewMail;
    n.info.newmail.lpszMessageClass = cls;
  }
  record->sink->OnNotify(2, notes);
  EXPECT_EQ(session->queue.Size(), 2u);  // one entry per notification of the batch

  clock.now += 500;
  auto poll = Call<zel::GetNotifyQuere>({h});
  EXPECT_EQ(poll.result, 0);
  EXPECT_EQ(poll.cNotifications, 2);
  ASSERT_GT(poll.cb, 36 * 2);
  EXPECT_EQ(poll.hBuffer, -1);  // small enough to travel inline
  auto word = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, poll.inlineData.data() + at, 4);
    return v;
  };
  EXPECT_EQ(word(0), 1u);
  EXPECT_EQ(word(12), 1u);
  EXPECT_EQ(word(16), fnevNewMail);
  EXPECT_EQ(word(20), 0u);  // connection
  EXPECT_EQ(word(24), 77u);
  EXPECT_EQ(word(28), 5u);
  EXPECT_EQ(word(4), word(32));
  EXPECT_EQ(session->last_activity, clock.now);

  auto again = Call<zel::GetNotifyQuere>({h});  // the queue was emptied
  EXPECT_EQ((std::vector<std::int32_t>{again.result, again.cNotifications, again.cb, again.hBuffer}),
            (std::vector<std::int32_t>{0, 0, 0, 0}));
  EXPECT_EQ(reg.Advises().RemoveAdvise(0), 0);
  EXPECT_EQ(reg.Advises().RemoveAdvise(0), -1);
}

}  // namespace
}  // namespace vantrel::server
