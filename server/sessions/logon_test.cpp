// Logon sessions and store identity against real profiles and stores of a
// private registry, through the dispatcher and the typed stubs.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "Libraries/MapiWrapper/MapiPtr.h"
#include "Libraries/MapiWrapper/TableHelpers.h"
#include "platform/base/Guid.h"
#include "platform/mapi/MapiSession.h"
#include "platform/mapi/MapiSvcInf.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/ProfSect.h"
#include "platform/mapi/ProfileStore.h"
#include "platform/mapi/Services.h"
#include "platform/win/MessageBox.h"
#include "protocol/ZelStubs.h"
#include "server/dispatch/ServerDispatch.h"
#include "server/sessions/ServerProfileGuid.h"
#include "server/sessions/ServerZelLogon.h"
#include "server/sessions/UserABContainer.h"

namespace fs = std::filesystem;
using namespace vantrel;
using namespace vantrel::server;

namespace {

// The server window's part in the logons: a window on its own thread that
// performs WM_USER+3 and counts what it performed.
class LogonWindow {
 public:
  LogonWindow() {
    thread_ = std::thread([this] { Run(); });
    vantrel::MutexLock l(lock_);
    while (!hwnd_) ready_.Wait(l);
  }
  ~LogonWindow() {
    PostMessageA(hwnd(), WM_CLOSE, 0, 0);
    thread_.join();
  }
  HWND hwnd() {
    vantrel::MutexLock l(lock_);
    return hwnd_;
  }
  std::uint64_t Performed() const { return performed_.load(); }

 private:
  static LRESULT Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<LogonWindow*>(GetWindowLongPtrA(h, GWLP_USERDATA));
    if (msg == kLogonMessage && self) {
      PerformLogon(*reinterpret_cast<LogonRequest*>(lp));
      ++self->performed_;
      return 0;
    }
    if (msg == WM_CLOSE) {
      DestroyWindow(h);
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcA(h, msg, wp, lp);
  }
  void Run() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = "LogonTestWindow";
    RegisterClassA(&wc);  // a second registration fails harmlessly
    HWND h = CreateWindowExA(0, "LogonTestWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    {
      vantrel::MutexLock l(lock_);
      hwnd_ = h;
      ready_.NotifyAll();
    }
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) DispatchMessageA(&m);
  }

  vantrel::Mutex lock_;
  vantrel::CondVar ready_;
  HWND hwnd_ GUARDED_BY(lock_) = nullptr;
  std::atomic<std::uint64_t> performed_{0};
  std::thread thread_;
};

std::string Scratch() {
  const char* tmp = std::getenv("VANTREL_TEST_TMPDIR");
  return (fs::path(tmp ? tmp : "/tmp") / "logon").string();
}

struct Store {
  std::string file;  // under Scratch()
  std::string display;
  const BYTE* mdb_provider = nullptr;  // replaces the personal-folders UID
};

const BYTE kExchangePrivate[16] = {0x54, 0x94, 0xA1, 0xC0, 0x29, 0x7F, 0x10, 0x1B,
                                   0xA5, 0x87, 0x08, 0x00, 0x2B, 0x2A, 0x25, 0x17};
const BYTE kOwnProvider[16] = {0x7B, 0xE3, 0xC3, 0x80, 0x5B, 0x0A, 0x11, 0xCE,
                               0xB4, 0xE1, 0x00, 0xAA, 0x00, 0x51, 0x0E, 0x3B};

