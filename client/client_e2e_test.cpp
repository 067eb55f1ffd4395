// The client end to end: a ZelServer with its own home, registry and MAPI
// folder; this process as the workstation, with the Vantrel service in a
// MAPI profile. Everything goes through MAPI as a mail client calls it
// (MAPILogonEx, OpenMsgStore, the objects MAPI hands out); zelclient is
// reached only through the store provider MAPI loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "client/ClientE2eSupport.h"
#include "client/DialogDriver.h"
#include "client/RpcRelay.h"
#include "platform/storage/ObjIdl.h"
#include "platform/win/TestChild.h"
#include "server/app/TestClient.h"

using namespace vantrel::clienttest;
using vantrel::ComPtr;

namespace {

ServerMachine* g_server = nullptr;

class Installation : public ::testing::Environment {
 public:
  void SetUp() override {
    vantrel::win::UsePrivateWinDir("client-e2e");
    g_server = new ServerMachine(Scratch() + "/server");
    ASSERT_TRUE(g_server->Prepare(MAPIPROF_BIN, ZELUSERS_BIN));
    ASSERT_TRUE(g_server->Start(ZELSERVER_BIN));
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);
    std::string failure =
        InstallWorkstation(g_server->port(), MSZLF_MODULE, ZELCLIENT_MODULE, MAPIPROF_BIN, Scratch() + "/local.pst");
    ASSERT_EQ(failure, "");
  }
  void TearDown() override {
    if (g_server) {
      EXPECT_EQ(g_server->Stop(), 0);
    }
    delete g_server;
    g_server = nullptr;
    MAPIUninitialize();
  }
};
const auto* const kInstallation = ::testing::AddGlobalTestEnvironment(new Installation);

std::vector<BYTE> Bin(IMAPIProp* object, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(object, tag, &v))) return {};
  std::vector<BYTE> out(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return out;
}

std::string Text(IMAPIProp* object, ULONG tag) {
  LPSPropValue v = nullptr;
  if (FAILED(HrGetOneProp(object, tag, &v))) return "<none>";
  std::string out = v->Value.lpszA ? v->Value.lpszA : "";
  MAPIFreeBuffer(v);
  return out;
}

LPENTRYID Eid(std::vector<BYTE>& id) {
  return reinterpret_cast<LPENTRYID>(id.data());
}
ULONG Cb(const std::vector<BYTE>& id) {
  return static_cast<ULONG>(id.size());
}

template <class I>
ComPtr<I> Open(IMsgStore* store, std::vector<BYTE> id, const IID& iid) {
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  ComPtr<I> out;
  if (SUCCEEDED(store->OpenEntry(Cb(id), Eid(id), nullptr, MAPI_BEST_ACCESS, &type, unk.Out())))
    unk->QueryInterface(iid, out.OutVoid());
  return out;
}

ComPtr<IMAPIFolder> Subtree(IMsgStore* store) {
  return Open<IMAPIFolder>(store, Bin(store, PR_IPM_SUBTREE_ENTRYID), IID_IMAPIFolder);
}

ComPtr<IMAPIFolder> Child(IMAPIFolder* parent, const std::string& name) {
  ComPtr<IMAPIFolder> out;
  EXPECT_EQ(parent->CreateFolder(FOLDER_GENERIC, const_cast<LPSTR>(name.c_str()), nullptr, nullptr, OPEN_IF_EXISTS,
                                 out.Out()),
            S_OK)
      << name;
  return out;
}

// Rows of a table with the given columns, every row.
struct Rows {
  LPSRowSet set = nullptr;
  ~Rows() { FreeProws(set); }
  ULONG size() const { return set ? set->cRows : 0; }
  const SPropValue& at(ULONG row, ULONG col) const { return set->aRow[row].lpProps[col]; }
};
void AllRows(IMAPITable* table, std::initializer_list<ULONG> columns, Rows* rows) {
  SizedSPropTagArray<8> cols;
  cols.cValues = 0;
  for (ULONG c : columns) cols.aulPropTag[cols.cValues++] = c;
  ASSERT_EQ(HrQueryAllRows(table, cols.get(), nullptr, nullptr, 0, &rows->set), S_OK);
}

std::vector<std::string> Names(IMAPIFolder* folder, bool hierarchy) {
  ComPtr<IMAPITable> table;
  std::vector<std::string> names;
  if (FAILED(hierarchy ? folder->GetHierarchyTable(0, table.Out()) : folder->GetContentsTable(0, table.Out())))
    return names;
  Rows rows;
  AllRows(table.get(), {hierarchy ? PR_DISPLAY_NAME : PR_SUBJECT}, &rows);
  for (ULONG i = 0; i < rows.size(); ++i)
    names.push_back(PROP_TYPE(rows.at(i, 0).ulPropTag) == PT_STRING8 ? rows.at(i, 0).Value.lpszA : "<none>");
  std::sort(names.begin(), names.end());
  return names;
}

// The entry ID of the first row of a table whose `tag` is `text`.
std::vector<BYTE> FindRow(IMAPITable* table, ULONG tag, const std::string& text) {
  Rows rows;
  AllRows(table, {tag, PR_ENTRYID}, &rows);
  for (ULONG i = 0; i < rows.size(); ++i)
    if (PROP_TYPE(rows.at(i, 0).ulPropTag) == PT_STRING8 && text == rows.at(i, 0).Value.lpszA) {
      const SBinary& b = rows.at(i, 1).Value.bin;
      return {b.lpb, b.lpb + b.cb};
    }
  return {};
}
std::vector<BYTE> FolderID(IMAPIFolder* parent, const std::string& name) {
  ComPtr<IMAPITable> table;
  if (FAILED(parent->GetHierarchyTable(0, table.Out()))) return {};
  return FindRow(table.get(), PR_DISPLAY_NAME, name);
}
std::vector<BYTE> MessageID(IMAPIFolder* folder, const std::string& subject) {
  ComPtr<IMAPITable> table;
  if (FAILED(folder->GetContentsTable(0, table.Out()))) return {};
  return FindRow(table.get(), PR_SUBJECT, subject);
}

