// zelclient as the store provider uses it: the module loaded at run time,
// LogonClient called through its export, the store driven through its MAPI
// interfaces against a real ZelServer on a free port.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "client/ClientE2eSupport.h"
#include "client/ClientLogon.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/WinUser.h"
#include "server/app/ServerProcess.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using Bytes = std::vector<BYTE>;
using LogonClientFn = decltype(&LogonClient);
using testsupport::Mailbox;

// The provider's view of the store: its own UID and entry ID.
const std::array<BYTE, 16> kLocalUid = {0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57,
                                        0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F};
Bytes LocalStoreId() {
  Bytes id(4, 0);
  id.insert(id.end(), kLocalUid.begin(), kLocalUid.end());
  const char tail[] = "mszlf";
  id.insert(id.end(), tail, tail + sizeof tail);
  return id;
}

Bytes Binary(IMAPIProp* prop, ULONG tag) {
  SPropTagArray tags{1, {tag}};
  ULONG count = 0;
  LPSPropValue v = nullptr;
  Bytes out;
  if (SUCCEEDED(prop->GetProps(&tags, 0, &count, &v)) && v && v->ulPropTag == tag)
    out.assign(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return out;
}

std::string Text(IMAPIProp* prop, ULONG tag) {
  SPropTagArray tags{1, {tag}};
  ULONG count = 0;
  LPSPropValue v = nullptr;
  std::string out;
  if (SUCCEEDED(prop->GetProps(&tags, 0, &count, &v)) && v && v->ulPropTag == tag) out = v->Value.lpszA;
  MAPIFreeBuffer(v);
  return out;
}

class ZelClient : public testsupport::ServerSuite {
 protected:
  static void SetUpTestSuite() {
    StartServer();
    setenv("ZEL_RPC_ENDPOINT", server_->port().c_str(), 1);
    module_ = LoadLibraryA(ZELCLIENT_MODULE);
    ASSERT_NE(module_, nullptr) << win::LastLoadError();
    logon_client_ = reinterpret_cast<LogonClientFn>(GetProcAddress(module_, MAKEINTRESOURCE(2)));
    ASSERT_NE(logon_client_, nullptr);
    ASSERT_EQ(reinterpret_cast<FARPROC>(logon_client_), GetProcAddress(module_, "LogonClient"));
  }

  void SetUp() override {
    ServerSuite::SetUp();
    boxes_.clear();
    win::SetMessageBoxHandler([this](const win::MessageBoxRecord& r) {
      boxes_.push_back(r.caption);
      return IDOK;
    });
  }
  void TearDown() override { win::SetMessageBoxHandler({}); }

  HRESULT Logon(const char* password, client::CClientLogon** logon, IMsgStore** store) {
    Bytes local = LocalStoreId();
    return logon_client_("127.0.0.1", Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, password, nullptr, logon,
                         store, local.data(), ULONG(local.size()), kLocalUid.data());
  }

  // Pumps this thread's messages (the notification timer runs there) until
  // `done` or the bound.
  static bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      MSG msg;
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

  inline static HMODULE module_ = nullptr;
  inline static LogonClientFn logon_client_ = nullptr;
  std::vector<std::string> boxes_;
};

TEST_F(ZelClient, WrongPasswordIsShownAndReturned) {
  client::CClientLogon* logon = nullptr;
  IMsgStore* store = nullptr;
  EXPECT_EQ(Logon("wrong", &logon, &store), MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  EXPECT_EQ(logon, nullptr);
  EXPECT_EQ(store, nullptr);
  EXPECT_EQ(boxes_.size(), 1u);
}

TEST_F(ZelClient, StoreSpeaksInTheProvidersIds) {
  client::CClientLogon* logon = nullptr;
  IMsgStore* store = nullptr;
  ASSERT_EQ(Logon(Mailbox::kPassword, &logon, &store), S_OK);
  ASSERT_NE(store, nullptr);

  EXPECT_EQ(Binary(store, PR_ENTRYID), LocalStoreId());
  Bytes provider(client::kStoreProviderUid.begin(), client::kStoreProviderUid.end());
  EXPECT_EQ(Binary(store, PR_MDB_PROVIDER), provider);

  Bytes subtree = Binary(store, PR_IPM_SUBTREE_ENTRYID);
  ASSERT_GE(subtree.size(), 20u);
  EXPECT_TRUE(std::equal(kLocalUid.begin(), kLocalUid.end(), subtree.begin() + 4));

  ULONG type = 0;
  IUnknown* unknown = nullptr;
  ASSERT_EQ(store->OpenEntry(ULONG(subtree.size()), reinterpret_cast<LPENTRYID>(subtree.data()), nullptr,
                             MAPI_MODIFY, &type, &unknown),
            S_OK);
  ASSERT_EQ(type, MAPI_FOLDER);
  auto* ipm = static_cast<IMAPIFolder*>(unknown);

  IMAPIFolder* folder = nullptr;
  ASSERT_EQ(ipm->CreateFolder(FOLDER_GENERIC, const_cast<char*>("core test"), nullptr, nullptr, OPEN_IF_EXISTS,
                              &folder),
            S_OK);
  IMessage* message = nullptr;
  ASSERT_EQ(folder->CreateMessage(nullptr, 0, &message), S_OK);
  SPropValue subject{};
  subject.ulPropTag = PR_SUBJECT;
  subject.Value.lpszA = const_cast<char*>("Grüße aus dem Test");
  ASSERT_EQ(message->SetProps(1, &subject, nullptr), S_OK);
  ASSERT_EQ(message->SaveChanges(0), S_OK);

  Bytes id = Binary(message, PR_ENTRYID);
  ASSERT_GE(id.size(), 20u);
  EXPECT_TRUE(std::equal(kLocalUid.begin(), kLocalUid.end(), id.begin() + 4));
  message->Release();

  // The server's form of the same ID carries the server's store UID, read
  // here as any raw client reads it.
  testsupport::Client raw(server_->port());
  std::int32_t session = raw.Logon(Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword);
  ASSERT_GT(session, 0);
  std::int32_t raw_store = raw.Call<zel::ZelLogon_GetMsgStore>({session}).result;
  auto server_subtree = raw.Binary(raw_store, PR_IPM_SUBTREE_ENTRYID);
  ASSERT_GE(server_subtree.size(), 20u);
  Bytes server_id = id;
  for (size_t i = 4; i < 20; ++i) server_id[i] = server_subtree[i];
  ASSERT_NE(server_id, id);
  ULONG same = FALSE;
  EXPECT_EQ(store->CompareEntryIDs(ULONG(id.size()), reinterpret_cast<LPENTRYID>(id.data()), ULONG(server_id.size()),
                                   reinterpret_cast<LPENTRYID>(server_id.data()), 0, &same),
            S_OK);
  EXPECT_TRUE(same);
  ULONG other = TRUE;
  EXPECT_EQ(store->CompareEntryIDs(ULONG(id.size()), reinterpret_cast<LPENTRYID>(id.data()), ULONG(subtree.size()),
                                   reinterpret_cast<LPENTRYID>(subtree.data()), 0, &other),
            S_OK);
  EXPECT_FALSE(other);
  // The server's form opens as well (the second attempt sends it as it is).
  ASSERT_EQ(store->OpenEntry(ULONG(server_id.size()), reinterpret_cast<LPENTRYID>(server_id.data()), nullptr, 0,
                             &type, &unknown),
            S_OK);
  unknown->Release();

  ASSERT_EQ(store->OpenEntry(ULONG(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0, &type, &unknown),
            S_OK);
  ASSERT_EQ(type, MAPI_MESSAGE);
  auto* reopened = static_cast<IMessage*>(unknown);
  EXPECT_EQ(Text(reopened, PR_SUBJECT), "Grüße aus dem Test");
  reopened->Release();

  IMAPITable* contents = nullptr;
  ASSERT_EQ(folder->GetContentsTable(0, &contents), S_OK);
  ASSERT_NE(contents, nullptr);
  ULONG rows = 0;
  EXPECT_EQ(contents->GetRowCount(0, &rows), S_OK);
  EXPECT_GE(rows, 1u);
  contents->Release();

  folder->Release();
  ipm->Release();
  store->Release();
  logon->Release();
}

TEST_F(ZelClient, ReceiveFolderSetWithOurIdOpensFromTheServersId) {
  client::CClientLogon* logon = nullptr;
  IMsgStore* store = nullptr;
  ASSERT_EQ(Logon(Mailbox::kPassword, &logon, &store), S_OK);
  Bytes subtree = Binary(store, PR_IPM_SUBTREE_ENTRYID);
  ASSERT_EQ(store->SetReceiveFolder(const_cast<char*>("IPM.Vantrel"), 0, ULONG(subtree.size()),
                                    reinterpret_cast<LPENTRYID>(subtree.data())),
            S_OK);

  ULONG cb = 0;
  LPENTRYID id = nullptr;
  LPSTR explicit_class = nullptr;
  ASSERT_EQ(store->GetReceiveFolder(const_cast<char*>("IPM.Vantrel.Sub"), 0, &cb, &id, &explicit_class), S_OK);
  ASSERT_NE(id, nullptr);
  EXPECT_STREQ(explicit_class, "IPM.Vantrel");
  // The server's form of the subtree's ID: equal to ours, and it opens.
  EXPECT_NE(Bytes(reinterpret_cast<BYTE*>(id), reinterpret_cast<BYTE*>(id) + cb), subtree);
  ULONG same = FALSE;
  EXPECT_EQ(store->CompareEntryIDs(cb, id, ULONG(subtree.size()), reinterpret_cast<LPENTRYID>(subtree.data()), 0,
                                   &same),
            S_OK);
  EXPECT_TRUE(same);
  ULONG type = 0;
  IUnknown* folder = nullptr;
  ASSERT_EQ(store->OpenEntry(cb, id, nullptr, 0, &type, &folder), S_OK);
  EXPECT_EQ(type, MAPI_FOLDER);
  folder->Release();
  MAPIFreeBuffer(id);
  MAPIFreeBuffer(explicit_class);
  store->Release();
  logon->Release();
}

TEST_F(ZelClient, NamedPropertiesAndWideFolderNames) {
  client::CClientLogon* logon = nullptr;
  IMsgStore* store = nullptr;
  ASSERT_EQ(Logon(Mailbox::kPassword, &logon, &store), S_OK);
  Bytes subtree = Binary(store, PR_IPM_SUBTREE_ENTRYID);
  ULONG type = 0;
  IUnknown* unknown = nullptr;
  ASSERT_EQ(store->OpenEntry(ULONG(subtree.size()), reinterpret_cast<LPENTRYID>(subtree.data()), nullptr,
                             MAPI_MODIFY, &type, &unknown),
            S_OK);
  auto* ipm = static_cast<IMAPIFolder*>(unknown);

  // A name made with MAPI_CREATE comes back from its tag.
  GUID set = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  std::u16string text = u"VantrelKeyword";
  MAPINAMEID name{};
  name.lpguid = &set;
  name.ulKind = MNID_STRING;
  name.Kind.lpwstrName = reinterpret_cast<LPWSTR>(text.data());
  LPMAPINAMEID names[] = {&name};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(ipm->GetIDsFromNames(1, names, MAPI_CREATE, &tags), S_OK);
  ASSERT_NE(tags, nullptr);
  ASSERT_EQ(tags->cValues, 1u);
  EXPECT_GE(PROP_ID(tags->aulPropTag[0]), 0x8000u);
  ULONG count = 0;
  LPMAPINAMEID* back = nullptr;
  LPSPropTagArray asked = tags;
  ASSERT_EQ(ipm->GetNamesFromIDs(&asked, nullptr, 0, &count, &back), S_OK);
  EXPECT_EQ(asked, tags);  // the caller's array stays the caller's
  ASSERT_EQ(count, 1u);
  ASSERT_NE(back, nullptr);
  ASSERT_NE(back[0], nullptr);
  EXPECT_EQ(back[0]->ulKind, MNID_STRING);
  EXPECT_TRUE(back[0]->lpguid && *back[0]->lpguid == set);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(back[0]->Kind.lpwstrName)), text);
  MAPIFreeBuffer(back);
  MAPIFreeBuffer(tags);

  // A folder named in UTF-16 gets its name in the ANSI code page.
  std::u16string wide = u"\u00C4rger";
  IMAPIFolder* folder = nullptr;
  ASSERT_EQ(ipm->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPSTR>(wide.data()), nullptr, nullptr,
                              MAPI_UNICODE | OPEN_IF_EXISTS, &folder),
            S_OK);
  EXPECT_EQ(Text(folder, PR_DISPLAY_NAME), "\xC4rger");
  folder->Release();
  ipm->Release();
  store->Release();
  logon->Release();
}