// A profile with one personal-folders service per store.
void MakeProfile(IProfAdmin* admin, const std::string& name, const std::vector<Store>& stores) {
  ASSERT_EQ(admin->CreateProfile(const_cast<LPSTR>(name.c_str()), nullptr, 0, 0), S_OK);
  ComPtr<IMsgServiceAdmin> services;
  ASSERT_EQ(admin->AdminServices(const_cast<LPSTR>(name.c_str()), nullptr, 0, 0, services.Out()), S_OK);
  for (const Store& s : stores) {
    mapi::MapiSvcInf inf;
    ASSERT_EQ(mapi::MapiSvcInf::LoadInstalled(&inf), S_OK);
    MAPIUID uid;
    ASSERT_EQ(mapi::CreateService(name, inf, mapi::kPstService, "", 0, 0, &uid), S_OK);
    std::string path = Scratch() + "/" + s.file;
    SPropValue props[2] = {};
    props[0].ulPropTag = mapi::PR_PST_PATH;
    props[0].Value.lpszA = path.data();
    props[1].ulPropTag = PR_DISPLAY_NAME;
    props[1].Value.lpszA = const_cast<LPSTR>(s.display.c_str());
    ASSERT_EQ(services->ConfigureMsgService(&uid, 0, 0, 2, props), S_OK);
    if (!s.mdb_provider) continue;
    std::vector<mapi::ProviderInfo> providers;
    ASSERT_EQ(mapi::ListProviders(name, &uid, &providers), S_OK);
    ASSERT_EQ(providers.size(), 1u);
    ComPtr<IProfSect> section;
    ASSERT_EQ(mapi::OpenProfSect(name, providers[0].uid, MAPI_MODIFY, section.Out()), S_OK);
    SPropValue mdb{};
    mdb.ulPropTag = PR_MDB_PROVIDER;
    mdb.Value.bin.cb = 16;
    mdb.Value.bin.lpb = const_cast<LPBYTE>(s.mdb_provider);
    ASSERT_EQ(section->SetProps(1, &mdb, nullptr), S_OK);
  }
}

struct User {
  std::string account, password;
  int all_profiles;  // -1: property absent
  std::string profile_list;  // "" : property absent
};

class LogonTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!std::getenv("ZEL_REGISTRY_DIR") || !std::getenv("ZEL_MAPI_DIR")) return;
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    fs::remove_all(Scratch());
    fs::create_directories(Scratch());
    for (const std::string& p : mapi::ProfileStore::List()) mapi::ProfileStore::Delete(p);
    ComPtr<IProfAdmin> admin;
    ASSERT_EQ(MAPIAdminProfiles(0, admin.Out()), S_OK);
    MakeProfile(admin.get(), "mailbox_clerk", {{"clerk.pst", "Mailbox - clerk"}});
    MakeProfile(admin.get(), "mailbox_ann", {{"ann.pst", "Mailbox - ann"}});
    MakeProfile(admin.get(), "Public", {{"public.pst", "Public Folders"}});
    MakeProfile(admin.get(), "Archive", {{"archive.pst", "Archive"}});
    MakeProfile(admin.get(), "Other",
                {{"other.pst", "Personal"},
                 {"ex.pst", "Mailbox - Exchange", kExchangePrivate},
                 {"own.pst", "Served Store", kOwnProvider}});
  }
  static void TearDownTestSuite() {
    if (std::getenv("ZEL_REGISTRY_DIR") && std::getenv("ZEL_MAPI_DIR")) MAPIUninitialize();
  }

  void SetUp() override {
    if (!std::getenv("ZEL_REGISTRY_DIR") || !std::getenv("ZEL_MAPI_DIR"))
      GTEST_SKIP() << "run through ctest: needs a private ZEL_REGISTRY_DIR and ZEL_MAPI_DIR";
    registry_ = std::make_unique<CServerClasses>([this] { return now_.load(); });
    registry_->SetObjectFactory([](std::int32_t type) -> std::shared_ptr<CServerClass> {
      if (type == static_cast<std::int32_t>(MAPI_STORE)) return std::make_shared<CServerClass>(kIMsgStore);
      return nullptr;
    });
    context_ = std::make_unique<CLogonContext>(*registry_);
    directory_ = new CUserABContainer(Scratch() + "/USERS.ZLF");
    AddUsers({{"clerk", "pw", 1, ""},
              {"ann", "pw", 0, "(Public)(Archive)"},
              {"bob", "pw", -1, ""},
              {"carl", "pw", 0, ""}});
    context_->Attach(directory_, window_.hwnd());
    ServerHooks hooks;
    hooks.make_session = [this] { return context_->MakeSession(); };
    hooks.set_profile_guid = Server_SetProfileGuid;
    dispatch_ = std::make_unique<CServerDispatch>(*registry_, hooks);
    transport_ = zel::LocalTransport(dispatch_->Spec().dispatch);
  }
  void TearDown() override {
    if (!registry_) return;
    registry_->EndAllSessions();
    context_->Detach();
    directory_->Release();
  }

  void AddUsers(const std::vector<User>& users) {
    for (const User& u : users) {
      CGenMapiPropPtr entry;
      ASSERT_EQ(directory_->CreateEntry(0, nullptr, 0, reinterpret_cast<LPMAPIPROP*>(entry.Receive())), S_OK);
      entry.SetProp(PR_ACCOUNT, std::string_view(u.account));
      entry.SetProp(PR_ZEL_PASSWORD, std::string_view(u.password));
      if (u.all_profiles >= 0) entry.SetProp(PR_ZEL_ALL_PROFILES, u.all_profiles == 1);
      if (!u.profile_list.empty()) entry.SetProp(PR_ZEL_PROFILE_LIST, std::string_view(u.profile_list));
      ASSERT_EQ(entry->SaveChanges(0), S_OK);
    }
  }

  template <class Op>
  typename Op::Reply Call(const typename Op::Request& in) {
    typename Op::Reply out{};
    EXPECT_EQ(zel::Invoke<Op>(transport_, in, out), RPC_S_OK);
    return out;
  }
  std::int32_t Logon(const std::string& profile, const std::string& store, const std::string& user,
                     const std::string& password = "pw") {
    return Call<zel::Tarnix_Logon>({profile, store, user, password, "", "ws1"}).result;
  }
  std::shared_ptr<CServerZelLogon> Session(std::int32_t h) {
    return std::dynamic_pointer_cast<CServerZelLogon>(registry_->Lookup(h, kZelLogon));
  }
  // The text of a result block (inline or through ReadBuffer), without
  // its NUL; the length includes it.
  std::string Text(std::int32_t cb, std::int32_t buffer, const zel::wire::Inline::Value& inline_area) {
    std::vector<std::uint8_t> all(inline_area.begin(), inline_area.begin() + std::min<std::int32_t>(cb, 512));
    if (buffer >= 0) {
      auto r = Call<zel::ReadBuffer>({buffer});
      all.insert(all.end(), r.data.begin(), r.data.end());
    }
    EXPECT_EQ(static_cast<std::int32_t>(all.size()), cb);
    EXPECT_TRUE(!all.empty() && all.back() == 0);
    return std::string(all.begin(), all.end() - (all.empty() ? 0 : 1));
  }
  std::string Profiles(std::int32_t session, std::int32_t* cb = nullptr) {
    auto r = Call<zel::ZelLogon_QueryProfiles>({session});
    EXPECT_EQ(r.result, 0);
    if (cb) *cb = r.cb;
    return Text(r.cb, r.hBuffer, r.inlineData);
  }

  std::atomic<std::uint64_t> now_{1000};
  std::unique_ptr<CServerClasses> registry_;
  std::unique_ptr<CLogonContext> context_;
  CUserABContainer* directory_ = nullptr;
  LogonWindow window_;
  std::unique_ptr<CServerDispatch> dispatch_;
  zel::Transport transport_;
};