ComPtr<IMessage> NewMessage(IMAPIFolder* folder, const std::string& subject, LONG importance = 1) {
  ComPtr<IMessage> message;
  EXPECT_EQ(folder->CreateMessage(nullptr, 0, message.Out()), S_OK);
  if (!message) return message;
  SPropValue v[3] = {};
  v[0].ulPropTag = PR_SUBJECT;
  v[0].Value.lpszA = const_cast<LPSTR>(subject.c_str());
  v[1].ulPropTag = PR_BODY;
  v[1].Value.lpszA = const_cast<LPSTR>("body text");
  v[2].ulPropTag = PR_IMPORTANCE;
  v[2].Value.l = importance;
  EXPECT_EQ(message->SetProps(3, v, nullptr), S_OK);
  EXPECT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  return message;
}

// A workstation logged on to its profile with the Vantrel store open.
class Workstation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_server);
    ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>(kWorkstationProfile), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED,
                          session_.Out()),
              S_OK);
    ASSERT_EQ(OpenWorkstationStore(session_.get(), vantrel::mszlf::kMszlfProviderUid, store_.Out()), S_OK);
    root_ = Subtree(store_.get());
    ASSERT_TRUE(root_);
  }
  void TearDown() override {
    root_.Reset();
    store_.Reset();
    if (session_) session_->Logoff(0, 0, 0);
    session_.Reset();
  }

  // A folder of this test's own below the IPM subtree, emptied first.
  ComPtr<IMAPIFolder> Fresh(const std::string& name) {
    if (std::vector<BYTE> old = FolderID(root_.get(), name); !old.empty())
      root_->DeleteFolder(Cb(old), Eid(old), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES);
    return Child(root_.get(), name);
  }

  ComPtr<IMAPISession> session_;
  ComPtr<IMsgStore> store_;
  ComPtr<IMAPIFolder> root_;
};