TEST_F(ZelClient, SetLockStateTurnsOnlyTheLockBit) {
  client::CClientLogon* logon = nullptr;
  IMsgStore* store = nullptr;
  ASSERT_EQ(Logon(Mailbox::kPassword, &logon, &store), S_OK);
  Bytes subtree = Binary(store, PR_IPM_SUBTREE_ENTRYID);
  ULONG type = 0;
  IUnknown* unknown = nullptr;
  ASSERT_EQ(store->OpenEntry(ULONG(subtree.size()), reinterpret_cast<LPENTRYID>(subtree.data()), nullptr,
                             MAPI_MODIFY, &type, &unknown),
            S_OK);
  auto* ipm = static_cast<IMAPIFolder*>(unknown);
  IMessage* message = nullptr;
  ASSERT_EQ(ipm->CreateMessage(nullptr, 0, &message), S_OK);
  SPropValue flags{};
  flags.ulPropTag = PR_SUBMIT_FLAGS;
  flags.Value.l = 0x6;
  ASSERT_EQ(message->SetProps(1, &flags, nullptr), S_OK);
  auto submit_flags = [&] {
    SPropTagArray tags{1, {PR_SUBMIT_FLAGS}};
    ULONG count = 0;
    LPSPropValue v = nullptr;
    LONG out = -1;
    if (SUCCEEDED(message->GetProps(&tags, 0, &count, &v)) && v && v->ulPropTag == PR_SUBMIT_FLAGS) out = v->Value.l;
    MAPIFreeBuffer(v);
    return out;
  };
  EXPECT_EQ(store->SetLockState(message, 1), S_OK);
  EXPECT_EQ(submit_flags(), 0x7);
  EXPECT_EQ(store->SetLockState(message, 0), S_OK);
  EXPECT_EQ(submit_flags(), 0x6);
  message->Release();
  ipm->Release();
  store->Release();
  logon->Release();
}