TEST_F(LogonTest, TwoLogonsOfOneProfileAndStoreShareOneMapiLogon) {
  std::int32_t first = Logon("mailbox_clerk", "Mailbox - clerk", "clerk");
  std::int32_t second = Logon("mailbox_clerk", "Mailbox - clerk", "clerk");
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_EQ(window_.Performed(), 1u);  // the second did no logon

  std::int32_t store1 = Call<zel::ZelLogon_GetMsgStore>({first}).result;
  std::int32_t store2 = Call<zel::ZelLogon_GetMsgStore>({second}).result;
  ASSERT_GT(store1, 0);
  ASSERT_GT(store2, 0);
  EXPECT_NE(store1, store2);
  auto object2 = registry_->Lookup(store2, kIMsgStore);
  ASSERT_TRUE(object2);
  EXPECT_EQ(object2->owner.load(), second);
  EXPECT_EQ(object2->parent.lock(), registry_->Lookup(second, kZelLogon));
  auto connection = context_->connections.Find("<mailbox_clerk><Mailbox - clerk>");
  ASSERT_TRUE(connection);
  {
    MutexLock l(object2->lock);
    EXPECT_EQ(object2->store.lock(), object2);
    EXPECT_EQ(object2->mapi_object.get(), static_cast<IUnknown*>(connection->store.get()));
  }
  EXPECT_EQ(connection->sharers, 1);

  // Destroying the first leaves the connection to the second.
  registry_->EndSession(first);
  EXPECT_FALSE(registry_->Lookup(store1, kAnyKind));
  EXPECT_EQ(context_->connections.Find("<mailbox_clerk><Mailbox - clerk>"), connection);
  EXPECT_EQ(connection->sharers, 0);
  EXPECT_TRUE(connection->session);
  Call<zel::FreeHObject>({second});
  EXPECT_FALSE(context_->connections.Find("<mailbox_clerk><Mailbox - clerk>"));

  // A new logon of the pair opens a new connection.
  ASSERT_GT(Logon("mailbox_clerk", "Mailbox - clerk", "clerk"), 0);
  EXPECT_EQ(window_.Performed(), 2u);
}