TEST_F(Workstation, FoldersMessagesRecipientsAndAttachments) {
  // The tree of a new mailbox.
  std::vector<std::string> top = Names(root_.get(), true);
  for (const char* f : {"Inbox", "Outbox", "Sent Items", "Deleted Items"})
    EXPECT_NE(std::find(top.begin(), top.end(), f), top.end()) << f;

  ComPtr<IMAPIFolder> work = Fresh("Work");
  ASSERT_TRUE(work);
  ComPtr<IMAPIFolder> sub = Child(work.get(), "Sub");
  ASSERT_TRUE(sub);
  EXPECT_EQ(Names(work.get(), true), std::vector<std::string>{"Sub"});
  EXPECT_EQ(Text(sub.get(), PR_DISPLAY_NAME), "Sub");

  // A message with two recipients and an attachment, then changed.
  ComPtr<IMessage> message = NewMessage(work.get(), "first");
  ASSERT_TRUE(message);
  {
    LPADRLIST list = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(2)), reinterpret_cast<void**>(&list)), S_OK);
    list->cEntries = 2;
    const char* names[2] = {"Max Muster", "Erika Muster"};
    const char* addresses[2] = {"max@example.org", "erika@example.org"};
    for (ULONG i = 0; i < 2; ++i) {
      LPSPropValue props = nullptr;
      ASSERT_EQ(MAPIAllocateBuffer(3 * sizeof(SPropValue), reinterpret_cast<void**>(&props)), S_OK);
      props[0].ulPropTag = PR_DISPLAY_NAME;
      props[0].Value.lpszA = const_cast<LPSTR>(names[i]);
      props[1].ulPropTag = PR_EMAIL_ADDRESS;
      props[1].Value.lpszA = const_cast<LPSTR>(addresses[i]);
      props[2].ulPropTag = PR_RECIPIENT_TYPE;
      props[2].Value.l = MAPI_TO;
      list->aEntries[i] = {0, 3, props};
    }
    EXPECT_EQ(message->ModifyRecipients(MODRECIP_ADD, list), S_OK);
    FreePadrlist(list);
  }
  ULONG number = 0;
  {
    ComPtr<IAttach> attach;
    ASSERT_EQ(message->CreateAttach(nullptr, 0, &number, attach.Out()), S_OK);
    SPropValue v[3] = {};
    v[0].ulPropTag = PR_ATTACH_METHOD;
    v[0].Value.l = ATTACH_BY_VALUE;
    v[1].ulPropTag = PR_ATTACH_FILENAME;
    v[1].Value.lpszA = const_cast<LPSTR>("note.txt");
    BYTE data[] = "attached bytes";
    v[2].ulPropTag = PR_ATTACH_DATA_BIN;
    v[2].Value.bin = {sizeof data, data};
    ASSERT_EQ(attach->SetProps(3, v, nullptr), S_OK);
    ASSERT_EQ(attach->SaveChanges(0), S_OK);
  }
  SPropValue subject{};
  subject.ulPropTag = PR_SUBJECT;
  subject.Value.lpszA = const_cast<LPSTR>("changed");
  ASSERT_EQ(HrSetOneProp(message.get(), &subject), S_OK);
  ASSERT_EQ(message->SaveChanges(0), S_OK);
  message.Reset();

  std::vector<BYTE> id = MessageID(work.get(), "changed");
  ASSERT_FALSE(id.empty());
  ComPtr<IMessage> again = Open<IMessage>(store_.get(), id, IID_IMessage);
  ASSERT_TRUE(again);
  EXPECT_EQ(Text(again.get(), PR_BODY), "body text");
  {
    ComPtr<IMAPITable> recipients;
    ASSERT_EQ(again->GetRecipientTable(0, recipients.Out()), S_OK);
    Rows rows;
    AllRows(recipients.get(), {PR_DISPLAY_NAME, PR_EMAIL_ADDRESS}, &rows);
    ASSERT_EQ(rows.size(), 2u);
    std::vector<std::string> got = {rows.at(0, 1).Value.lpszA, rows.at(1, 1).Value.lpszA};
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"erika@example.org", "max@example.org"}));
  }
  {
    ComPtr<IMAPITable> attachments;
    ASSERT_EQ(again->GetAttachmentTable(0, attachments.Out()), S_OK);
    Rows rows;
    AllRows(attachments.get(), {PR_ATTACH_NUM, PR_ATTACH_FILENAME}, &rows);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_STREQ(rows.at(0, 1).Value.lpszA, "note.txt");
    ComPtr<IAttach> attach;
    ASSERT_EQ(again->OpenAttach(static_cast<ULONG>(rows.at(0, 0).Value.l), nullptr, 0, attach.Out()), S_OK);
    std::vector<BYTE> data = Bin(attach.get(), PR_ATTACH_DATA_BIN);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("attached bytes", sizeof "attached bytes"));
  }
  again.Reset();

  // Copy, then move, into the subfolder; then delete.
  ENTRYLIST one{1, nullptr};
  SBinary bin{Cb(id), id.data()};
  one.lpbin = &bin;
  ASSERT_EQ(work->CopyMessages(&one, nullptr, sub.get(), 0, nullptr, 0), S_OK);
  EXPECT_EQ(Names(sub.get(), false), std::vector<std::string>{"changed"});
  EXPECT_EQ(Names(work.get(), false), std::vector<std::string>{"changed"});
  ASSERT_EQ(work->CopyMessages(&one, nullptr, sub.get(), 0, nullptr, MESSAGE_MOVE), S_OK);
  EXPECT_EQ(Names(work.get(), false), std::vector<std::string>{});
  EXPECT_EQ(Names(sub.get(), false), (std::vector<std::string>{"changed", "changed"}));
  std::vector<BYTE> moved = MessageID(sub.get(), "changed");
  SBinary moved_bin{Cb(moved), moved.data()};
  ENTRYLIST gone{1, &moved_bin};
  ASSERT_EQ(sub->DeleteMessages(&gone, 0, nullptr, 0), S_OK);
  EXPECT_EQ(Names(sub.get(), false), std::vector<std::string>{"changed"});

  // Moving a folder, then deleting the tree.
  ComPtr<IMAPIFolder> other = Fresh("Work Moved");
  std::vector<BYTE> sub_id = FolderID(work.get(), "Sub");
  ASSERT_FALSE(sub_id.empty());
  sub.Reset();
  ASSERT_EQ(work->CopyFolder(Cb(sub_id), Eid(sub_id), nullptr, other.get(), nullptr, 0, nullptr, FOLDER_MOVE), S_OK);
  EXPECT_EQ(Names(work.get(), true), std::vector<std::string>{});
  EXPECT_EQ(Names(other.get(), true), std::vector<std::string>{"Sub"});
  for (const char* name : {"Work", "Work Moved"}) {
    std::vector<BYTE> f = FolderID(root_.get(), name);
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(root_->DeleteFolder(Cb(f), Eid(f), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES), S_OK) << name;
  }
  top = Names(root_.get(), true);
  EXPECT_EQ(std::count(top.begin(), top.end(), "Work"), 0);
}

TEST_F(Workstation, ContentsTableSortedRestrictedAndPaged) {
  ComPtr<IMAPIFolder> folder = Fresh("Table");
  ASSERT_TRUE(folder);
  for (int i = 0; i < 30; ++i) {
    char subject[16];
    std::snprintf(subject, sizeof subject, "Item %02d", i);
    NewMessage(folder.get(), subject, i % 3);
  }
  ComPtr<IMAPITable> table;
  ASSERT_EQ(folder->GetContentsTable(0, table.Out()), S_OK);
  SizedSPropTagArray<2> cols{2, {PR_SUBJECT, PR_IMPORTANCE}};
  ASSERT_EQ(table->SetColumns(cols.get(), 0), S_OK);
  SizedSSortOrderSet<1> sort;
  sort.cSorts = 1;
  sort.cCategories = 0;
  sort.cExpanded = 0;
  sort.aSort[0] = {PR_SUBJECT, TABLE_SORT_DESCEND};
  ASSERT_EQ(table->SortTable(sort.get(), 0), S_OK);
  SPropValue two{};
  two.ulPropTag = PR_IMPORTANCE;
  two.Value.l = 2;
  SRestriction r{};
  r.rt = RES_PROPERTY;
  r.res.resProperty = {RELOP_EQ, PR_IMPORTANCE, &two};
  ASSERT_EQ(table->Restrict(&r, 0), S_OK);
  ULONG count = 0;
  ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
  EXPECT_EQ(count, 10u);

  // Pages of four, in order, until the table ends.
  std::vector<std::string> seen;
  for (int page = 0; page < 10; ++page) {
    LPSRowSet rows = nullptr;
    ASSERT_EQ(table->QueryRows(4, 0, &rows), S_OK);
    ULONG n = rows->cRows;
    for (ULONG i = 0; i < n; ++i) seen.push_back(rows->aRow[i].lpProps[0].Value.lpszA);
    FreeProws(rows);
    if (n == 0) break;
    EXPECT_LE(n, 4u);
  }
  std::vector<std::string> expected;
  for (int i = 29; i >= 0; --i)
    if (i % 3 == 2) {
      char subject[16];
      std::snprintf(subject, sizeof subject, "Item %02d", i);
      expected.push_back(subject);
    }
  EXPECT_EQ(seen, expected);

  LONG sought = 0;
  ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 5, &sought), S_OK);
  EXPECT_EQ(sought, 5);
  LPSRowSet row = nullptr;
  ASSERT_EQ(table->QueryRows(1, 0, &row), S_OK);
  ASSERT_EQ(row->cRows, 1u);
  EXPECT_EQ(std::string(row->aRow[0].lpProps[0].Value.lpszA), expected[5]);
  FreeProws(row);
}