TEST_F(ZelClient, AdvisedSinkHearsAnotherLogonsMessageWithinAPoll) {
  client::CClientLogon* logon = nullptr;
  IMsgStore* store = nullptr;
  ASSERT_EQ(Logon(Mailbox::kPassword, &logon, &store), S_OK);

  std::atomic<int> created{0};
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG count, LPNOTIFICATION n) -> ULONG {
                  for (ULONG i = 0; i < count; ++i)
                    if (n[i].ulEventType == fnevObjectCreated) ++created;
                  return 0;
                },
                &sink),
            S_OK);
  ULONG connection = 99;
  ASSERT_EQ(store->Advise(0, nullptr, fnevObjectCreated, sink, &connection), S_OK);
  EXPECT_EQ(connection, 0u);

  // A second logon of this process writes a message.
  client::CClientLogon* other_logon = nullptr;
  IMsgStore* other = nullptr;
  ASSERT_EQ(Logon(Mailbox::kPassword, &other_logon, &other), S_OK);
  Bytes subtree = Binary(other, PR_IPM_SUBTREE_ENTRYID);
  ULONG type = 0;
  IUnknown* unknown = nullptr;
  ASSERT_EQ(other->OpenEntry(ULONG(subtree.size()), reinterpret_cast<LPENTRYID>(subtree.data()), nullptr,
                             MAPI_MODIFY, &type, &unknown),
            S_OK);
  auto* ipm = static_cast<IMAPIFolder*>(unknown);
  IMessage* message = nullptr;
  ASSERT_EQ(ipm->CreateMessage(nullptr, 0, &message), S_OK);
  ASSERT_EQ(message->SaveChanges(0), S_OK);
  message->Release();
  ipm->Release();

  EXPECT_TRUE(PumpUntil([&] { return created.load() > 0; }, std::chrono::seconds(30)));

  EXPECT_EQ(store->Unadvise(connection), S_OK);
  sink->Release();
  other->Release();
  other_logon->Release();
  store->Release();
  logon->Release();
}