TEST_F(LogonTest, RefusedUsersAndSessionsWithoutStore) {
  // Wrong password, unknown user: refused before any connection.
  EXPECT_EQ(Logon("mailbox_clerk", "Mailbox - clerk", "clerk", "wrong"), MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  EXPECT_EQ(Logon("mailbox_clerk", "Mailbox - clerk", "nobody"), MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  EXPECT_EQ(Logon("mailbox_clerk", "Mailbox - clerk", "Clerk"), MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  EXPECT_EQ(context_->connections.Size(), 0u);
  EXPECT_EQ(window_.Performed(), 0u);
  EXPECT_EQ(Call<zel::Tarnix_AdminLogon>({"clerk", "wrong", "", "ws"}).result, MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  std::int32_t admin = Call<zel::Tarnix_AdminLogon>({"clerk", "pw", "", "ws"}).result;
  ASSERT_GT(admin, 0);
  EXPECT_EQ(Call<zel::ZelLogon_GetMsgStore>({admin}).result, 0);
  EXPECT_EQ(Session(admin)->UserName(), "clerk");
  EXPECT_EQ(context_->connections.Size(), 0u);

  // An unknown store, an unknown profile: a session without a store; a
  // later logon of the same pair shares the entry and gets none either.
  struct Case {
    const char *profile, *store;
    std::uint64_t logons;
  } cases[] = {{"mailbox_clerk", "No Such Store", 1}, {"mailbox_nobody", "Mailbox - nobody", 1}};
  for (const Case& c : cases) {
    std::uint64_t before = window_.Performed();
    for (int i = 0; i < 2; ++i) {
      std::int32_t h = Logon(c.profile, c.store, "clerk");
      ASSERT_GT(h, 0) << c.profile;
      EXPECT_EQ(Call<zel::ZelLogon_GetMsgStore>({h}).result, 0) << c.profile;
    }
    EXPECT_EQ(window_.Performed() - before, c.logons) << c.profile;
  }

  // Without the server window no connection can be opened.
  context_->Attach(directory_, nullptr);
  std::int32_t h = Logon("Public", "Public Folders", "clerk");
  ASSERT_GT(h, 0);
  EXPECT_EQ(Call<zel::ZelLogon_GetMsgStore>({h}).result, 0);
  // ... nor, after shutdown has detached it, without the directory.
  context_->Detach();
  EXPECT_EQ(Logon("Public", "Public Folders", "clerk"), MAPI_E_INVALID_WORKSTATION_ACCOUNT);
}

TEST_F(LogonTest, ProfileVisibility) {
  struct Case {
    const char* user;
    std::vector<std::string> visible;
  } cases[] = {
      {"clerk", {"mailbox_clerk", "Public", "Archive", "Other"}},  // all profiles
      {"ann", {"mailbox_ann", "Public", "Archive"}},              // by list
      {"bob", {"Public", "Archive", "Other"}},                    // flag missing counts as set
      {"carl", {}},                                               // flag false, no list
  };
  // The profile table's order decides the list's order.
  std::vector<std::string> order;
  {
    ComPtr<IProfAdmin> admin;
    ASSERT_EQ(MAPIAdminProfiles(0, admin.Out()), S_OK);
    ComPtr<IMAPITable> table;
    ASSERT_EQ(admin->GetProfileTable(0, table.Out()), S_OK);
    CRowSet rows = vantrel::mapiwrapper::QueryAllRows(table.get(), {PR_DISPLAY_NAME});
    for (ULONG i = 0; i < rows.Count(); ++i) order.push_back(rows[i].Value(0)->Value.lpszA);
  }
  for (const Case& c : cases) {
    std::string expected;
    for (const std::string& p : order)
      if (std::find(c.visible.begin(), c.visible.end(), p) != c.visible.end()) expected += "(" + p + ")";
    std::int32_t h = Call<zel::Tarnix_AdminLogon>({c.user, "pw", "", "ws"}).result;
    ASSERT_GT(h, 0) << c.user;
    std::int32_t cb = 0;
    EXPECT_EQ(Profiles(h, &cb), expected) << c.user;
    EXPECT_EQ(cb, static_cast<std::int32_t>(expected.size() + 1)) << c.user;
  }
  EXPECT_EQ(Call<zel::ZelLogon_QueryProfiles>({999}).result, 1);
}

TEST_F(LogonTest, QueryInfoStoresListsLocalStoresOnly) {
  std::int32_t h = Call<zel::Tarnix_AdminLogon>({"clerk", "pw", "", "ws"}).result;
  auto r = Call<zel::ZelLogon_QueryInfoStores>({h, "Other"});
  ASSERT_EQ(r.result, 0);
  EXPECT_EQ(Text(r.cb, r.hBuffer, r.inlineData), "(Personal)");
  EXPECT_NE(Call<zel::ZelLogon_QueryInfoStores>({h, "mailbox_nobody"}).result, 0);
  EXPECT_EQ(Call<zel::ZelLogon_QueryInfoStores>({999, "Other"}).result, 1);
}

TEST(StoreClass, ByProviderUid) {
  struct Case {
    std::vector<BYTE> uid;
    ULONG tag;
    int store_class;
  } cases[] = {
      {std::vector<BYTE>(kOwnProvider, kOwnProvider + 16), PR_MDB_PROVIDER, 4},
      {std::vector<BYTE>(kExchangePrivate, kExchangePrivate + 16), PR_MDB_PROVIDER, 2},
      {{0x9E, 0xB4, 0x77, 0x00, 0x74, 0xE4, 0x11, 0xCE, 0x8C, 0x5E, 0x00, 0xAA, 0x00, 0x42, 0x54, 0xE2},
       PR_MDB_PROVIDER,
       2},
      {{0x78, 0xB2, 0xFA, 0x70, 0xAF, 0xF7, 0x11, 0xCD, 0x9B, 0xC8, 0x00, 0xAA, 0x00, 0x2F, 0xC4, 0x5A},
       PR_MDB_PROVIDER,
       3},
      {std::vector<BYTE>(16, 0x11), PR_MDB_PROVIDER, 1},
      {std::vector<BYTE>(kOwnProvider, kOwnProvider + 8), PR_MDB_PROVIDER, 1},  // too short to be one
      {std::vector<BYTE>(kOwnProvider, kOwnProvider + 16), PR_ENTRYID, 0},
  };
  for (auto& c : cases) {
    SPropValue v{};
    v.ulPropTag = c.tag;
    v.Value.bin.cb = static_cast<ULONG>(c.uid.size());
    v.Value.bin.lpb = c.uid.data();
    EXPECT_EQ(StoreClass(v), c.store_class);
  }
}

TEST_F(LogonTest, IdleSweepEndsASilentSessionWithItsObjects) {
  std::int32_t quiet = Logon("Public", "Public Folders", "clerk");
  std::int32_t polling = Logon("Public", "Public Folders", "ann");
  std::int32_t quiet_store = Call<zel::ZelLogon_GetMsgStore>({quiet}).result;
  ASSERT_GT(quiet_store, 0);
  auto connection = context_->connections.Find("<Public><Public Folders>");
  ASSERT_TRUE(connection);

  // A queued notification reaches its session's poll, which keeps it alive.
  Session(polling)->NotifyQueue()->Push({fnevObjectCreated, 0, 0, 7, {1, 2, 3}});
  now_ += 1'000'000;
  auto poll = Call<zel::GetNotifyQuere>({polling});
  EXPECT_EQ(poll.result, 0);
  EXPECT_EQ(poll.cNotifications, 1);
  now_ += 250'000;  // quiet: 1,250,000 ms; polling: 250,000 ms
  registry_->SweepIdleSessions();
  EXPECT_FALSE(registry_->Lookup(quiet, kAnyKind));
  EXPECT_FALSE(registry_->Lookup(quiet_store, kAnyKind));
  EXPECT_TRUE(Session(polling));
  EXPECT_EQ(connection->sharers, 0);  // the quiet one let go of it

  now_ += 1'200'001;
  registry_->SweepIdleSessions();
  EXPECT_FALSE(registry_->Lookup(polling, kAnyKind));
  EXPECT_EQ(registry_->Objects().size(), 0u);
  EXPECT_EQ(context_->connections.Size(), 0u);
}

TEST_F(LogonTest, ReleaseStopsAtZeroAndNeverFrees) {
  std::int32_t h = Logon("mailbox_clerk", "No Such Store", "clerk");
  ASSERT_GT(h, 0);
  EXPECT_EQ(Call<zel::ZelLogon_AddRef>({h}).result, 2);
  for (int i = 0; i < 4; ++i) Call<zel::ZelLogon_Release>({h});
  EXPECT_TRUE(Session(h));
  EXPECT_EQ(Call<zel::ZelLogon_AddRef>({h}).result, 1);
  EXPECT_EQ(Call<zel::ZelLogon_AddRef>({999}).result, 1);
}

// At shutdown no remote-call thread may wait for a window that has gone.
TEST(LogonWindowTest, NoWindowOrAGoneWindowAnswersNoSupport) {
  HWND gone = nullptr;
  {
    LogonWindow window;
    gone = window.hwnd();
  }
  for (HWND w : {static_cast<HWND>(nullptr), gone}) {
    LogonRequest request;
    request.result = 12345;
    SendLogon(w, request);
    EXPECT_EQ(request.result, MAPI_E_NO_SUPPORT);
    EXPECT_EQ(request.session, nullptr);
  }
}

// ---- store identity ----

class ProfileGuidTest : public LogonTest {
 protected:
  zel::Server_SetProfileGuid::Reply SetGuid(const std::string& profile, const std::string& store, BYTE fill) {
    zel::Server_SetProfileGuid::Request in{};
    in.profileName = profile;
    in.storeDisplayName = store;
    in.guid.fill(fill);
    return Call<zel::Server_SetProfileGuid>(in);
  }
  static zel::wire::Bytes16 Filled(BYTE fill) {
    zel::wire::Bytes16 b;
    b.fill(fill);
    return b;
  }
  // Rows of the IPM root's contents (associated or not) with the subject.
  size_t IdentityMessages(const std::string& profile, ULONG flags) {
    IMAPISessionPtr session;
    EXPECT_EQ(MAPILogonEx(0, const_cast<LPSTR>(profile.c_str()), const_cast<LPSTR>(""), 0x8022, session.Receive()),
              S_OK);
    IMAPITablePtr stores;
    EXPECT_EQ(session->GetMsgStoresTable(0, stores.Receive()), S_OK);
    CRowSet rows = vantrel::mapiwrapper::QueryAllRows(stores.get(), {PR_ENTRYID});
    IMsgStorePtr store = session.OpenMsgStore(CBinary::FromPropValue(rows[0].Value(0).get()));
    IMAPIFolderPtr root = store._getIPMRoot();
    IMAPITablePtr contents;
    EXPECT_EQ(root->GetContentsTable(flags, contents.Receive()), S_OK);
    CRowSet messages = vantrel::mapiwrapper::QueryAllRows(contents.get(), {PR_SUBJECT, PR_MESSAGE_CLASS});
    size_t n = 0;
    for (ULONG i = 0; i < messages.Count(); ++i) {
      CPropValue subject = messages[i].Value(0), cls = messages[i].Value(1);
      if (subject.Type() == PT_STRING8 && std::string(subject->Value.lpszA) == kStoreUidSubject &&
          cls.Type() == PT_STRING8 && std::string(cls->Value.lpszA) == kStoreUidClass)
        ++n;
    }
    return n;
  }
};

TEST_F(ProfileGuidTest, TheFirstCallersIdentifierStays) {
  auto first = SetGuid("mailbox_ann", "Mailbox - ann", 0xA1);
  EXPECT_EQ(first.result, 0);
  EXPECT_EQ(first.guid, Filled(0xA1));
  auto second = SetGuid("mailbox_ann", "Mailbox - ann", 0xB2);
  EXPECT_EQ(second.result, 0);
  EXPECT_EQ(second.guid, Filled(0xA1));
  EXPECT_EQ(IdentityMessages("mailbox_ann", MAPI_ASSOCIATED), 1u);
  EXPECT_EQ(IdentityMessages("mailbox_ann", 0), 0u);

  // The named property holds the bytes.
  IMAPISessionPtr session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>("mailbox_ann"), const_cast<LPSTR>(""), 0x8022, session.Receive()), S_OK);
  IMAPITablePtr stores;
  ASSERT_EQ(session->GetMsgStoresTable(0, stores.Receive()), S_OK);
  CRowSet rows = vantrel::mapiwrapper::QueryAllRows(stores.get(), {PR_ENTRYID});
  IMsgStorePtr store = session.OpenMsgStore(CBinary::FromPropValue(rows[0].Value(0).get()));
  IMessagePtr message =
      vantrel::mapiwrapper::FindAssociatedMessage(store._getIPMRoot(), kStoreUidSubject, kStoreUidClass, false);
  ASSERT_TRUE(message);
  ULONG tag = message.GetIDFromName(PS_PUBLIC_STRINGS, u"ProviderGUID", PT_BINARY);
  EXPECT_EQ(PROP_TYPE(tag), PT_BINARY);
  EXPECT_GE(PROP_ID(tag), 0x8000);
  CBinary value = vantrel::mapiwrapper::GetOneBinary(message.get(), tag);
  EXPECT_EQ(std::vector<BYTE>(value.Data(), value.Data() + value.Size()), std::vector<BYTE>(16, 0xA1));
}

TEST_F(ProfileGuidTest, UnknownStoreAndUnknownProfile) {
  auto none = SetGuid("Archive", "No Such Store", 0xC3);
  EXPECT_EQ(none.result, 0);
  EXPECT_EQ(none.guid, Filled(0xC3));
  EXPECT_EQ(IdentityMessages("Archive", MAPI_ASSOCIATED), 0u);

  ComPtr<IMAPISession> s;
  HRESULT expected = MAPILogonEx(0, const_cast<LPSTR>("mailbox_nobody"), const_cast<LPSTR>(""), 0x8022, s.Out());
  ASSERT_TRUE(FAILED(expected));
  auto unknown = SetGuid("mailbox_nobody", "Mailbox - nobody", 0xC3);
  EXPECT_EQ(unknown.result, expected);
  EXPECT_EQ(unknown.guid, Filled(0xC3));
}

TEST_F(ProfileGuidTest, ConcurrentFirstCallersEndWithOneIdentifier) {
  constexpr int kCallers = 6;
  std::vector<zel::wire::Bytes16> got(kCallers);
  std::vector<HRESULT> results(kCallers);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCallers; ++i)
    threads.emplace_back([&, i] {
      auto r = SetGuid("Public", "Public Folders", static_cast<BYTE>(0x10 + i));
      results[i] = r.result;
      got[i] = r.guid;
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(results[i], 0);
    EXPECT_EQ(got[i], got[0]);
  }
  EXPECT_EQ(IdentityMessages("Public", MAPI_ASSOCIATED), 1u);
}

}  // namespace