// The identifier the server keeps in its store's entry IDs, read with the
// protocol's own stubs from outside the workstation.
std::vector<BYTE> ServerStoreUid() {
  vantrel::testsupport::Client raw(g_server->port());
  std::int32_t session = raw.Logon(ServerMachine::kProfile, ServerMachine::kStore, ServerMachine::kUser,
                                   ServerMachine::kPassword);
  std::int32_t store = raw.Call<vantrel::zel::ZelLogon_GetMsgStore>({session}).result;
  std::vector<BYTE> subtree = raw.Binary(store, PR_IPM_SUBTREE_ENTRYID);
  raw.Call<vantrel::zel::FreeHObject>({store});
  raw.Call<vantrel::zel::ZelLogon_Release>({session});
  raw.Call<vantrel::zel::FreeHObject>({session});
  if (subtree.size() < 20) return {};
  return {subtree.begin() + 4, subtree.begin() + 20};
}

TEST_F(Workstation, EntryIdsCarryTheProvidersUid) {
  // The provider's UID of the store, kept in its profile section.
  std::vector<BYTE> local;
  {
    ComPtr<IMsgServiceAdmin> services;
    ASSERT_EQ(session_->AdminServices(0, services.Out()), S_OK);
    ComPtr<IMAPITable> providers;
    ASSERT_EQ(services->GetProviderTable(0, providers.Out()), S_OK);
    Rows rows;
    AllRows(providers.get(), {PR_SERVICE_NAME, PR_PROVIDER_UID}, &rows);
    for (ULONG i = 0; i < rows.size(); ++i)
      if (PROP_TYPE(rows.at(i, 0).ulPropTag) == PT_STRING8 && std::string(rows.at(i, 0).Value.lpszA) == "MSZLF") {
        MAPIUID uid;
        std::memcpy(uid.ab, rows.at(i, 1).Value.bin.lpb, 16);
        ComPtr<IProfSect> section;
        ASSERT_EQ(session_->OpenProfileSection(&uid, nullptr, 0, section.Out()), S_OK);
        local = Bin(section.get(), vantrel::mszlf::PR_ZLF_STORE_UID);
      }
  }
  ASSERT_EQ(local.size(), 16u);
  std::vector<BYTE> server = ServerStoreUid();
  ASSERT_EQ(server.size(), 16u);
  ASSERT_NE(local, server);

  ComPtr<IMAPIFolder> folder = Fresh("Identity");
  NewMessage(folder.get(), "one");
  NewMessage(folder.get(), "two");
  std::vector<BYTE> one = MessageID(folder.get(), "one"), two = MessageID(folder.get(), "two");
  std::vector<BYTE> folder_id = FolderID(root_.get(), "Identity");
  for (const std::vector<BYTE>* id : {&one, &two, &folder_id}) {
    ASSERT_GE(id->size(), 20u);
    EXPECT_EQ(std::vector<BYTE>(id->begin() + 4, id->begin() + 20), local);
  }
  EXPECT_EQ(Bin(folder.get(), PR_ENTRYID), folder_id);

  // The session finds the store of an ID by that UID.
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  ASSERT_EQ(session_->OpenEntry(Cb(one), Eid(one), nullptr, MAPI_BEST_ACCESS, &type, unk.Out()), S_OK);
  EXPECT_EQ(type, static_cast<ULONG>(MAPI_MESSAGE));
  ComPtr<IMessage> opened;
  ASSERT_EQ(unk->QueryInterface(IID_IMessage, opened.OutVoid()), S_OK);
  EXPECT_EQ(Text(opened.get(), PR_SUBJECT), "one");

  // The server's form of the same message is the same message.
  std::vector<BYTE> server_form = one;
  std::copy(server.begin(), server.end(), server_form.begin() + 4);
  struct Case {
    std::vector<BYTE>* a;
    std::vector<BYTE>* b;
    ULONG same;
  };
  for (const Case& c : {Case{&server_form, &one, TRUE}, Case{&one, &server_form, TRUE}, Case{&server_form, &two, FALSE},
                        Case{&one, &two, FALSE}}) {
    ULONG result = 2;
    ASSERT_EQ(store_->CompareEntryIDs(Cb(*c.a), Eid(*c.a), Cb(*c.b), Eid(*c.b), 0, &result), S_OK);
    EXPECT_EQ(result, c.same);
    result = 2;
    ASSERT_EQ(session_->CompareEntryIDs(Cb(*c.a), Eid(*c.a), Cb(*c.b), Eid(*c.b), 0, &result), S_OK);
    EXPECT_EQ(result, c.same);
  }
  ComPtr<IMessage> by_server_form = Open<IMessage>(store_.get(), server_form, IID_IMessage);
  ASSERT_TRUE(by_server_form);
  EXPECT_EQ(Bin(by_server_form.get(), PR_ENTRYID), one);
}