TEST_F(ZelClient, CallsFailWithAnErrorOnceTheServerIsGone) {
  client::CClientLogon* logon = nullptr;
  IMsgStore* store = nullptr;
  ASSERT_EQ(Logon(Mailbox::kPassword, &logon, &store), S_OK);
  ASSERT_EQ(server_->Stop(), 0);
  SPropTagArray tags{1, {PR_ENTRYID}};
  ULONG count = 0;
  LPSPropValue v = nullptr;
  HRESULT hr = store->GetProps(&tags, 0, &count, &v);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_EQ(v, nullptr);
  store->Release();
  logon->Release();
  // The suite's end stops a server: give it one.
  delete server_;
  server_ = nullptr;
  StartServer();
}

// A server restarted on its port under a workstation that logs on again:
// the objects of the first logon travel over the same binding as those of
// the second, and must never reach them.
TEST(ZelClientRestart, OldObjectsNeverReachANewLogonsObjects) {
  clienttest::ServerMachine machine(testsupport::TestDir() + "/restart");
  ASSERT_TRUE(machine.Prepare(MAPIPROF_BIN, ZELUSERS_BIN));
  ASSERT_TRUE(machine.Start(ZELSERVER_BIN));
  setenv("ZEL_RPC_ENDPOINT", machine.port().c_str(), 1);
  win::SetMessageBoxHandler([](const win::MessageBoxRecord&) { return IDOK; });
  HMODULE module = LoadLibraryA(ZELCLIENT_MODULE);
  ASSERT_NE(module, nullptr);
  auto logon_client = reinterpret_cast<LogonClientFn>(GetProcAddress(module, "LogonClient"));
  ASSERT_NE(logon_client, nullptr);
  Bytes local = LocalStoreId();
  auto logon = [&](client::CClientLogon** l, IMsgStore** s) {
    return logon_client("127.0.0.1", clienttest::ServerMachine::kProfile, clienttest::ServerMachine::kStore,
                        clienttest::ServerMachine::kUser, clienttest::ServerMachine::kPassword, nullptr, l, s,
                        local.data(), ULONG(local.size()), kLocalUid.data());
  };
  auto open_subtree = [](IMsgStore* store) -> IMAPIFolder* {
    Bytes id = Binary(store, PR_IPM_SUBTREE_ENTRYID);
    ULONG type = 0;
    IUnknown* unknown = nullptr;
    if (FAILED(store->OpenEntry(ULONG(id.size()), reinterpret_cast<LPENTRYID>(id.data()), nullptr, 0, &type,
                                &unknown)))
      return nullptr;
    return static_cast<IMAPIFolder*>(unknown);
  };

  client::CClientLogon* first_logon = nullptr;
  IMsgStore* first = nullptr;
  ASSERT_EQ(logon(&first_logon, &first), S_OK);
  IMAPIFolder* old_folder = open_subtree(first);
  ASSERT_NE(old_folder, nullptr);
  ASSERT_FALSE(Text(old_folder, PR_DISPLAY_NAME).empty());

  ASSERT_EQ(machine.Stop(), 0);
  ASSERT_TRUE(machine.Start(ZELSERVER_BIN));

  // The new server numbers its objects from the start again.
  client::CClientLogon* second_logon = nullptr;
  IMsgStore* second = nullptr;
  ASSERT_EQ(logon(&second_logon, &second), S_OK);
  IMAPIFolder* new_folder = open_subtree(second);
  ASSERT_NE(new_folder, nullptr);
  std::string name = Text(new_folder, PR_DISPLAY_NAME);
  ASSERT_FALSE(name.empty());

  SPropTagArray tags{1, {PR_DISPLAY_NAME}};
  ULONG count = 0;
  LPSPropValue v = nullptr;
  EXPECT_TRUE(FAILED(old_folder->GetProps(&tags, 0, &count, &v)));
  EXPECT_EQ(v, nullptr);
  EXPECT_TRUE(FAILED(first->GetProps(&tags, 0, &count, &v)));
  // Letting the old objects go frees nothing of the new logon's.
  old_folder->Release();
  first->Release();
  first_logon->Release();
  EXPECT_EQ(Text(new_folder, PR_DISPLAY_NAME), name);
  EXPECT_FALSE(Binary(second, PR_ENTRYID).empty());

  new_folder->Release();
  second->Release();
  second_logon->Release();
  win::SetMessageBoxHandler({});
  EXPECT_EQ(machine.Stop(), 0);
}

}  // namespace
}  // namespace vantrel