TEST_F(Workstation, CopyFolderWithinTheStoreAndIntoPersonalFolders) {
  ComPtr<IMAPIFolder> source = Fresh("Copy Source");
  ASSERT_TRUE(source);
  NewMessage(source.get(), "alpha");
  {
    ComPtr<IMessage> beta = NewMessage(source.get(), "beta");
    ComPtr<IAttach> attach;
    ULONG n = 0;
    ASSERT_EQ(beta->CreateAttach(nullptr, 0, &n, attach.Out()), S_OK);
    SPropValue v{};
    v.ulPropTag = PR_ATTACH_FILENAME;
    v.Value.lpszA = const_cast<LPSTR>("beta.txt");
    ASSERT_EQ(HrSetOneProp(attach.get(), &v), S_OK);
    ASSERT_EQ(attach->SaveChanges(0), S_OK);
    ASSERT_EQ(beta->SaveChanges(0), S_OK);
  }
  Child(source.get(), "Nested");
  std::vector<BYTE> source_id = FolderID(root_.get(), "Copy Source");

  // Within the store.
  ComPtr<IMAPIFolder> target = Fresh("Copy Target");
  ASSERT_EQ(root_->CopyFolder(Cb(source_id), Eid(source_id), nullptr, target.get(), const_cast<LPSTR>("Copied"), 0,
                              nullptr, COPY_SUBFOLDERS),
            S_OK);
  std::vector<BYTE> copied_id = FolderID(target.get(), "Copied");
  ASSERT_FALSE(copied_id.empty());
  ComPtr<IMAPIFolder> copied = Open<IMAPIFolder>(store_.get(), copied_id, IID_IMAPIFolder);
  ASSERT_TRUE(copied);
  EXPECT_EQ(Names(copied.get(), false), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(Names(copied.get(), true), std::vector<std::string>{"Nested"});
  EXPECT_EQ(Names(source.get(), false), (std::vector<std::string>{"alpha", "beta"}));

  // Into the workstation's own personal folders.
  ComPtr<IMsgStore> local;
  ASSERT_EQ(OpenWorkstationStore(session_.get(), vantrel::mapi::kPstMdbProvider, local.Out()), S_OK);
  ComPtr<IMAPIFolder> local_root = Subtree(local.get());
  ASSERT_TRUE(local_root);
  if (std::vector<BYTE> old = FolderID(local_root.get(), "From Server"); !old.empty())
    local_root->DeleteFolder(Cb(old), Eid(old), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES);
  ASSERT_EQ(root_->CopyFolder(Cb(source_id), Eid(source_id), nullptr, local_root.get(),
                              const_cast<LPSTR>("From Server"), 0, nullptr, COPY_SUBFOLDERS),
            S_OK);
  std::vector<BYTE> local_id = FolderID(local_root.get(), "From Server");
  ASSERT_FALSE(local_id.empty());
  ComPtr<IMAPIFolder> local_copy = Open<IMAPIFolder>(local.get(), local_id, IID_IMAPIFolder);
  ASSERT_TRUE(local_copy);
  EXPECT_EQ(Names(local_copy.get(), false), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(Names(local_copy.get(), true), std::vector<std::string>{"Nested"});
  std::vector<BYTE> beta_id = MessageID(local_copy.get(), "beta");
  ComPtr<IMessage> beta = Open<IMessage>(local.get(), beta_id, IID_IMessage);
  ASSERT_TRUE(beta);
  ComPtr<IMAPITable> attachments;
  ASSERT_EQ(beta->GetAttachmentTable(0, attachments.Out()), S_OK);
  Rows rows;
  AllRows(attachments.get(), {PR_ATTACH_FILENAME}, &rows);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_STREQ(rows.at(0, 0).Value.lpszA, "beta.txt");
}

// Bytes that differ from offset to offset, so a misplaced block shows.
std::vector<BYTE> Pattern(size_t n, unsigned seed) {
  std::vector<BYTE> out(n);
  unsigned x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<BYTE>(x >> 16);
  }
  return out;
}

ComPtr<IStream> AttachmentStream(IAttach* attach, bool create) {
  ComPtr<IUnknown> unk;
  ComPtr<IStream> stream;
  HRESULT hr = attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, create ? STGM_READWRITE : 0,
                                    create ? MAPI_CREATE | MAPI_MODIFY : 0, unk.Out());
  EXPECT_EQ(hr, S_OK);
  if (unk) unk->QueryInterface(IID_IStream, stream.OutVoid());
  return stream;
}

std::vector<BYTE> ReadAll(IStream* stream) {
  std::vector<BYTE> out;
  std::vector<BYTE> chunk(100000);  // not a multiple of any block size
  for (;;) {
    ULONG got = 0;
    if (FAILED(stream->Read(chunk.data(), static_cast<ULONG>(chunk.size()), &got)) || got == 0) break;
    out.insert(out.end(), chunk.begin(), chunk.begin() + got);
  }
  return out;
}

TEST_F(Workstation, TenMegabyteAttachmentThroughStreams) {
  constexpr size_t kSize = 10 * 1024 * 1024;
  const std::vector<BYTE> data = Pattern(kSize, 7);
  ComPtr<IMAPIFolder> folder = Fresh("Large");
  ComPtr<IMessage> message = NewMessage(folder.get(), "large");
  ULONG first = 0, second = 0;
  {
    ComPtr<IAttach> attach;
    ASSERT_EQ(message->CreateAttach(nullptr, 0, &first, attach.Out()), S_OK);
    ComPtr<IStream> stream = AttachmentStream(attach.get(), true);
    ASSERT_TRUE(stream);
    for (size_t at = 0; at < kSize; at += 65536) {
      ULONG written = 0;
      ASSERT_EQ(stream->Write(data.data() + at, 65536, &written), S_OK);
      ASSERT_EQ(written, 65536u);
    }
    ASSERT_EQ(stream->Commit(0), S_OK);
    stream.Reset();
    ASSERT_EQ(attach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

    // CopyTo from that stream into a second attachment's.
    ComPtr<IAttach> copy;
    ASSERT_EQ(message->CreateAttach(nullptr, 0, &second, copy.Out()), S_OK);
    ComPtr<IStream> from = AttachmentStream(attach.get(), false);
    ComPtr<IStream> to = AttachmentStream(copy.get(), true);
    ASSERT_TRUE(from && to);
    ULARGE_INTEGER all{}, read{}, written{};
    all.QuadPart = kSize;
    ASSERT_EQ(from->CopyTo(to.get(), all, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, kSize);
    EXPECT_EQ(written.QuadPart, kSize);
    ASSERT_EQ(to->Commit(0), S_OK);
    to.Reset();
    ASSERT_EQ(copy->SaveChanges(0), S_OK);
  }
  ASSERT_EQ(message->SaveChanges(0), S_OK);
  message.Reset();

  ComPtr<IMessage> again = Open<IMessage>(store_.get(), MessageID(folder.get(), "large"), IID_IMessage);
  ASSERT_TRUE(again);
  for (ULONG number : {first, second}) {
    ComPtr<IAttach> attach;
    ASSERT_EQ(again->OpenAttach(number, nullptr, 0, attach.Out()), S_OK);
    ComPtr<IStream> stream = AttachmentStream(attach.get(), false);
    ASSERT_TRUE(stream);
    STATSTG stat{};
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, kSize);
    std::vector<BYTE> back = ReadAll(stream.get());
    ASSERT_EQ(back.size(), kSize) << "attachment " << number;
    EXPECT_TRUE(back == data) << "attachment " << number;
  }
}

// Keeps the parent of each object created, on the thread that pumps.
class CreationSink final : public vantrel::RefCounted<IMAPIAdviseSink> {
 public:
  ULONG OnNotify(ULONG count, LPNOTIFICATION notifications) override {
    for (ULONG i = 0; i < count; ++i) {
      const NOTIFICATION& n = notifications[i];
      if (n.ulEventType != fnevObjectCreated || n.info.obj.ulObjType != MAPI_MESSAGE) continue;
      const BYTE* p = reinterpret_cast<const BYTE*>(n.info.obj.lpParentID);
      parents.emplace_back(p, p + (p ? n.info.obj.cbParentID : 0));
    }
    return 0;
  }
  std::vector<std::vector<BYTE>> parents;
};

TEST_F(Workstation, AnotherWorkstationsMessageReachesTheAdviseSink) {
  ComPtr<IMAPIFolder> folder = Fresh("Shared");
  std::vector<BYTE> folder_id = FolderID(root_.get(), "Shared");
  ComPtr<CreationSink> sink = ComPtr<CreationSink>::Adopt(new CreationSink);
  ULONG connection = 0;
  ASSERT_EQ(store_->Advise(0, nullptr, fnevObjectCreated, sink.get(), &connection), S_OK);

  vantrel::win::TestChild peer({E2E_PEER_BIN});
  ASSERT_EQ(peer.Ask("logon"), "ok");
  ASSERT_EQ(peer.Ask("save Shared from-the-other-workstation"), "ok");
  // The message in the folder, in this workstation's form of the IDs.
  auto arrived = [&] {
    return std::find(sink->parents.begin(), sink->parents.end(), folder_id) != sink->parents.end();
  };
  EXPECT_TRUE(PumpUntil(arrived, std::chrono::seconds(20))) << "no notification while the thread pumped";
  EXPECT_EQ(Names(folder.get(), false), std::vector<std::string>{"from-the-other-workstation"});
  EXPECT_EQ(store_->Unadvise(connection), S_OK);
  peer.WriteLine("quit");
  EXPECT_EQ(peer.Wait(), 0);
}

// The other workstation's polls, counted on its connection: every tick (2 s)
// while it has an advise registration, every twelfth without.
TEST_F(Workstation, PollsFollowTheAdviseRegistrations) {
  constexpr std::uint16_t kGetNotifyQuere = 1;
  RpcRelay relay(g_server->port());
  ASSERT_NE(relay.port(), "");
  setenv("ZEL_RPC_ENDPOINT", relay.port().c_str(), 1);
  vantrel::win::TestChild peer({E2E_PEER_BIN});
  setenv("ZEL_RPC_ENDPOINT", g_server->port().c_str(), 1);
  ASSERT_EQ(peer.Ask("logon"), "ok");

  ASSERT_EQ(peer.Ask("advise"), "ok");
  int before = relay.Requests(kGetNotifyQuere);
  int slices = 0;
  while (relay.Requests(kGetNotifyQuere) - before < 3 && slices < 30) {
    ASSERT_EQ(peer.Ask("pump 500"), "ok");
    ++slices;
  }
  int with = relay.Requests(kGetNotifyQuere) - before;
  EXPECT_GE(with, 3) << "polls while advised";

  // As long again without a registration.
  ASSERT_EQ(peer.Ask("unadvise"), "ok");
  before = relay.Requests(kGetNotifyQuere);
  for (int i = 0; i < slices; ++i) ASSERT_EQ(peer.Ask("pump 500"), "ok");
  int without = relay.Requests(kGetNotifyQuere) - before;
  EXPECT_LT(without, with);
  EXPECT_LE(without, 1);
  RecordProperty("polls_with_advise", with);
  RecordProperty("polls_without_advise", without);
  std::printf("polls in %d ms: %d with an advise registration, %d without\n", slices * 500, with, without);
  peer.WriteLine("quit");
  EXPECT_EQ(peer.Wait(), 0);
}

TEST_F(Workstation, ServerRestartUnderAConnectedWorkstation) {
  ComPtr<IMAPIFolder> folder = Fresh("Restart");
  ComPtr<IMessage> message = NewMessage(folder.get(), "before");
  ASSERT_EQ(g_server->Stop(), 0);

  // Calls fail with an error while the server is away.
  ULONG n = 0;
  LPSPropValue values = nullptr;
  SizedSPropTagArray<1> subject{1, {PR_SUBJECT}};
  EXPECT_TRUE(FAILED(message->GetProps(subject.get(), 0, &n, &values)));
  MAPIFreeBuffer(values);

  ASSERT_TRUE(g_server->Start(ZELSERVER_BIN));
  // Another client's objects in the new server take the handles the old
  // ones had.
  vantrel::testsupport::Client other(g_server->port());
  std::int32_t other_session = other.Logon(ServerMachine::kProfile, ServerMachine::kStore, ServerMachine::kUser,
                                           ServerMachine::kPassword);
  ASSERT_GT(other_session, 0);
  std::int32_t other_store = other.Call<vantrel::zel::ZelLogon_GetMsgStore>({other_session}).result;
  ASSERT_GT(other_store, 0);
  for (int i = 0; i < 20; ++i) other.Call<vantrel::zel::MSGSTORE_OpenEntry>({other_store, {}, {}, 0});

  // None of the old objects reaches them: every call fails.
  values = nullptr;
  EXPECT_TRUE(FAILED(message->GetProps(subject.get(), 0, &n, &values)));
  MAPIFreeBuffer(values);
  ComPtr<IMAPITable> table;
  HRESULT hr = folder->GetContentsTable(0, table.Out());
  EXPECT_TRUE(FAILED(hr) || !table);
  EXPECT_EQ(Text(store_.get(), PR_DISPLAY_NAME), "<none>");
  EXPECT_EQ(other.Text(other_store, PR_DISPLAY_NAME), ServerMachine::kStore);

  // Letting the old objects go does not hang; a new logon works.
  message.Reset();
  folder.Reset();
  TearDown();
  SetUp();
  ComPtr<IMAPIFolder> again = Child(root_.get(), "Restart");
  ASSERT_TRUE(again);
  EXPECT_EQ(Names(again.get(), false), std::vector<std::string>{"before"});
  other.Call<vantrel::zel::ZelLogon_Release>({other_session});
}

// What the server holds for a workstation, seen on its connection: after
// the mail client let go of every object, only its logon and the store MAPI
// keeps open; after Logoff nothing.
TEST_F(Workstation, ReleasedObjectsLeaveOnlyTheSessionOnTheServer) {
  RpcRelay relay(g_server->port());
  ASSERT_NE(relay.port(), "");
  setenv("ZEL_RPC_ENDPOINT", relay.port().c_str(), 1);
  vantrel::win::TestChild peer({E2E_PEER_BIN});
  setenv("ZEL_RPC_ENDPOINT", g_server->port().c_str(), 1);
  ASSERT_EQ(peer.Ask("logon"), "ok");
  std::set<std::int32_t> logged_on = relay.Held();
  EXPECT_EQ(logged_on.size(), 2u) << "the logon and its store";

  ASSERT_EQ(peer.Ask("save Held first"), "ok");
  ASSERT_EQ(peer.Ask("save Held second"), "ok");
  ASSERT_EQ(peer.Ask("browse Held"), "ok");
  EXPECT_GT(relay.Requests(2), 10) << "objects were freed one by one";
  EXPECT_EQ(relay.Held(), logged_on);

  ASSERT_EQ(peer.Ask("logoff"), "ok");
  EXPECT_EQ(relay.Held(), std::set<std::int32_t>{});
  peer.WriteLine("quit");
  EXPECT_EQ(peer.Wait(), 0);
}

// A workstation killed mid-session: the server notices its connection end
// and gives up the session's connection (the session waits there to be
// taken over by its own address, or for the idle sweep); the others work on.
TEST_F(Workstation, KilledWorkstationsConnectionIsLetGo) {
  RpcRelay relay(g_server->port());
  ASSERT_NE(relay.port(), "");
  setenv("ZEL_RPC_ENDPOINT", relay.port().c_str(), 1);
  vantrel::win::TestChild peer({E2E_PEER_BIN});
  setenv("ZEL_RPC_ENDPOINT", g_server->port().c_str(), 1);
  ASSERT_EQ(peer.Ask("logon"), "ok");
  std::set<std::int32_t> held = relay.Held();
  ASSERT_FALSE(held.empty());
  std::int32_t session = *held.begin();  // the logon comes before its store
  peer.Kill();

  std::string log = g_server->dir() + "/home/zelServer.log";
  std::string wanted = "its sessions " + std::to_string(session) + " wait to be taken over";
  auto noted = [&] {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line))
      if (line.find(wanted) != std::string::npos) return true;
    return false;
  };
  EXPECT_TRUE(PumpUntil(noted, std::chrono::seconds(20))) << wanted;
  EXPECT_FALSE(Names(root_.get(), true).empty());
}

// The service configured by a person: ConfigureMsgService with
// SERVICE_UI_ALWAYS shows zelclient's connection dialog, driven here by
// control id on the thread that configures.
struct DialogConfiguration {
  ComPtr<IMsgServiceAdmin> services;
  MAPIUID service{};
};
DialogConfiguration* g_dialog = nullptr;
int ConfigureWithTheUser(vantrel::testsupport::Record*) {
  return g_dialog->services->ConfigureMsgService(&g_dialog->service, 0, SERVICE_UI_ALWAYS, 0, nullptr);
}

TEST(WorkstationSetup, TheServiceIsConfiguredThroughTheConnectionDialog) {
  using namespace vantrel::testsupport::dialog_ids;
  vantrel::testsupport::RecordBoxes();
  const char* profile = "configured by hand";
  ComPtr<IProfAdmin> admin;
  ASSERT_EQ(MAPIAdminProfiles(0, admin.Out()), S_OK);
  admin->DeleteProfile(const_cast<LPSTR>(profile), 0);
  ASSERT_EQ(admin->CreateProfile(const_cast<LPSTR>(profile), nullptr, 0, 0), S_OK);
  DialogConfiguration config;
  g_dialog = &config;
  ASSERT_EQ(admin->AdminServices(const_cast<LPSTR>(profile), nullptr, 0, 0, config.services.Out()), S_OK);
  ASSERT_EQ(config.services->CreateMsgService(const_cast<LPSTR>("MSZLF"), nullptr, 0, 0), S_OK);
  ASSERT_EQ(FindService(config.services.get(), "MSZLF", &config.service), S_OK);
  vantrel::testsupport::Record unused{};
  {
    vantrel::testsupport::DialogRun run(ConfigureWithTheUser, &unused);
    ASSERT_NE(run.dialog(), nullptr);
    run.Type(kComputer, "127.0.0.1");
    run.Type(kLogin, ServerMachine::kUser);
    run.Type(kPassword, ServerMachine::kPassword);
    run.Click(kConnect);
    const vantrel::win::TreeNode* mailbox = run.Node(ServerMachine::kProfile);
    ASSERT_NE(mailbox, nullptr);
    SendMessage(run.Item(kTree), vantrel::win::ZM_FE_EXPAND, 0, static_cast<LPARAM>(mailbox->handle));
    const vantrel::win::TreeNode* store = run.Node(ServerMachine::kStore);
    ASSERT_NE(store, nullptr);
    SendMessage(run.Item(kTree), vantrel::win::ZM_FE_TVSELECT, 0, static_cast<LPARAM>(store->handle));
    run.Click(IDOK);
    EXPECT_EQ(run.Finish(), S_OK);
  }
  // Cancel leaves the configuration as it was; the dialog opens with it.
  {
    vantrel::testsupport::DialogRun run(ConfigureWithTheUser, &unused);
    ASSERT_NE(run.dialog(), nullptr);
    EXPECT_EQ(run.Text(kConnection), "127.0.0.1(mailbox_jsmith)(Mailbox - John Smith)");
    EXPECT_EQ(run.Text(kLogin), ServerMachine::kUser);
    run.Click(IDCANCEL);
    EXPECT_EQ(run.Finish(), MAPI_E_USER_CANCEL);
  }
  ComPtr<IMAPISession> session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>(profile), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED, session.Out()), S_OK);
  ComPtr<IMsgStore> store;
  ASSERT_EQ(OpenWorkstationStore(session.get(), vantrel::mszlf::kMszlfProviderUid, store.Out()), S_OK);
  EXPECT_TRUE(Subtree(store.get()));
  store.Reset();
  session->Logoff(0, 0, 0);
  g_dialog = nullptr;
  EXPECT_EQ(vantrel::testsupport::Boxes(), std::vector<std::string>{});
}

// A wrong password in the profile: the store does not open and the
// server's answer comes back; once the service is configured right, the
// same session opens it.
TEST(WorkstationSetup, AWrongPasswordIsTheServersAnswerUntilReconfigured) {
  const char* profile = "wrong password";
  ComPtr<IProfAdmin> admin;
  ASSERT_EQ(MAPIAdminProfiles(0, admin.Out()), S_OK);
  admin->DeleteProfile(const_cast<LPSTR>(profile), 0);
  ASSERT_EQ(admin->CreateProfile(const_cast<LPSTR>(profile), nullptr, 0, 0), S_OK);
  ComPtr<IMsgServiceAdmin> services;
  ASSERT_EQ(admin->AdminServices(const_cast<LPSTR>(profile), nullptr, 0, 0, services.Out()), S_OK);
  ASSERT_EQ(services->CreateMsgService(const_cast<LPSTR>("MSZLF"), nullptr, 0, 0), S_OK);
  MAPIUID uid;
  ASSERT_EQ(FindService(services.get(), "MSZLF", &uid), S_OK);
  auto configure = [&](const char* password) {
    const std::pair<ULONG, const char*> settings[5] = {{vantrel::mszlf::PR_ZLF_SERVER, "127.0.0.1"},
                                                       {vantrel::mszlf::PR_ZLF_PROFILE, ServerMachine::kProfile},
                                                       {vantrel::mszlf::PR_ZLF_STORE, ServerMachine::kStore},
                                                       {vantrel::mszlf::PR_ZLF_LOGIN, ServerMachine::kUser},
                                                       {vantrel::mszlf::PR_ZLF_PASSWORD, password}};
    SPropValue props[5] = {};
    for (int i = 0; i < 5; ++i) {
      props[i].ulPropTag = settings[i].first;
      props[i].Value.lpszA = const_cast<LPSTR>(settings[i].second);
    }
    return services->ConfigureMsgService(&uid, 0, 0, 5, props);
  };
  ASSERT_EQ(configure("not the password"), S_OK);
  ComPtr<IMAPISession> session;
  ASSERT_EQ(MAPILogonEx(0, const_cast<LPSTR>(profile), nullptr, MAPI_NEW_SESSION | MAPI_EXTENDED, session.Out()), S_OK);
  ComPtr<IMsgStore> store;
  EXPECT_EQ(OpenWorkstationStore(session.get(), vantrel::mszlf::kMszlfProviderUid, store.Out()),
            MAPI_E_INVALID_WORKSTATION_ACCOUNT);
  EXPECT_FALSE(store);

  ASSERT_EQ(configure(ServerMachine::kPassword), S_OK);
  ASSERT_EQ(OpenWorkstationStore(session.get(), vantrel::mszlf::kMszlfProviderUid, store.Out()), S_OK);
  EXPECT_EQ(Text(store.get(), PR_DISPLAY_NAME), ServerMachine::kStore);
  store.Reset();
  session->Logoff(0, 0, 0);
}

}  // namespace
