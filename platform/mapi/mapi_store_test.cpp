#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <chrono>
#include <mutex>
#include <thread>
#include <tuple>

#include <sqlite3.h>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PstStore.h"
#include "platform/mapi/TableData.h"

using vantrel::ComPtr;

namespace {

std::string TmpPath(const std::string& name) {
  const char* d = std::getenv("VANTREL_TEST_TMPDIR");
  std::string dir = d ? d : "/tmp";
  std::filesystem::create_directories(dir);
  std::string p = dir + "/" + name;
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(p + suffix);
  return p;
}

ComPtr<IMsgStore> Open(const std::string& path) {
  ComPtr<IMsgStore> s;
  EXPECT_EQ(OpenPstStore(path, "Personal Folders", MDB_WRITE, s.Out()), S_OK);
  return s;
}

std::vector<BYTE> Bin(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  std::vector<BYTE> out;
  if (HrGetOneProp(obj, tag, &v) == S_OK) out.assign(v->Value.bin.lpb, v->Value.bin.lpb + v->Value.bin.cb);
  MAPIFreeBuffer(v);
  return out;
}

LONG Long(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  LONG out = -1;
  if (HrGetOneProp(obj, tag, &v) == S_OK) out = v->Value.l;
  MAPIFreeBuffer(v);
  return out;
}

bool Bool(IMAPIProp* obj, ULONG tag) {
  LPSPropValue v = nullptr;
  bool out = false;
  if (HrGetOneProp(obj, tag, &v) == S_OK) out = v->Value.b != 0;
  MAPIFreeBuffer(v);
  return out;
}

template <typename T>
ComPtr<T> OpenAs(IMsgStore* store, const std::vector<BYTE>& eid, ULONG flags = MAPI_MODIFY) {
  ULONG type = 0;
  ComPtr<IUnknown> unk;
  EXPECT_EQ(store->OpenEntry(static_cast<ULONG>(eid.size()), eid.empty() ? nullptr : (LPENTRYID)eid.data(), nullptr,
                             flags, &type, unk.Out()),
            S_OK);
  return ComPtr<T>::Adopt(static_cast<T*>(unk.Detach()));
}

ComPtr<IMAPIFolder> Subtree(IMsgStore* store) {
  return OpenAs<IMAPIFolder>(store, Bin(store, PR_IPM_SUBTREE_ENTRYID));
}

ComPtr<IMAPIFolder> Child(IMAPIFolder* parent, const char* name) {
  ComPtr<IMAPIFolder> f;
  EXPECT_EQ(parent->CreateFolder(FOLDER_GENERIC, const_cast<char*>(name), nullptr, nullptr, OPEN_IF_EXISTS, f.Out()),
            S_OK);
  return f;
}

void SetString(IMAPIProp* obj, ULONG tag, const char* s) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.lpszA = const_cast<char*>(s);
  ASSERT_EQ(obj->SetProps(1, &v, nullptr), S_OK);
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TmpPath(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".pst");
    store_ = Open(path_);
  }
  std::string path_;
  ComPtr<IMsgStore> store_;
};

TEST_F(StoreTest, EntryIDsCarryTheStoreUid) {
  std::vector<BYTE> sub = Bin(store_.get(), PR_IPM_SUBTREE_ENTRYID);
  std::vector<BYTE> key = Bin(store_.get(), PR_STORE_RECORD_KEY);
  ASSERT_EQ(key.size(), 16u);
  ASSERT_GE(sub.size(), 20u);
  EXPECT_TRUE(std::equal(key.begin(), key.end(), sub.begin() + 4));

  std::vector<BYTE> eid;
  ASSERT_EQ(PstStoreEntryID(path_, eid), S_OK);
  EXPECT_EQ(Bin(store_.get(), PR_ENTRYID), eid);

  auto folder = Subtree(store_.get());
  EXPECT_EQ(Bin(folder.get(), PR_ENTRYID), sub);
  // Flag bytes do not change which object an entry ID names.
  std::vector<BYTE> flagged = sub;
  flagged[0] = 0x80;
  struct Case {
    std::vector<BYTE> a, b;
    HRESULT hr;
    ULONG same;
  } cases[] = {{sub, flagged, S_OK, 1},
               {sub, Bin(store_.get(), PR_IPM_OUTBOX_ENTRYID), S_OK, 0},
               {eid, eid, S_OK, 1},
               {sub, std::vector<BYTE>(28, 7), MAPI_E_UNKNOWN_ENTRYID, 0},
               {sub, std::vector<BYTE>(3, 0), MAPI_E_UNKNOWN_ENTRYID, 0}};
  for (auto& c : cases) {
    ULONG r = 99;
    EXPECT_EQ(store_->CompareEntryIDs(static_cast<ULONG>(c.a.size()), (LPENTRYID)c.a.data(),
                                      static_cast<ULONG>(c.b.size()), (LPENTRYID)c.b.data(), 0, &r),
              c.hr);
    if (c.hr == S_OK) {
      EXPECT_EQ(r, c.same);
    }
  }
  ULONG type;
  ComPtr<IUnknown> unk;
  std::vector<BYTE> bogus(28, 7);
  EXPECT_EQ(store_->OpenEntry(28, (LPENTRYID)bogus.data(), nullptr, 0, &type, unk.Out()), MAPI_E_INVALID_ENTRYID);
  std::vector<BYTE> gone = sub;
  gone[20] = 0x77;
  EXPECT_EQ(store_->OpenEntry(28, (LPENTRYID)gone.data(), nullptr, 0, &type, unk.Out()), MAPI_E_NOT_FOUND);

  // The same file opened again is the same store.
  auto again = Open(path_);
  EXPECT_EQ(Bin(again.get(), PR_STORE_RECORD_KEY), key);
}

TEST_F(StoreTest, GetPropsConversionsAndErrors) {
  auto folder = Subtree(store_.get());
  ComPtr<IMessage> msg;
  ASSERT_EQ(folder->CreateMessage(nullptr, 0, msg.Out()), S_OK);
  SetString(msg.get(), PR_SUBJECT, "caf\xe9");  // Windows-1252
  SPropValue w{};
  w.ulPropTag = CHANGE_PROP_TYPE(PR_BODY, PT_UNICODE);
  w.Value.lpszW = const_cast<LPWSTR>(u"\u20ac 5");
  ASSERT_EQ(msg->SetProps(1, &w, nullptr), S_OK);

  SizedSPropTagArray<6> tags{
      6,
      {PR_SUBJECT, CHANGE_PROP_TYPE(PR_SUBJECT, PT_UNICODE), PR_BODY, CHANGE_PROP_TYPE(PR_SUBJECT, PT_UNSPECIFIED),
       PR_COMMENT, CHANGE_PROP_TYPE(PR_SUBJECT, PT_LONG)}};
  struct Case {
    ULONG flags;
    ULONG unspecified_type;
  } cases[] = {{0, PT_STRING8}, {MAPI_UNICODE, PT_UNICODE}};
  for (const auto& c : cases) {
    ULONG n = 0;
    LPSPropValue v = nullptr;
    ASSERT_EQ(msg->GetProps(tags.get(), c.flags, &n, &v), MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(n, 6u);
    EXPECT_STREQ(v[0].Value.lpszA, "caf\xe9");
    EXPECT_EQ(std::u16string(v[1].Value.lpszW), u"caf\u00e9");
    EXPECT_STREQ(v[2].Value.lpszA, "\x80 5");  // the euro sign through the ANSI code page
    EXPECT_EQ(PROP_TYPE(v[3].ulPropTag), c.unspecified_type);
    EXPECT_EQ(v[4].ulPropTag, CHANGE_PROP_TYPE(PR_COMMENT, PT_ERROR));
    EXPECT_EQ(v[4].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(PROP_TYPE(v[5].ulPropTag), PT_ERROR);
    MAPIFreeBuffer(v);
  }

  // Computed and invalid values come back as problems, the rest is set.
  SPropValue set[3] = {};
  set[0].ulPropTag = PR_ENTRYID;
  set[1].ulPropTag = CHANGE_PROP_TYPE(PR_SUBJECT, PT_ERROR);
  set[2].ulPropTag = PR_MESSAGE_CLASS;
  set[2].Value.lpszA = const_cast<char*>("IPM.Note");
  LPSPropProblemArray probs = nullptr;
  ASSERT_EQ(msg->SetProps(3, set, &probs), S_OK);
  ASSERT_NE(probs, nullptr);
  ASSERT_EQ(probs->cProblem, 2u);
  EXPECT_EQ(probs->aProblem[0].ulIndex, 0u);
  EXPECT_EQ(probs->aProblem[0].scode, MAPI_E_COMPUTED);
  EXPECT_EQ(probs->aProblem[1].scode, MAPI_E_INVALID_TYPE);
  MAPIFreeBuffer(probs);

  SizedSPropTagArray<2> del{2, {PR_OBJECT_TYPE, PR_SUBJECT}};
  ASSERT_EQ(msg->DeleteProps(del.get(), &probs), S_OK);
  ASSERT_NE(probs, nullptr);
  EXPECT_EQ(probs->cProblem, 1u);
  MAPIFreeBuffer(probs);
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(msg.get(), PR_SUBJECT, &v), MAPI_E_NOT_FOUND);
  EXPECT_EQ(Long(msg.get(), PR_OBJECT_TYPE), static_cast<LONG>(MAPI_MESSAGE));

  // GetPropList reports string types by the width asked for.
  LPSPropTagArray list = nullptr;
  ASSERT_EQ(msg->GetPropList(0, &list), S_OK);
  bool body8 = false;
  for (ULONG i = 0; i < list->cValues; ++i) body8 |= list->aulPropTag[i] == PR_BODY;
  EXPECT_TRUE(body8);
  MAPIFreeBuffer(list);
  EXPECT_EQ(msg->GetProps(nullptr, 0x4, &list->cValues, &v), MAPI_E_UNKNOWN_FLAGS);
}

TEST_F(StoreTest, NamedPropertiesFrom0x8000PerStore) {
  GUID set = vantrel::NewGuid();
  MAPINAMEID a{&set, MNID_ID, {}}, b{&set, MNID_STRING, {}};
  a.Kind.lID = 0x8233;
  b.Kind.lpwstrName = const_cast<LPWSTR>(u"Keywords");
  LPMAPINAMEID names[] = {&a, &b};
  LPSPropTagArray tags = nullptr;
  ASSERT_EQ(store_->GetIDsFromNames(2, names, 0, &tags), MAPI_W_ERRORS_RETURNED);
  EXPECT_EQ(tags->aulPropTag[0], PROP_TAG(PT_ERROR, 0));
  MAPIFreeBuffer(tags);
  ASSERT_EQ(store_->GetIDsFromNames(2, names, MAPI_CREATE, &tags), S_OK);
  EXPECT_EQ(PROP_ID(tags->aulPropTag[0]), 0x8000u);
  EXPECT_EQ(PROP_ID(tags->aulPropTag[1]), 0x8001u);
  ULONG id_b = PROP_ID(tags->aulPropTag[1]);
  MAPIFreeBuffer(tags);

  // Any object of the store maps the same names; another store has its own.
  auto folder = Subtree(store_.get());
  LPMAPINAMEID only_b[] = {&b};
  ASSERT_EQ(folder->GetIDsFromNames(1, only_b, 0, &tags), S_OK);
  EXPECT_EQ(PROP_ID(tags->aulPropTag[0]), id_b);
  MAPIFreeBuffer(tags);
  auto other = Open(TmpPath("other_named.pst"));
  ASSERT_EQ(other->GetIDsFromNames(1, only_b, MAPI_CREATE, &tags), S_OK);
  EXPECT_EQ(PROP_ID(tags->aulPropTag[0]), 0x8000u);
  MAPIFreeBuffer(tags);

  LPSPropTagArray ask = nullptr;
  MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(2)), (void**)&ask);
  ask->cValues = 2;
  ask->aulPropTag[0] = PROP_TAG(PT_LONG, id_b);
  ask->aulPropTag[1] = PROP_TAG(PT_LONG, 0x9999);
  ULONG n = 0;
  LPMAPINAMEID* got = nullptr;
  ASSERT_EQ(store_->GetNamesFromIDs(&ask, nullptr, 0, &n, &got), MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(n, 2u);
  ASSERT_NE(got[0], nullptr);
  EXPECT_EQ(got[0]->ulKind, MNID_STRING);
  EXPECT_EQ(std::u16string(got[0]->Kind.lpwstrName), u"Keywords");
  EXPECT_EQ(*got[0]->lpguid, set);
  EXPECT_EQ(got[1], nullptr);
  MAPIFreeBuffer(got);
  MAPIFreeBuffer(ask);
}

TEST_F(StoreTest, FolderOperationsAndTheirErrors) {
  auto top = Subtree(store_.get());
  ComPtr<IMAPIFolder> a;
  ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, const_cast<char*>("A"), const_cast<char*>("c"), nullptr, 0, a.Out()),
            S_OK);
  ComPtr<IMAPIFolder> dup;
  EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, const_cast<char*>("A"), nullptr, nullptr, 0, dup.Out()),
            MAPI_E_COLLISION);
  ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, const_cast<char*>("A"), nullptr, nullptr, OPEN_IF_EXISTS, dup.Out()),
            S_OK);
  EXPECT_EQ(Bin(dup.get(), PR_ENTRYID), Bin(a.get(), PR_ENTRYID));
  EXPECT_EQ(top->CreateFolder(FOLDER_ROOT, const_cast<char*>("R"), nullptr, nullptr, 0, dup.Out()),
            MAPI_E_INVALID_PARAMETER);

  auto b = Child(a.get(), "B");
  ComPtr<IMessage> m;
  ASSERT_EQ(a->CreateMessage(nullptr, 0, m.Out()), S_OK);
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  EXPECT_EQ(Long(a.get(), PR_CONTENT_COUNT), 1);
  EXPECT_EQ(Long(a.get(), PR_CONTENT_UNREAD), 1);

  std::vector<BYTE> aid = Bin(a.get(), PR_ENTRYID), bid = Bin(b.get(), PR_ENTRYID);
  struct Case {
    ULONG flags;
    HRESULT hr;
  } cases[] = {{0, MAPI_E_HAS_FOLDERS}, {DEL_FOLDERS, MAPI_E_HAS_MESSAGES}, {0x100, MAPI_E_UNKNOWN_FLAGS}};
  for (const auto& c : cases) EXPECT_EQ(top->DeleteFolder(28, (LPENTRYID)aid.data(), 0, nullptr, c.flags), c.hr);

  // A folder never moves below itself; a move renames on request.
  EXPECT_EQ(top->CopyFolder(28, (LPENTRYID)aid.data(), nullptr, b.get(), nullptr, 0, nullptr, FOLDER_MOVE),
            MAPI_E_FOLDER_CYCLE);
  auto c = Child(top.get(), "C");
  ASSERT_EQ(
      a->CopyFolder(28, (LPENTRYID)bid.data(), nullptr, c.get(), const_cast<char*>("B2"), 0, nullptr, FOLDER_MOVE),
      S_OK);
  EXPECT_FALSE(Bool(a.get(), PR_SUBFOLDERS));
  EXPECT_TRUE(Bool(c.get(), PR_SUBFOLDERS));
  ComPtr<IMAPIFolder> moved = OpenAs<IMAPIFolder>(store_.get(), bid);
  EXPECT_EQ(Bin(moved.get(), PR_PARENT_ENTRYID), Bin(c.get(), PR_ENTRYID));

  ASSERT_EQ(top->DeleteFolder(28, (LPENTRYID)aid.data(), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES), S_OK);
  ULONG type;
  ComPtr<IUnknown> unk;
  EXPECT_EQ(store_->OpenEntry(28, (LPENTRYID)aid.data(), nullptr, 0, &type, unk.Out()), MAPI_E_NOT_FOUND);
  std::vector<BYTE> inbox_parent = Bin(top.get(), PR_ENTRYID);
  EXPECT_EQ(top->DeleteFolder(28, (LPENTRYID)inbox_parent.data(), 0, nullptr, 0), MAPI_E_NO_ACCESS);
}

TEST_F(StoreTest, MessagesAreTransacted) {
  auto f = Child(Subtree(store_.get()).get(), "T");
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SetString(m.get(), PR_SUBJECT, "first");
  EXPECT_EQ(Long(f.get(), PR_CONTENT_COUNT), 0);  // not saved yet
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  SetString(m.get(), PR_SUBJECT, "second");
  std::vector<BYTE> eid = Bin(m.get(), PR_ENTRYID);

  // A second opening sees only what was saved.
  auto other = OpenAs<IMessage>(store_.get(), eid);
  LPSPropValue v = nullptr;
  ASSERT_EQ(HrGetOneProp(other.get(), PR_SUBJECT, &v), S_OK);
  EXPECT_STREQ(v->Value.lpszA, "first");
  MAPIFreeBuffer(v);
  EXPECT_TRUE(Long(other.get(), PR_MESSAGE_FLAGS) & MSGFLAG_UNSENT);

  // Read flags reach the stored message without SaveChanges.
  ASSERT_EQ(other->SetReadFlag(0), S_OK);
  EXPECT_EQ(Long(f.get(), PR_CONTENT_UNREAD), 0);
  ASSERT_EQ(f->SetReadFlags(nullptr, 0, nullptr, CLEAR_READ_FLAG), S_OK);
  EXPECT_EQ(Long(f.get(), PR_CONTENT_UNREAD), 1);
  EXPECT_EQ(other->SetReadFlag(CLEAR_READ_FLAG | SUPPRESS_RECEIPT), MAPI_E_INVALID_PARAMETER);

  ULONG old = 0, status = 0;
  ASSERT_EQ(f->SetMessageStatus(28, (LPENTRYID)eid.data(), 0x1000, 0x1000, &old), S_OK);
  EXPECT_EQ(old, 0u);
  ASSERT_EQ(f->GetMessageStatus(28, (LPENTRYID)eid.data(), 0, &status), S_OK);
  EXPECT_EQ(status, 0x1000u);

  // A message deleted under an open copy cannot be saved back.
  ENTRYLIST list{1, nullptr};
  SBinary bin{28, eid.data()};
  list.lpbin = &bin;
  ASSERT_EQ(f->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  EXPECT_EQ(m->SaveChanges(0), MAPI_E_OBJECT_DELETED);
  EXPECT_EQ(f->DeleteMessages(&list, 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);
  EXPECT_EQ(f->GetMessageStatus(28, (LPENTRYID)eid.data(), 0, &status), MAPI_E_NOT_FOUND);

  // Submitting needs recipients and marks the message submitted.
  ComPtr<IMessage> s;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, s.Out()), S_OK);
  EXPECT_EQ(s->SubmitMessage(0), MAPI_E_NO_RECIPIENTS);
  SPropValue rp[2] = {};
  rp[0].ulPropTag = PR_DISPLAY_NAME;
  rp[0].Value.lpszA = const_cast<char*>("Ann");
  rp[1].ulPropTag = PR_RECIPIENT_TYPE;
  rp[1].Value.l = MAPI_TO;
  ADRLIST adr{1, {{0, 2, rp}}};
  ASSERT_EQ(s->ModifyRecipients(0, &adr), S_OK);
  ASSERT_EQ(s->SubmitMessage(0), S_OK);
  std::vector<BYTE> sid = Bin(s.get(), PR_ENTRYID);
  EXPECT_TRUE(Long(OpenAs<IMessage>(store_.get(), sid).get(), PR_MESSAGE_FLAGS) & MSGFLAG_SUBMIT);
  ASSERT_EQ(store_->AbortSubmit(28, (LPENTRYID)sid.data(), 0), S_OK);
  EXPECT_EQ(store_->AbortSubmit(28, (LPENTRYID)sid.data(), 0), MAPI_E_NOT_IN_QUEUE);
}

TEST_F(StoreTest, AttachmentMethodsAndRecipients) {
  auto f = Child(Subtree(store_.get()).get(), "Att");
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);

  // By value through a stream, by reference as a path, OLE as a storage.
  ULONG n0, n1, n2;
  ComPtr<IAttach> a0, a1, a2;
  ASSERT_EQ(m->CreateAttach(nullptr, 0, &n0, a0.Out()), S_OK);
  ASSERT_EQ(m->CreateAttach(nullptr, 0, &n1, a1.Out()), S_OK);
  ASSERT_EQ(m->CreateAttach(nullptr, 0, &n2, a2.Out()), S_OK);
  EXPECT_EQ(n0, 0u);
  EXPECT_EQ(n2, 2u);
  SPropValue meth{};
  meth.ulPropTag = PR_ATTACH_METHOD;
  meth.Value.l = ATTACH_BY_VALUE;
  ASSERT_EQ(a0->SetProps(1, &meth, nullptr), S_OK);
  ComPtr<IUnknown> unk;
  ASSERT_EQ(a0->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unk.Out()), S_OK);
  auto* stream = static_cast<IStream*>(unk.get());
  std::string data(200000, 'q');
  ASSERT_EQ(stream->Write(data.data(), static_cast<ULONG>(data.size()), nullptr), S_OK);
  ASSERT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(a0->SaveChanges(0), S_OK);

  meth.Value.l = ATTACH_BY_REFERENCE;
  ASSERT_EQ(a1->SetProps(1, &meth, nullptr), S_OK);
  SetString(a1.get(), PR_ATTACH_PATHNAME, "/srv/share/plan.txt");
  ASSERT_EQ(a1->SaveChanges(0), S_OK);

  meth.Value.l = ATTACH_OLE;
  ASSERT_EQ(a2->SetProps(1, &meth, nullptr), S_OK);
  ASSERT_EQ(a2->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IStorage, 0, MAPI_CREATE | MAPI_MODIFY, unk.Out()), S_OK);
  auto* stg = static_cast<IStorage*>(unk.get());
  ComPtr<IStream> contents;
  ASSERT_EQ(stg->CreateStream(u"CONTENTS", STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, contents.Out()), S_OK);
  ASSERT_EQ(contents->Write("ole!", 4, nullptr), S_OK);
  ASSERT_EQ(stg->Commit(STGC_DEFAULT), S_OK);
  ASSERT_EQ(a2->SaveChanges(0), S_OK);
  unk.Reset();

  SPropValue rp[3] = {};
  rp[0].ulPropTag = PR_DISPLAY_NAME;
  rp[0].Value.lpszA = const_cast<char*>("Ann");
  rp[1].ulPropTag = PR_DISPLAY_NAME;
  rp[1].Value.lpszA = const_cast<char*>("Bob");
  ADRLIST* adr = nullptr;
  MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(2)), (void**)&adr);
  adr->cEntries = 2;
  adr->aEntries[0] = {0, 1, &rp[0]};
  adr->aEntries[1] = {0, 1, &rp[1]};
  ASSERT_EQ(m->ModifyRecipients(MODRECIP_ADD, adr), S_OK);
  rp[2].ulPropTag = PR_ROWID;
  rp[2].Value.l = 5;
  adr->cEntries = 1;
  adr->aEntries[0] = {0, 1, &rp[2]};
  EXPECT_EQ(m->ModifyRecipients(MODRECIP_REMOVE, adr), MAPI_E_NOT_FOUND);
  rp[2].Value.l = 0;
  ASSERT_EQ(m->ModifyRecipients(MODRECIP_REMOVE, adr), S_OK);
  MAPIFreeBuffer(adr);
  ASSERT_EQ(m->DeleteAttach(n1, 0, nullptr, 0), S_OK);
  EXPECT_EQ(m->DeleteAttach(n1, 0, nullptr, 0), MAPI_E_NOT_FOUND);
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  std::vector<BYTE> eid = Bin(m.get(), PR_ENTRYID);

  // Everything is back after the store is opened again.
  store_.Reset();
  m.Reset();
  a0.Reset();
  a1.Reset();
  a2.Reset();
  f.Reset();
  store_ = Open(path_);
  auto again = OpenAs<IMessage>(store_.get(), eid, 0);
  EXPECT_TRUE(Long(again.get(), PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH);
  ComPtr<IAttach> r0, r2;
  ASSERT_EQ(again->OpenAttach(n0, nullptr, 0, r0.Out()), S_OK);
  EXPECT_EQ(again->OpenAttach(n1, nullptr, 0, r2.Out()), MAPI_E_NOT_FOUND);
  ASSERT_EQ(r0->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unk.Out()), S_OK);
  STATSTG st;
  ASSERT_EQ(static_cast<IStream*>(unk.get())->Stat(&st, STATFLAG_NONAME), S_OK);
  EXPECT_EQ(st.cbSize.QuadPart, data.size());
  EXPECT_EQ(static_cast<IStream*>(unk.get())->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
  ASSERT_EQ(again->OpenAttach(n2, nullptr, 0, r2.Out()), S_OK);
  ASSERT_EQ(r2->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IStorage, 0, 0, unk.Out()), S_OK);
  ComPtr<IStream> c2;
  ASSERT_EQ(static_cast<IStorage*>(unk.get())->OpenStream(u"CONTENTS", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                                          c2.Out()),
            S_OK);
  char buf[8];
  ULONG got = 0;
  ASSERT_EQ(c2->Read(buf, 8, &got), S_OK);
  EXPECT_EQ(std::string(buf, got), "ole!");
  EXPECT_EQ(r0->OpenProperty(PR_BODY, &IID_IStream, 0, 0, unk.Out()), MAPI_E_NOT_FOUND);
}

TEST_F(StoreTest, ReceiveFoldersUseTheLongestPrefix) {
  auto top = Subtree(store_.get());
  auto notes = Child(top.get(), "Notes");
  auto reports = Child(top.get(), "Reports");
  std::vector<BYTE> n = Bin(notes.get(), PR_ENTRYID), r = Bin(reports.get(), PR_ENTRYID);
  ASSERT_EQ(store_->SetReceiveFolder(const_cast<char*>("IPM.Note"), 0, 28, (LPENTRYID)n.data()), S_OK);
  ASSERT_EQ(store_->SetReceiveFolder(const_cast<char*>("IPM.Note.Report"), 0, 28, (LPENTRYID)r.data()), S_OK);
  struct Case {
    const char* cls;
    const char* explicit_cls;
    std::vector<BYTE>* folder;  // null: the inbox
  } cases[] = {{"IPM.Note", "IPM.Note", &n},
               {"ipm.note.other", "IPM.Note", &n},
               {"IPM.Note.Report.X", "IPM.Note.Report", &r},
               {"IPM.Notex", "IPM", nullptr},
               {"IPX", "", nullptr},
               {"", "", nullptr}};
  for (const auto& c : cases) {
    ULONG cb = 0;
    LPENTRYID eid = nullptr;
    LPSTR got = nullptr;
    ASSERT_EQ(store_->GetReceiveFolder(const_cast<char*>(c.cls), 0, &cb, &eid, &got), S_OK) << c.cls;
    EXPECT_STREQ(got, c.explicit_cls) << c.cls;
    if (c.folder) {
      EXPECT_EQ(std::vector<BYTE>((BYTE*)eid, (BYTE*)eid + cb), *c.folder) << c.cls;
    }
    MAPIFreeBuffer(eid);
    MAPIFreeBuffer(got);
  }
  ASSERT_EQ(store_->SetReceiveFolder(const_cast<char*>("IPM.Note"), 0, 0, nullptr), S_OK);
  EXPECT_EQ(store_->SetReceiveFolder(nullptr, 0, 0, nullptr), MAPI_E_CALL_FAILED);
  std::vector<BYTE> bogus(28, 1);
  EXPECT_EQ(store_->SetReceiveFolder(const_cast<char*>("X"), 0, 28, (LPENTRYID)bogus.data()), MAPI_E_INVALID_ENTRYID);
}

TEST_F(StoreTest, CopyAndMoveMessagesAcrossStores) {
  auto src = Child(Subtree(store_.get()).get(), "Src");
  ComPtr<IMessage> m;
  ASSERT_EQ(src->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SetString(m.get(), PR_SUBJECT, "travels");
  ULONG num;
  ComPtr<IAttach> a;
  ASSERT_EQ(m->CreateAttach(nullptr, 0, &num, a.Out()), S_OK);
  SetString(a.get(), PR_ATTACH_FILENAME, "x.txt");
  ASSERT_EQ(a->SaveChanges(0), S_OK);
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  std::vector<BYTE> eid = Bin(m.get(), PR_ENTRYID);
  SBinary bin{28, eid.data()};
  ENTRYLIST list{1, &bin};

  auto same = Child(Subtree(store_.get()).get(), "Dst");
  ASSERT_EQ(src->CopyMessages(&list, nullptr, same.get(), 0, nullptr, 0), S_OK);
  EXPECT_EQ(Long(same.get(), PR_CONTENT_COUNT), 1);
  EXPECT_EQ(Long(src.get(), PR_CONTENT_COUNT), 1);

  auto other = Open(TmpPath("other_copy.pst"));
  auto far = Child(Subtree(other.get()).get(), "Far");
  ASSERT_EQ(src->CopyMessages(&list, nullptr, far.get(), 0, nullptr, MAPI_MOVE), S_OK);
  EXPECT_EQ(Long(src.get(), PR_CONTENT_COUNT), 0);
  EXPECT_EQ(Long(far.get(), PR_CONTENT_COUNT), 1);
  EXPECT_EQ(src->CopyMessages(&list, nullptr, far.get(), 0, nullptr, 0), MAPI_W_PARTIAL_COMPLETION);

  // Folders copy with or without their subfolders, into this store or another.
  auto top = Subtree(store_.get());
  auto deep = Child(same.get(), "Deep");
  std::vector<BYTE> same_eid = Bin(same.get(), PR_ENTRYID);
  EXPECT_EQ(top->CopyFolder(28, (LPENTRYID)same_eid.data(), nullptr, deep.get(), nullptr, 0, nullptr, 0),
            MAPI_E_FOLDER_CYCLE);
  EXPECT_EQ(top->CopyFolder(28, (LPENTRYID)same_eid.data(), nullptr, top.get(), nullptr, 0, nullptr, 0),
            MAPI_E_COLLISION);
  struct Case {
    ULONG flags;
    const char* name;
    bool has_sub;
  } cases[] = {{0, "Flat", false}, {COPY_SUBFOLDERS, "Full", true}};
  for (const auto& c : cases) {
    ASSERT_EQ(top->CopyFolder(28, (LPENTRYID)same_eid.data(), nullptr, far.get(), const_cast<char*>(c.name), 0, nullptr,
                              c.flags),
              S_OK);
    auto copy = Child(far.get(), c.name);
    EXPECT_EQ(Long(copy.get(), PR_CONTENT_COUNT), 1) << c.name;
    EXPECT_EQ(Bool(copy.get(), PR_SUBFOLDERS), c.has_sub) << c.name;
  }
  EXPECT_TRUE(Bool(same.get(), PR_SUBFOLDERS));  // copies leave the source alone
}

TEST_F(StoreTest, ManyThreadsOnOneStore) {
  auto f = Child(Subtree(store_.get()).get(), "Threads");
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        ComPtr<IMessage> m;
        if (f->CreateMessage(nullptr, 0, m.Out()) != S_OK) ++failures;
        SPropValue v{};
        v.ulPropTag = PR_IMPORTANCE;
        v.Value.l = t;
        if (m->SetProps(1, &v, nullptr) != S_OK || m->SaveChanges(0) != S_OK) ++failures;
        if (Long(m.get(), PR_IMPORTANCE) != t) ++failures;
        Long(f.get(), PR_CONTENT_COUNT);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Long(f.get(), PR_CONTENT_COUNT), 200);
}

// A child saves messages in a loop and is killed at random moments; every
// message the child reported saved is in the store and whole.
TEST(StoreDurability, SurvivesKill9) {
  std::string path = TmpPath("kill9.pst");
  std::string log = path + ".log";
  std::filesystem::remove(log);
  std::mt19937 rng(12345);
  for (int round = 0; round < 4; ++round) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ComPtr<IMsgStore> s;
      if (OpenPstStore(path, "K", MDB_WRITE, s.Out()) != S_OK) _exit(2);
      auto f = Subtree(s.get());
      FILE* out = fopen(log.c_str(), "a");
      for (int i = 0;; ++i) {
        ComPtr<IMessage> m;
        f->CreateMessage(nullptr, 0, m.Out());
        SPropValue v[3] = {};
        v[0].ulPropTag = PR_IMPORTANCE;
        v[0].Value.l = i;
        v[1].ulPropTag = PR_PRIORITY;
        v[1].Value.l = i;
        v[2].ulPropTag = PR_SENSITIVITY;
        v[2].Value.l = i;
        m->SetProps(3, v, nullptr);
        if (m->SaveChanges(0) != S_OK) _exit(3);
        auto eid = Bin(m.get(), PR_ENTRYID);
        for (BYTE b : eid) fprintf(out, "%02x", b);
        fprintf(out, "\n");
        fflush(out);
      }
    }
    usleep(50000 + rng() % 150000);
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
  }
  auto s = Open(path);
  FILE* in = fopen(log.c_str(), "r");
  ASSERT_NE(in, nullptr);
  char line[128];
  int checked = 0;
  while (fgets(line, sizeof(line), in)) {
    if (std::strlen(line) != 57) continue;  // the line being written at the kill
    std::vector<BYTE> eid(28);
    for (int i = 0; i < 28; ++i) eid[i] = static_cast<BYTE>(std::stoi(std::string(line + 2 * i, 2), nullptr, 16));
    auto m = OpenAs<IMessage>(s.get(), eid, 0);
    ASSERT_TRUE(m);
    LONG a = Long(m.get(), PR_IMPORTANCE);
    EXPECT_EQ(Long(m.get(), PR_PRIORITY), a);
    EXPECT_EQ(Long(m.get(), PR_SENSITIVITY), a);
    ++checked;
  }
  fclose(in);
  EXPECT_GT(checked, 0);
  // No half-saved message: every message has all three values.
  auto f = Subtree(s.get());
  EXPECT_GE(Long(f.get(), PR_CONTENT_COUNT), checked);
}

}  // namespace

namespace {

// A large attachment moved through streams in 64 KiB pieces. The size in
// MiB comes from VANTREL_LARGE_STREAM_MB (default 8).
TEST(StoreLargeValues, AttachmentStreamInChunks) {
  const char* env = std::getenv("VANTREL_LARGE_STREAM_MB");
  const size_t total = size_t(env ? std::atoi(env) : 8) << 20;
  const ULONG chunk = 64 * 1024;
  std::string path = TmpPath("large.pst");
  std::vector<BYTE> eid;
  auto pattern = [](size_t off) { return static_cast<BYTE>((off * 131) >> 7); };
  {
    auto s = Open(path);
    auto f = Subtree(s.get());
    ComPtr<IMessage> m;
    ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
    ULONG num;
    ComPtr<IAttach> a;
    ASSERT_EQ(m->CreateAttach(nullptr, 0, &num, a.Out()), S_OK);
    ComPtr<IUnknown> unk;
    ASSERT_EQ(a->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unk.Out()), S_OK);
    auto* st = static_cast<IStream*>(unk.get());
    std::vector<BYTE> buf(chunk);
    for (size_t off = 0; off < total; off += chunk) {
      for (ULONG i = 0; i < chunk; ++i) buf[i] = pattern(off + i);
      ULONG put = 0;
      ASSERT_EQ(st->Write(buf.data(), chunk, &put), S_OK);
      ASSERT_EQ(put, chunk);
    }
    ASSERT_EQ(st->Commit(STGC_DEFAULT), S_OK);
    unk.Reset();
    ASSERT_EQ(a->SaveChanges(0), S_OK);
    ASSERT_EQ(m->SaveChanges(0), S_OK);
    eid = Bin(m.get(), PR_ENTRYID);
  }
  auto s = Open(path);
  auto m = OpenAs<IMessage>(s.get(), eid, 0);
  ComPtr<IAttach> a;
  ASSERT_EQ(m->OpenAttach(0, nullptr, 0, a.Out()), S_OK);
  // Too large for GetProps: the value is reported as needing a stream.
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(a.get(), PR_ATTACH_DATA_BIN, &v), MAPI_E_NOT_ENOUGH_MEMORY);
  ComPtr<IUnknown> unk;
  ASSERT_EQ(a->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unk.Out()), S_OK);
  auto* st = static_cast<IStream*>(unk.get());
  std::vector<BYTE> buf(chunk);
  size_t off = 0;
  for (;;) {
    ULONG got = 0;
    ASSERT_EQ(st->Read(buf.data(), chunk, &got), S_OK);
    if (!got) break;
    for (ULONG i = 0; i < got; ++i) ASSERT_EQ(buf[i], pattern(off + i)) << off + i;
    off += got;
  }
  EXPECT_EQ(off, total);
}

}  // namespace

namespace {

TEST(StoreEmbedded, MessageInsideAnAttachment) {
  std::string path = TmpPath("embedded.pst");
  std::vector<BYTE> eid;
  {
    auto s = Open(path);
    auto f = Subtree(s.get());
    ComPtr<IMessage> outer;
    ASSERT_EQ(f->CreateMessage(nullptr, 0, outer.Out()), S_OK);
    ULONG num;
    ComPtr<IAttach> a;
    ASSERT_EQ(outer->CreateAttach(nullptr, 0, &num, a.Out()), S_OK);
    SPropValue meth{};
    meth.ulPropTag = PR_ATTACH_METHOD;
    meth.Value.l = ATTACH_EMBEDDED_MSG;
    ASSERT_EQ(a->SetProps(1, &meth, nullptr), S_OK);
    ComPtr<IUnknown> unk;
    ASSERT_EQ(a->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY, unk.Out()), S_OK);
    auto* inner = static_cast<IMessage*>(unk.get());
    SetString(inner, PR_SUBJECT, "inner");
    ULONG inum;
    ComPtr<IAttach> ia;
    ASSERT_EQ(inner->CreateAttach(nullptr, 0, &inum, ia.Out()), S_OK);
    SetString(ia.get(), PR_ATTACH_FILENAME, "deep.txt");
    ASSERT_EQ(ia->SaveChanges(0), S_OK);
    LPSPropValue v = nullptr;
    EXPECT_EQ(HrGetOneProp(inner, PR_ENTRYID, &v), MAPI_E_NOT_FOUND);
    ASSERT_EQ(inner->SaveChanges(0), S_OK);
    unk.Reset();
    ia.Reset();
    ASSERT_EQ(a->SaveChanges(0), S_OK);
    ASSERT_EQ(outer->SaveChanges(0), S_OK);
    eid = Bin(outer.get(), PR_ENTRYID);
  }
  auto s = Open(path);
  auto outer = OpenAs<IMessage>(s.get(), eid, 0);
  ComPtr<IAttach> a;
  ASSERT_EQ(outer->OpenAttach(0, nullptr, 0, a.Out()), S_OK);
  LPSPropValue v = nullptr;
  EXPECT_EQ(HrGetOneProp(a.get(), PR_ATTACH_DATA_OBJ, &v), MAPI_E_NO_SUPPORT);
  ComPtr<IUnknown> unk;
  ASSERT_EQ(a->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, unk.Out()), S_OK);
  auto* inner = static_cast<IMessage*>(unk.get());
  ASSERT_EQ(HrGetOneProp(inner, PR_SUBJECT, &v), S_OK);
  EXPECT_STREQ(v->Value.lpszA, "inner");
  MAPIFreeBuffer(v);
  EXPECT_TRUE(Long(inner, PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH);
  ComPtr<IAttach> ia;
  ASSERT_EQ(inner->OpenAttach(0, nullptr, 0, ia.Out()), S_OK);
  ASSERT_EQ(HrGetOneProp(ia.get(), PR_ATTACH_FILENAME, &v), S_OK);
  EXPECT_STREQ(v->Value.lpszA, "deep.txt");
  MAPIFreeBuffer(v);
  EXPECT_EQ(inner->SaveChanges(0), MAPI_E_NO_ACCESS);  // opened read-only
}

}  // namespace

namespace {

TEST(StoreSearch, CriteriaAreKeptOnSearchFolders) {
  std::string path = TmpPath("search.pst");
  auto s = Open(path);
  auto top = Subtree(s.get());
  std::vector<BYTE> root_eid;
  {
    ULONG type;
    ComPtr<IUnknown> unk;
    ASSERT_EQ(s->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &type, unk.Out()), S_OK);
    root_eid = Bin(static_cast<IMAPIProp*>(static_cast<IMAPIFolder*>(unk.get())), PR_ENTRYID);
  }
  auto root = OpenAs<IMAPIFolder>(s.get(), root_eid);
  ComPtr<IMAPIFolder> sf;
  ASSERT_EQ(root->CreateFolder(FOLDER_SEARCH, const_cast<char*>("Urgent"), nullptr, nullptr, 0, sf.Out()), S_OK);
  LPSRestriction got = nullptr;
  LPENTRYLIST got_list = nullptr;
  ULONG state = 0;
  EXPECT_EQ(sf->GetSearchCriteria(0, &got, &got_list, &state), MAPI_E_NOT_INITIALIZED);
  EXPECT_EQ(top->SetSearchCriteria(nullptr, nullptr, 0), MAPI_E_NO_SUPPORT);  // not a search folder

  SPropValue subj{};
  subj.ulPropTag = PR_SUBJECT;
  subj.Value.lpszA = const_cast<char*>("urgent");
  SPropValue imp{};
  imp.ulPropTag = PR_IMPORTANCE;
  imp.Value.l = 2;
  SRestriction parts[2] = {};
  parts[0].rt = RES_CONTENT;
  parts[0].res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT, &subj};
  parts[1].rt = RES_PROPERTY;
  parts[1].res.resProperty = {RELOP_GE, PR_IMPORTANCE, &imp};
  SRestriction both{};
  both.rt = RES_OR;
  both.res.resOr = {2, parts};
  std::vector<BYTE> inbox = Bin(top.get(), PR_ENTRYID);
  SBinary one{28, inbox.data()};
  ENTRYLIST list{1, &one};
  EXPECT_EQ(sf->SetSearchCriteria(&both, nullptr, 0), MAPI_E_INVALID_PARAMETER);  // the first call needs both
  EXPECT_EQ(sf->SetSearchCriteria(&both, &list, STOP_SEARCH | RESTART_SEARCH), MAPI_E_INVALID_PARAMETER);
  ASSERT_EQ(sf->SetSearchCriteria(&both, &list, RECURSIVE_SEARCH), S_OK);
  ASSERT_EQ(sf->SetSearchCriteria(nullptr, nullptr, STOP_SEARCH), S_OK);  // keeps the criteria

  auto again = OpenAs<IMAPIFolder>(Open(path).get(), Bin(sf.get(), PR_ENTRYID));
  ASSERT_EQ(again->GetSearchCriteria(0, &got, &got_list, &state), S_OK);
  EXPECT_EQ(state, SEARCH_RECURSIVE);
  ASSERT_EQ(got->rt, RES_OR);
  ASSERT_EQ(got->res.resOr.cRes, 2u);
  EXPECT_EQ(got->res.resOr.lpRes[0].res.resContent.ulFuzzyLevel, FL_SUBSTRING | FL_IGNORECASE);
  EXPECT_STREQ(got->res.resOr.lpRes[0].res.resContent.lpProp->Value.lpszA, "urgent");
  EXPECT_EQ(got->res.resOr.lpRes[1].res.resProperty.lpProp->Value.l, 2);
  ASSERT_EQ(got_list->cValues, 1u);
  EXPECT_EQ(std::vector<BYTE>(got_list->lpbin[0].lpb, got_list->lpbin[0].lpb + 28), inbox);
  MAPIFreeBuffer(got);
  MAPIFreeBuffer(got_list);
  // The private values never show among the folder's properties.
  LPSPropTagArray props = nullptr;
  ASSERT_EQ(again->GetPropList(0, &props), S_OK);
  for (ULONG i = 0; i < props->cValues; ++i) EXPECT_LT(PROP_ID(props->aulPropTag[i]), 0x7FF0u);
  MAPIFreeBuffer(props);
}

}  // namespace

namespace {

ULONG Rows(IMAPITable* t) {
  ULONG n = 0;
  EXPECT_EQ(t->GetRowCount(0, &n), S_OK);
  return n;
}

ComPtr<IMessage> Save(IMAPIFolder* f, const char* subject) {
  ComPtr<IMessage> m;
  EXPECT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SetString(m.get(), PR_SUBJECT, subject);
  EXPECT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  return m;
}

// The subjects a table lists, sorted.
std::vector<std::string> Subjects(IMAPITable* t) {
  SizedSPropTagArray<1> cols{1, {PR_SUBJECT}};
  SizedSSortOrderSet<1> sort;
  sort.aSort[0] = {PR_SUBJECT, TABLE_SORT_ASCEND};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(t, cols.get(), nullptr, sort.get(), 0, &rows), S_OK);
  std::vector<std::string> out;
  for (ULONG i = 0; rows && i < rows->cRows; ++i) out.emplace_back(rows->aRow[i].lpProps[0].Value.lpszA);
  FreeProws(rows);
  return out;
}

TEST(StoreSearch, ContentsFollowTheMessagesOfTheListedFolders) {
  auto s = Open(TmpPath("searching.pst"));
  auto top = Subtree(s.get());
  auto s1 = Child(top.get(), "S1");
  auto deep = Child(s1.get(), "S1sub");
  auto s2 = Child(top.get(), "S2");
  auto first = Save(s1.get(), "urgent a");
  Save(s1.get(), "plain");
  auto below = Save(deep.get(), "urgent deep");
  Save(s2.get(), "urgent elsewhere");
  ComPtr<IMAPIFolder> sf;
  ASSERT_EQ(top->CreateFolder(FOLDER_SEARCH, const_cast<char*>("Found"), nullptr, nullptr, 0, sf.Out()), S_OK);
  std::vector<BYTE> sf_eid = Bin(sf.get(), PR_ENTRYID), s1_eid = Bin(s1.get(), PR_ENTRYID);
  EXPECT_EQ(top->GetSearchCriteria(0, nullptr, nullptr, nullptr), MAPI_E_NO_SUPPORT);

  struct Seen {
    std::mutex mu;
    std::vector<std::vector<BYTE>> done;  // entry IDs of completed searches
  } seen;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  std::lock_guard<std::mutex> g(seen.mu);
                  for (ULONG i = 0; i < n; ++i)
                    if (notes[i].ulEventType == fnevSearchComplete) {
                      auto* p = reinterpret_cast<const BYTE*>(notes[i].info.obj.lpEntryID);
                      seen.done.emplace_back(p, p + notes[i].info.obj.cbEntryID);
                    }
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(s->Advise(0, nullptr, fnevSearchComplete, sink, &conn), S_OK);
  auto completions = [&] {
    vantrel::mapi::NotifyQueue::Instance().Flush();
    std::lock_guard<std::mutex> g(seen.mu);
    return seen.done.size();
  };

  SPropValue word{};
  word.ulPropTag = PR_SUBJECT;
  word.Value.lpszA = const_cast<char*>("URGENT");
  SRestriction res{};
  res.rt = RES_CONTENT;
  res.res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT, &word};
  SBinary one{static_cast<ULONG>(s1_eid.size()), s1_eid.data()};
  ENTRYLIST list{1, &one};
  // In the foreground the search is complete when the call returns.
  ASSERT_EQ(sf->SetSearchCriteria(&res, &list, RECURSIVE_SEARCH | FOREGROUND_SEARCH), S_OK);
  ASSERT_EQ(completions(), 1u);
  EXPECT_EQ(seen.done[0], sf_eid);
  ULONG state = 0;
  ASSERT_EQ(sf->GetSearchCriteria(0, nullptr, nullptr, &state), S_OK);
  EXPECT_EQ(state, SEARCH_RUNNING | SEARCH_RECURSIVE | SEARCH_FOREGROUND);
  ComPtr<IMAPITable> found;
  ASSERT_EQ(sf->GetContentsTable(0, found.Out()), S_OK);
  EXPECT_EQ(Subjects(found.get()), (std::vector<std::string>{"urgent a", "urgent deep"}));
  // A row names the message's own folder.
  SizedSPropTagArray<1> parent_col{1, {PR_PARENT_ENTRYID}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(found.get(), parent_col.get(), nullptr, nullptr, 1, &rows), S_OK);
  const SBinary& pid = rows->aRow[0].lpProps[0].Value.bin;
  EXPECT_EQ(std::vector<BYTE>(pid.lpb, pid.lpb + pid.cb), s1_eid);
  FreeProws(rows);

  // The results follow: a new match, a match that stops matching, a
  // deleted match.
  Save(s1.get(), "urgent new");
  SetString(first.get(), PR_SUBJECT, "calm now");
  ASSERT_EQ(first->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  std::vector<BYTE> below_eid = Bin(below.get(), PR_ENTRYID);
  SBinary gone{static_cast<ULONG>(below_eid.size()), below_eid.data()};
  ENTRYLIST gone_list{1, &gone};
  ASSERT_EQ(deep->DeleteMessages(&gone_list, 0, nullptr, 0), S_OK);
  EXPECT_EQ(Subjects(found.get()), (std::vector<std::string>{"urgent new"}));

  // In the background the search rebuilds after the call; shallow now.
  Save(deep.get(), "urgent deep again");
  ASSERT_EQ(sf->SetSearchCriteria(nullptr, nullptr, SHALLOW_SEARCH | BACKGROUND_SEARCH | RESTART_SEARCH), S_OK);
  for (int i = 0; i < 500 && completions() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(completions(), 2u);
  ASSERT_EQ(sf->GetSearchCriteria(0, nullptr, nullptr, &state), S_OK);
  EXPECT_EQ(state, SEARCH_RUNNING);  // rebuilt: no SEARCH_REBUILD
  EXPECT_EQ(Subjects(found.get()), (std::vector<std::string>{"urgent new"}));

  // Stopped, the results stay as they are.
  ASSERT_EQ(sf->SetSearchCriteria(nullptr, nullptr, STOP_SEARCH), S_OK);
  Save(s1.get(), "urgent late");
  EXPECT_EQ(Subjects(found.get()), (std::vector<std::string>{"urgent new"}));
  ASSERT_EQ(sf->GetSearchCriteria(0, nullptr, nullptr, &state), S_OK);
  EXPECT_EQ(state, 0u);
  EXPECT_EQ(completions(), 2u);
  ASSERT_EQ(s->Unadvise(conn), S_OK);
  sink->Release();
}

TEST(StoreTables, ViewsFollowSavedChanges) {
  auto s = Open(TmpPath("tables.pst"));
  auto top = Subtree(s.get());
  auto f = Child(top.get(), "Tab");
  ComPtr<IMAPITable> contents, assoc, hier;
  ASSERT_EQ(f->GetContentsTable(0, contents.Out()), S_OK);
  ASSERT_EQ(f->GetContentsTable(MAPI_ASSOCIATED, assoc.Out()), S_OK);
  ASSERT_EQ(top->GetHierarchyTable(0, hier.Out()), S_OK);
  EXPECT_EQ(Rows(contents.get()), 0u);
  ULONG subfolders = Rows(hier.get());

  ComPtr<IMessage> m, a;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SetString(m.get(), PR_SUBJECT, "row");
  EXPECT_EQ(Rows(contents.get()), 0u);  // unsaved messages are not listed
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  ASSERT_EQ(f->CreateMessage(nullptr, MAPI_ASSOCIATED, a.Out()), S_OK);
  ASSERT_EQ(a->SaveChanges(0), S_OK);
  EXPECT_EQ(Rows(contents.get()), 1u);
  EXPECT_EQ(Rows(assoc.get()), 1u);

  SizedSPropTagArray<2> cols{2, {PR_SUBJECT, PR_ENTRYID}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(contents.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 1u);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "row");
  std::vector<BYTE> eid(rows->aRow[0].lpProps[1].Value.bin.lpb,
                        rows->aRow[0].lpProps[1].Value.bin.lpb + rows->aRow[0].lpProps[1].Value.bin.cb);
  FreeProws(rows);
  EXPECT_EQ(eid, Bin(m.get(), PR_ENTRYID));

  // A change saved later shows in the open view.
  SetString(m.get(), PR_SUBJECT, "changed");
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  ASSERT_EQ(HrQueryAllRows(contents.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
  EXPECT_STREQ(rows->aRow[0].lpProps[0].Value.lpszA, "changed");
  FreeProws(rows);

  SBinary bin{28, eid.data()};
  ENTRYLIST list{1, &bin};
  ASSERT_EQ(f->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  EXPECT_EQ(Rows(contents.get()), 0u);

  auto g = Child(top.get(), "Another");
  EXPECT_EQ(Rows(hier.get()), subfolders + 1);
  std::vector<BYTE> gid = Bin(g.get(), PR_ENTRYID);
  ASSERT_EQ(top->DeleteFolder(28, (LPENTRYID)gid.data(), 0, nullptr, 0), S_OK);
  EXPECT_EQ(Rows(hier.get()), subfolders);
}

// (name, depth) of every row, in the table's order.
std::vector<std::pair<std::string, LONG>> Tree(IMAPITable* t) {
  SizedSPropTagArray<2> cols{2, {PR_DISPLAY_NAME, PR_DEPTH}};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(t, cols.get(), nullptr, nullptr, 0, &rows), S_OK);
  std::vector<std::pair<std::string, LONG>> out;
  for (ULONG i = 0; rows && i < rows->cRows; ++i)
    out.emplace_back(rows->aRow[i].lpProps[0].Value.lpszA, rows->aRow[i].lpProps[1].Value.l);
  FreeProws(rows);
  return out;
}

TEST(StoreTables, ConvenientDepthListsDescendantsDepthFirst) {
  auto s = Open(TmpPath("depth.pst"));
  auto d = Child(Subtree(s.get()).get(), "D");
  auto a = Child(d.get(), "A");
  auto b = Child(d.get(), "B");
  auto a1 = Child(a.get(), "A1");
  Child(a.get(), "A2");
  Child(a1.get(), "A1x");
  ComPtr<IMAPITable> t;
  ASSERT_EQ(d->GetHierarchyTable(CONVENIENT_DEPTH, t.Out()), S_OK);
  using Tr = std::vector<std::pair<std::string, LONG>>;
  EXPECT_EQ(Tree(t.get()), (Tr{{"A", 1}, {"A1", 2}, {"A1x", 3}, {"A2", 2}, {"B", 1}}));
  // The open table follows: a new folder at its place, a moved subtree at
  // its new place and depth, a deleted subtree gone.
  Child(a.get(), "A3");
  EXPECT_EQ(Tree(t.get()), (Tr{{"A", 1}, {"A1", 2}, {"A1x", 3}, {"A2", 2}, {"A3", 2}, {"B", 1}}));
  std::vector<BYTE> bid = Bin(b.get(), PR_ENTRYID);
  ASSERT_EQ(d->CopyFolder(28, (LPENTRYID)bid.data(), nullptr, a1.get(), nullptr, 0, nullptr, FOLDER_MOVE), S_OK);
  // Subfolders are in order of creation: B is older than A1x.
  EXPECT_EQ(Tree(t.get()), (Tr{{"A", 1}, {"A1", 2}, {"B", 3}, {"A1x", 3}, {"A2", 2}, {"A3", 2}}));
  SetString(a1.get(), PR_DISPLAY_NAME, "A1 renamed");
  ASSERT_EQ(a1->SaveChanges(0), S_OK);
  EXPECT_EQ(Tree(t.get())[1], (std::pair<std::string, LONG>{"A1 renamed", 2}));
  std::vector<BYTE> a1id = Bin(a1.get(), PR_ENTRYID);
  ASSERT_EQ(a->DeleteFolder(28, (LPENTRYID)a1id.data(), 0, nullptr, DEL_FOLDERS | DEL_MESSAGES), S_OK);
  EXPECT_EQ(Tree(t.get()), (Tr{{"A", 1}, {"A2", 2}, {"A3", 2}}));
  // Without the flag: the direct subfolders alone.
  ComPtr<IMAPITable> flat;
  ASSERT_EQ(d->GetHierarchyTable(0, flat.Out()), S_OK);
  EXPECT_EQ(Rows(flat.get()), 1u);
}

TEST(StoreTables, CategorisedContentsCountUnreadMessages) {
  auto s = Open(TmpPath("categories.pst"));
  auto f = Child(Subtree(s.get()).get(), "Cat");
  auto first = Save(f.get(), "a");
  Save(f.get(), "A");  // the same category: subjects without regard to case
  Save(f.get(), "b");
  ComPtr<IMAPITable> t;
  ASSERT_EQ(f->GetContentsTable(0, t.Out()), S_OK);
  SizedSPropTagArray<4> cols{4, {PR_ROW_TYPE, PR_SUBJECT, PR_CONTENT_COUNT, PR_CONTENT_UNREAD}};
  ASSERT_EQ(t->SetColumns(cols.get(), 0), S_OK);
  SizedSSortOrderSet<1> sort;
  sort.cCategories = 1;
  sort.aSort[0] = {PR_SUBJECT, TABLE_SORT_ASCEND};
  ASSERT_EQ(t->SortTable(sort.get(), 0), S_OK);
  auto headings = [&] {
    std::vector<std::tuple<std::string, LONG, LONG>> out;
    LPSRowSet rows = nullptr;
    EXPECT_EQ(t->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    EXPECT_EQ(t->QueryRows(10, 0, &rows), S_OK);
    for (ULONG i = 0; rows && i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      EXPECT_EQ(v[0].Value.l, static_cast<LONG>(TBL_COLLAPSED_CATEGORY));
      out.emplace_back(v[1].Value.lpszA, v[2].Value.l, v[3].Value.l);
    }
    FreeProws(rows);
    return out;
  };
  using H = std::vector<std::tuple<std::string, LONG, LONG>>;
  EXPECT_EQ(headings(), (H{{"a", 2, 2}, {"b", 1, 1}}));
  ASSERT_EQ(first->SetReadFlag(0), S_OK);
  EXPECT_EQ(headings(), (H{{"a", 2, 1}, {"b", 1, 1}}));
}

TEST(StoreTables, AttachmentAndRecipientTables) {
  auto s = Open(TmpPath("subtables.pst"));
  auto f = Subtree(s.get());
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  ComPtr<IMAPITable> at, rt;
  ASSERT_EQ(m->GetAttachmentTable(0, at.Out()), S_OK);
  ASSERT_EQ(m->GetRecipientTable(0, rt.Out()), S_OK);
  ULONG num;
  ComPtr<IAttach> a;
  ASSERT_EQ(m->CreateAttach(nullptr, 0, &num, a.Out()), S_OK);
  EXPECT_EQ(Rows(at.get()), 0u);  // listed once the attachment is saved
  SetString(a.get(), PR_ATTACH_FILENAME, "a.txt");
  ASSERT_EQ(a->SaveChanges(0), S_OK);
  EXPECT_EQ(Rows(at.get()), 1u);

  SPropValue rp[2] = {};
  rp[0].ulPropTag = PR_DISPLAY_NAME;
  rp[0].Value.lpszA = const_cast<char*>("Ann");
  rp[1].ulPropTag = PR_DISPLAY_NAME;
  rp[1].Value.lpszA = const_cast<char*>("Bob");
  ADRLIST* adr = nullptr;
  MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(2)), (void**)&adr);
  adr->cEntries = 2;
  adr->aEntries[0] = {0, 1, &rp[0]};
  adr->aEntries[1] = {0, 1, &rp[1]};
  ASSERT_EQ(m->ModifyRecipients(MODRECIP_ADD, adr), S_OK);
  MAPIFreeBuffer(adr);
  SizedSPropTagArray<2> cols{2, {PR_ROWID, PR_DISPLAY_NAME}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(rt.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 2u);
  FreeProws(rows);
  ASSERT_EQ(m->DeleteAttach(num, 0, nullptr, 0), S_OK);
  EXPECT_EQ(Rows(at.get()), 0u);
}

}  // namespace

namespace {

TEST(StoreAdvise, ObjectEventsReachTheSink) {
  auto s = Open(TmpPath("advise.pst"));
  auto f = Child(Subtree(s.get()).get(), "Watched");
  std::vector<BYTE> fid = Bin(f.get(), PR_ENTRYID);
  struct Seen {
    std::mutex mu;
    std::vector<std::pair<ULONG, ULONG>> events;  // event, object type
  } seen;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  std::lock_guard<std::mutex> g(seen.mu);
                  for (ULONG i = 0; i < n; ++i)
                    seen.events.emplace_back(notes[i].ulEventType, notes[i].info.obj.ulObjType);
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(s->Advise(28, (LPENTRYID)fid.data(), fnevObjectCreated | fnevObjectDeleted, sink, &conn), S_OK);
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);  // modified: not asked for
  std::vector<BYTE> eid = Bin(m.get(), PR_ENTRYID);
  SBinary bin{28, eid.data()};
  ENTRYLIST list{1, &bin};
  ASSERT_EQ(f->DeleteMessages(&list, 0, nullptr, 0), S_OK);
  ComPtr<IMessage> elsewhere;
  ASSERT_EQ(Subtree(s.get())->CreateMessage(nullptr, 0, elsewhere.Out()), S_OK);
  ASSERT_EQ(elsewhere->SaveChanges(0), S_OK);  // another folder: not watched
  vantrel::mapi::NotifyQueue::Instance().Flush();
  {
    std::lock_guard<std::mutex> g(seen.mu);
    ASSERT_EQ(seen.events.size(), 2u);
    EXPECT_EQ(seen.events[0], std::make_pair(fnevObjectCreated, MAPI_MESSAGE));
    EXPECT_EQ(seen.events[1], std::make_pair(fnevObjectDeleted, MAPI_MESSAGE));
  }
  ASSERT_EQ(s->Unadvise(conn), S_OK);
  EXPECT_EQ(s->Unadvise(conn), MAPI_E_NOT_FOUND);
  sink->Release();
}

}  // namespace

namespace {

// Rows in the chunk table of a store file.
int64_t ChunkRows(const std::string& path) {
  sqlite3* db = nullptr;
  int64_t n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM chunks", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

ComPtr<IStream> PropStream(IMAPIProp* obj, ULONG tag, ULONG flags) {
  ComPtr<IUnknown> unk;
  EXPECT_EQ(obj->OpenProperty(tag, &IID_IStream, 0, flags, unk.Out()), S_OK);
  return ComPtr<IStream>::Adopt(static_cast<IStream*>(unk.Detach()));
}

std::vector<BYTE> ReadAll(IStream* st) {
  LARGE_INTEGER zero{};
  st->Seek(zero, STREAM_SEEK_SET, nullptr);
  std::vector<BYTE> out, buf(7000);  // pieces that straddle chunk boundaries
  for (ULONG got = 1; got;) {
    EXPECT_EQ(st->Read(buf.data(), static_cast<ULONG>(buf.size()), &got), S_OK);
    out.insert(out.end(), buf.begin(), buf.begin() + got);
  }
  return out;
}

void WriteAll(IStream* st, const void* p, size_t n) {
  for (size_t off = 0; off < n; off += 10000) {
    ULONG put = 0, want = static_cast<ULONG>(std::min<size_t>(10000, n - off));
    ASSERT_EQ(st->Write(static_cast<const BYTE*>(p) + off, want, &put), S_OK);
    ASSERT_EQ(put, want);
  }
}

ULONGLONG StreamSize(IStream* st) {
  STATSTG s{};
  EXPECT_EQ(st->Stat(&s, STATFLAG_NONAME), S_OK);
  return s.cbSize.QuadPart;
}

// Values of several chunks: binary and text through streams, kept across
// reopening, read in the other width, reverted, discarded unsaved, and
// gone with their message.
TEST(StoreLargeValues, ChunkedValuesSaveRevertAndDiscard) {
  std::string path = TmpPath("chunked.pst");
  std::vector<BYTE> data(230000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + (i >> 12));
  std::memset(data.data() + 70000, 0xEE, 100);
  // Text with a two-byte, a non-Latin and a four-byte character, long enough
  // that some of them are cut at chunk boundaries.
  std::u16string text;
  while (text.size() < 120000) text += u"caf\u00e9 \u0416 \U0001F600 line;";
  std::vector<BYTE> eid;
  {
    auto s = Open(path);
    auto f = Subtree(s.get());
    ComPtr<IMessage> m;
    ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
    ULONG num;
    ComPtr<IAttach> a;
    ASSERT_EQ(m->CreateAttach(nullptr, 0, &num, a.Out()), S_OK);
    auto st = PropStream(a.get(), PR_ATTACH_DATA_BIN, MAPI_CREATE | MAPI_MODIFY);
    std::vector<BYTE> first(data);
    std::memset(first.data() + 70000, 0, 100);
    WriteAll(st.get(), first.data(), first.size());
    LARGE_INTEGER at;
    at.QuadPart = 70000;
    ASSERT_EQ(st->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
    WriteAll(st.get(), data.data() + 70000, 100);
    ASSERT_EQ(st->Commit(STGC_DEFAULT), S_OK);
    ASSERT_EQ(a->SaveChanges(0), S_OK);
    auto body = PropStream(m.get(), PR_BODY_W, MAPI_CREATE | MAPI_MODIFY);
    WriteAll(body.get(), text.data(), text.size() * 2);
    ASSERT_EQ(body->Commit(STGC_DEFAULT), S_OK);
    ASSERT_EQ(m->SaveChanges(0), S_OK);
    eid = Bin(m.get(), PR_ENTRYID);
  }
  const int64_t saved_rows = ChunkRows(path);
  EXPECT_GT(saved_rows, 0);
  auto s = Open(path);
  {
    auto m = OpenAs<IMessage>(s.get(), eid, MAPI_MODIFY);
    ComPtr<IAttach> a;
    ASSERT_EQ(m->OpenAttach(0, nullptr, MAPI_MODIFY, a.Out()), S_OK);
    EXPECT_EQ(ReadAll(PropStream(a.get(), PR_ATTACH_DATA_BIN, 0).get()), data);
    // Under the GetProps limit, the text comes back whole in both widths.
    LPSPropValue v = nullptr;
    ASSERT_EQ(HrGetOneProp(m.get(), PR_BODY_W, &v), S_OK);
    EXPECT_TRUE(std::u16string(reinterpret_cast<const char16_t*>(v->Value.lpszW)) == text);
    MAPIFreeBuffer(v);
    std::string ansi = vantrel::Utf16ToAnsi(text);
    ASSERT_EQ(HrGetOneProp(m.get(), PR_BODY, &v), S_OK);
    EXPECT_EQ(std::string(v->Value.lpszA), ansi);
    MAPIFreeBuffer(v);
    auto narrow = ReadAll(PropStream(m.get(), PR_BODY, 0).get());
    EXPECT_EQ(std::string(narrow.begin(), narrow.end()), ansi);

    // Revert goes back to the committed value; an uncommitted stream leaves it.
    auto st = PropStream(a.get(), PR_ATTACH_DATA_BIN, MAPI_MODIFY);
    ULARGE_INTEGER small;
    small.QuadPart = 1000;
    ASSERT_EQ(st->SetSize(small), S_OK);
    EXPECT_EQ(StreamSize(st.get()), 1000u);
    ASSERT_EQ(st->Revert(), S_OK);
    EXPECT_EQ(StreamSize(st.get()), data.size());
    EXPECT_EQ(ReadAll(st.get()), data);
    ASSERT_EQ(st->SetSize(small), S_OK);
    st.Reset();
    ASSERT_EQ(a->SaveChanges(0), S_OK);
    ASSERT_EQ(m->SaveChanges(0), S_OK);
  }
  {
    auto m = OpenAs<IMessage>(s.get(), eid, 0);
    ComPtr<IAttach> a;
    ASSERT_EQ(m->OpenAttach(0, nullptr, 0, a.Out()), S_OK);
    EXPECT_EQ(ReadAll(PropStream(a.get(), PR_ATTACH_DATA_BIN, 0).get()), data);
  }
  EXPECT_EQ(ChunkRows(path), saved_rows);

  // A message released unsaved takes its stream's chunks with it.
  auto f = Subtree(s.get());
  {
    ComPtr<IMessage> m;
    ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
    auto st = PropStream(m.get(), PR_BODY_W, MAPI_CREATE | MAPI_MODIFY);
    WriteAll(st.get(), text.data(), text.size() * 2);
    ASSERT_EQ(st->Commit(STGC_DEFAULT), S_OK);
    EXPECT_GT(ChunkRows(path), saved_rows);
  }
  EXPECT_EQ(ChunkRows(path), saved_rows);

  // Copies carry the chunks; deleting both messages leaves none.
  auto other = Child(f.get(), "Copies");
  SBinary b{static_cast<ULONG>(eid.size()), eid.data()};
  ENTRYLIST list{1, &b};
  ASSERT_EQ(f->CopyMessages(&list, nullptr, other.get(), 0, nullptr, 0), S_OK);
  EXPECT_EQ(ChunkRows(path), 2 * saved_rows);
  // A move to another store takes them along.
  std::string path2 = TmpPath("chunked2.pst");
  auto s2 = Open(path2);
  auto f2 = Subtree(s2.get());
  ASSERT_EQ(f->CopyMessages(&list, nullptr, f2.get(), 0, nullptr, MESSAGE_MOVE), S_OK);
  EXPECT_EQ(ChunkRows(path), saved_rows);
  EXPECT_EQ(ChunkRows(path2), saved_rows);
  {
    ComPtr<IMAPITable> t;
    ASSERT_EQ(f2->GetContentsTable(0, t.Out()), S_OK);
    SizedSPropTagArray<1> cols{1, {PR_ENTRYID}};
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(t.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    const SBinary& e = rows->aRow[0].lpProps[0].Value.bin;
    auto moved = OpenAs<IMessage>(s2.get(), std::vector<BYTE>(e.lpb, e.lpb + e.cb), 0);
    FreeProws(rows);
    ComPtr<IAttach> a;
    ASSERT_EQ(moved->OpenAttach(0, nullptr, 0, a.Out()), S_OK);
    EXPECT_EQ(ReadAll(PropStream(a.get(), PR_ATTACH_DATA_BIN, 0).get()), data);
  }
  ASSERT_EQ(other->EmptyFolder(0, nullptr, 0), S_OK);
  EXPECT_EQ(ChunkRows(path), 0);
}

// A value over the GetProps limit is one PT_ERROR among the values asked
// for; CopyTo still carries it (through streams).
TEST(StoreLargeValues, OverTheLimitIsOneErrorAndStillCopies) {
  std::string path = TmpPath("limit.pst");
  auto s = Open(path);
  auto f = Subtree(s.get());
  ComPtr<IMessage> m, copy;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  std::vector<BYTE> big(3 << 20);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i % 251);
  SPropValue v[2] = {};
  v[0].ulPropTag = PR_SUBJECT;
  v[0].Value.lpszA = const_cast<char*>("big one");
  v[1].ulPropTag = PR_RTF_COMPRESSED;
  v[1].Value.bin = {static_cast<ULONG>(big.size()), big.data()};
  ASSERT_EQ(m->SetProps(2, v, nullptr), S_OK);
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  SizedSPropTagArray<3> tags{3, {PR_SUBJECT, PR_RTF_COMPRESSED, PR_IMPORTANCE}};
  ULONG n = 0;
  LPSPropValue got = nullptr;
  ASSERT_EQ(m->GetProps(tags.get(), 0, &n, &got), MAPI_W_ERRORS_RETURNED);
  ASSERT_EQ(n, 3u);
  EXPECT_STREQ(got[0].Value.lpszA, "big one");
  EXPECT_EQ(got[1].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_RTF_COMPRESSED)));
  EXPECT_EQ(got[1].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(got[2].Value.err, MAPI_E_NOT_FOUND);
  MAPIFreeBuffer(got);
  ASSERT_EQ(f->CreateMessage(nullptr, 0, copy.Out()), S_OK);
  ASSERT_EQ(m->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, copy.get(), 0, nullptr), S_OK);
  ASSERT_EQ(copy->SaveChanges(0), S_OK);
  EXPECT_EQ(ReadAll(PropStream(copy.get(), PR_RTF_COMPRESSED, 0).get()), big);
}

long HighWaterKiB() {
  FILE* f = fopen("/proc/self/status", "r");
  long kib = -1;
  char line[256];
  while (f && fgets(line, sizeof(line), f))
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atol(line + 6);
  if (f) fclose(f);
  return kib;
}

// Writing and reading back a 64 MiB attachment grows the peak memory of a
// fresh process by far less than the value.
TEST(StoreLargeValues, MemoryStaysFarBelowTheValue) {
  std::string path = TmpPath("flat.pst");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const size_t total = size_t{64} << 20;
    ComPtr<IMsgStore> s;
    if (OpenPstStore(path, "M", MDB_WRITE, s.Out()) != S_OK) _exit(2);
    auto f = Subtree(s.get());
    long before = HighWaterKiB();
    ComPtr<IMessage> m;
    f->CreateMessage(nullptr, 0, m.Out());
    ULONG num;
    ComPtr<IAttach> a;
    m->CreateAttach(nullptr, 0, &num, a.Out());
    auto st = PropStream(a.get(), PR_ATTACH_DATA_BIN, MAPI_CREATE | MAPI_MODIFY);
    std::vector<BYTE> buf(64 * 1024, 0x5A);
    for (size_t off = 0; off < total; off += buf.size()) st->Write(buf.data(), static_cast<ULONG>(buf.size()), nullptr);
    if (st->Commit(STGC_DEFAULT) != S_OK || a->SaveChanges(0) != S_OK || m->SaveChanges(0) != S_OK) _exit(3);
    st.Reset();
    auto back = PropStream(a.get(), PR_ATTACH_DATA_BIN, 0);
    size_t read = 0;
    for (ULONG got = 1; got; read += got) back->Read(buf.data(), static_cast<ULONG>(buf.size()), &got);
    if (read != total) _exit(4);
    long grew_mib = (HighWaterKiB() - before) >> 10;
    _exit(grew_mib < 24 ? 0 : 10 + static_cast<int>(std::min<long>(grew_mib, 200)));
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << "exit 10+N: peak grew by N MiB";
}

}  // namespace

namespace {

// Two threads reading one store are inside their read transactions at the
// same time: each waits in the read hook until the other has arrived.
std::mutex g_meet_mu;
std::condition_variable g_meet_cv;
int g_inside = 0, g_most = 0;
void MeetAnotherReader() {
  std::unique_lock<std::mutex> g(g_meet_mu);
  g_most = std::max(g_most, ++g_inside);
  g_meet_cv.notify_all();
  g_meet_cv.wait_for(g, std::chrono::seconds(10), [] { return g_most >= 2; });
  --g_inside;
}

TEST_F(StoreTest, ReadersOverlap) {
  auto f = Child(Subtree(store_.get()).get(), "Readers");
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SetString(m.get(), PR_SUBJECT, "read me");
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  auto eid = Bin(m.get(), PR_ENTRYID);
  auto folder_eid = Bin(f.get(), PR_ENTRYID);
  SetPstStoreReadHook(MeetAnotherReader);
  std::atomic<int> failures{0};
  auto read = [&](const std::vector<BYTE>& e) {
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    if (store_->OpenEntry(static_cast<ULONG>(e.size()), (LPENTRYID)e.data(), nullptr, 0, &type, unk.Out()) != S_OK)
      ++failures;
  };
  std::thread a(read, eid), b(read, folder_eid);
  a.join();
  b.join();
  SetPstStoreReadHook(nullptr);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(g_most, 2);
}

}  // namespace

namespace {

TEST_F(StoreTest, ReceiveFolderTable) {
  auto notes = Child(Subtree(store_.get()).get(), "Notes");
  std::vector<BYTE> n = Bin(notes.get(), PR_ENTRYID);
  ASSERT_EQ(store_->SetReceiveFolder(const_cast<char*>("IPM.Note"), 0, 28, (LPENTRYID)n.data()), S_OK);
  for (ULONG flags : {0u, static_cast<ULONG>(MAPI_UNICODE)}) {
    ComPtr<IMAPITable> t;
    ASSERT_EQ(store_->GetReceiveFolderTable(flags, t.Out()), S_OK);
    ULONG class_tag = flags ? PR_MESSAGE_CLASS_W : PR_MESSAGE_CLASS;
    SizedSPropTagArray<3> cols{3, {PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_MESSAGE_CLASS)), PR_ENTRYID, PR_RECORD_KEY}};
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(t.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
    bool found = false;
    for (ULONG i = 0; i < rows->cRows; ++i) {
      const SPropValue* v = rows->aRow[i].lpProps;
      ASSERT_EQ(v[0].ulPropTag, class_tag);
      std::string cls = flags ? vantrel::Utf16ToUtf8(reinterpret_cast<const char16_t*>(v[0].Value.lpszW))
                              : std::string(v[0].Value.lpszA);
      if (cls != "IPM.Note") continue;
      found = true;
      EXPECT_EQ(std::vector<BYTE>(v[1].Value.bin.lpb, v[1].Value.bin.lpb + v[1].Value.bin.cb), n);
      EXPECT_EQ(v[2].ulPropTag, PR_RECORD_KEY);
    }
    EXPECT_TRUE(found) << flags;
    EXPECT_EQ(rows->cRows, 3u);  // "" and "IPM" too
    FreeProws(rows);
  }
}

TEST_F(StoreTest, FolderNamesCollideWithoutRegardToCase) {
  auto top = Subtree(store_.get());
  auto notes = Child(top.get(), "Notes");
  std::u16string upper = u"\u0416\u0423\u0420\u041d\u0410\u041b", lower = u"\u0436\u0443\u0440\u043d\u0430\u043b";
  ComPtr<IMAPIFolder> f;
  ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, (LPSTR)upper.c_str(), nullptr, nullptr, MAPI_UNICODE, f.Out()), S_OK);
  struct Case {
    const char* name;  // UTF-8
    HRESULT want;
  } cases[] = {{"inbox", MAPI_E_COLLISION},
               {"INBOX", MAPI_E_COLLISION},
               {"sent items", MAPI_E_COLLISION},
               {"\xc3\x89t\xc3\xa9", S_OK},  // "Été"
               {"\xc3\xa9T\xc3\xa9", MAPI_E_COLLISION},
               {"\xd0\xb6\xd1\x83\xd1\x80\xd0\xbd\xd0\xb0\xd0\xbb", MAPI_E_COLLISION},
               {"inbox2", S_OK}};
  for (const auto& c : cases) {
    std::u16string w = vantrel::Utf8ToUtf16(c.name);
    ComPtr<IMAPIFolder> made;
    EXPECT_EQ(top->CreateFolder(FOLDER_GENERIC, (LPSTR)w.c_str(), nullptr, nullptr, MAPI_UNICODE, made.Out()), c.want)
        << c.name;
  }
  // OPEN_IF_EXISTS finds the folder under another case.
  ComPtr<IMAPIFolder> inbox;
  ASSERT_EQ(
      top->CreateFolder(FOLDER_GENERIC, const_cast<char*>("iNbOx"), nullptr, nullptr, OPEN_IF_EXISTS, inbox.Out()),
      S_OK);
  ComPtr<IMAPIFolder> same;
  ASSERT_EQ(top->CreateFolder(FOLDER_GENERIC, const_cast<char*>("Inbox"), nullptr, nullptr, OPEN_IF_EXISTS, same.Out()),
            S_OK);
  EXPECT_EQ(Bin(inbox.get(), PR_ENTRYID), Bin(same.get(), PR_ENTRYID));
  // Copies and moves meet the same rule.
  std::vector<BYTE> nid = Bin(notes.get(), PR_ENTRYID);
  EXPECT_EQ(top->CopyFolder(28, (LPENTRYID)nid.data(), nullptr, top.get(), const_cast<char*>("OUTBOX"), 0, nullptr, 0),
            MAPI_E_COLLISION);
  EXPECT_EQ(
      top->CopyFolder(28, (LPENTRYID)nid.data(), nullptr, top.get(), (LPSTR)lower.c_str(), 0, nullptr, MAPI_UNICODE),
      MAPI_E_COLLISION);
}

// Unicode contents and hierarchy tables keep text the 8-bit ones cannot.
TEST_F(StoreTest, TablesInUnicodeWhenAsked) {
  auto top = Subtree(store_.get());
  auto f = Child(top.get(), "Wide");
  std::u16string subject = u"\u0416 \U0001F600 caf\u00e9";
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SPropValue v{};
  v.ulPropTag = PR_SUBJECT_W;
  v.Value.lpszW = const_cast<LPWSTR>(reinterpret_cast<const WCHAR*>(subject.c_str()));
  ASSERT_EQ(m->SetProps(1, &v, nullptr), S_OK);
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  ComPtr<IMAPIFolder> sub;
  ASSERT_EQ(f->CreateFolder(FOLDER_GENERIC, (LPSTR)subject.c_str(), nullptr, nullptr, MAPI_UNICODE, sub.Out()), S_OK);
  struct Case {
    bool hierarchy;
    ULONG flags, column, want_type;
  } cases[] = {{false, MAPI_UNICODE, PROP_ID(PR_SUBJECT), PT_UNICODE},
               {false, 0, PROP_ID(PR_SUBJECT), PT_STRING8},
               {true, MAPI_UNICODE, PROP_ID(PR_DISPLAY_NAME), PT_UNICODE},
               {true, 0, PROP_ID(PR_DISPLAY_NAME), PT_STRING8}};
  for (const auto& c : cases) {
    ComPtr<IMAPITable> t;
    ASSERT_EQ(c.hierarchy ? f->GetHierarchyTable(c.flags, t.Out()) : f->GetContentsTable(c.flags, t.Out()), S_OK);
    SizedSPropTagArray<1> cols{1, {PROP_TAG(PT_UNSPECIFIED, c.column)}};
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(t.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 1u);
    const SPropValue& got = rows->aRow[0].lpProps[0];
    EXPECT_EQ(PROP_TYPE(got.ulPropTag), c.want_type) << c.hierarchy << c.flags;
    if (c.want_type == PT_UNICODE)
      EXPECT_TRUE(std::u16string(reinterpret_cast<const char16_t*>(got.Value.lpszW)) == subject);
    else
      EXPECT_EQ(std::string(got.Value.lpszA), vantrel::Utf16ToAnsi(subject));
    FreeProws(rows);
  }
}

// Moves and copies of messages and folders carry the old entry IDs.
TEST_F(StoreTest, MoveAndCopyNotificationsCarryOldIDs) {
  auto top = Subtree(store_.get());
  auto a = Child(top.get(), "A"), b = Child(top.get(), "B"), c = Child(a.get(), "C");
  ComPtr<IMessage> m;
  ASSERT_EQ(a->CreateMessage(nullptr, 0, m.Out()), S_OK);
  ASSERT_EQ(m->SaveChanges(0), S_OK);
  auto mid = Bin(m.get(), PR_ENTRYID), aid = Bin(a.get(), PR_ENTRYID), bid = Bin(b.get(), PR_ENTRYID),
       cid = Bin(c.get(), PR_ENTRYID), tid = Bin(top.get(), PR_ENTRYID);
  struct Seen {
    ULONG event, type;
    std::vector<BYTE> id, parent, old_id, old_parent;
  };
  std::mutex mu;
  std::vector<Seen> seen;
  auto bytes = [](ULONG cb, LPENTRYID e) {
    return e ? std::vector<BYTE>((BYTE*)e, (BYTE*)e + cb) : std::vector<BYTE>();
  };
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  std::lock_guard<std::mutex> g(mu);
                  for (ULONG i = 0; i < n; ++i) {
                    const auto& o = notes[i].info.obj;
                    seen.push_back({notes[i].ulEventType, o.ulObjType, bytes(o.cbEntryID, o.lpEntryID),
                                    bytes(o.cbParentID, o.lpParentID), bytes(o.cbOldID, o.lpOldID),
                                    bytes(o.cbOldParentID, o.lpOldParentID)});
                  }
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(store_->Advise(0, nullptr, fnevObjectMoved | fnevObjectCopied, sink, &conn), S_OK);
  SBinary bin{28, mid.data()};
  ENTRYLIST list{1, &bin};
  ASSERT_EQ(a->CopyMessages(&list, nullptr, b.get(), 0, nullptr, 0), S_OK);
  ASSERT_EQ(a->CopyMessages(&list, nullptr, b.get(), 0, nullptr, MESSAGE_MOVE), S_OK);
  ASSERT_EQ(a->CopyFolder(28, (LPENTRYID)cid.data(), nullptr, b.get(), nullptr, 0, nullptr, 0), S_OK);
  ASSERT_EQ(a->CopyFolder(28, (LPENTRYID)cid.data(), nullptr, top.get(), nullptr, 0, nullptr, FOLDER_MOVE), S_OK);
  vantrel::mapi::NotifyQueue::Instance().Flush();
  ASSERT_EQ(store_->Unadvise(conn), S_OK);
  sink->Release();
  std::lock_guard<std::mutex> g(mu);
  ASSERT_EQ(seen.size(), 4u);
  struct Want {
    ULONG event, type;
    bool new_id;  // a copy has an id of its own
    std::vector<BYTE>*old_id, *parent, *old_parent;
  } want[] = {{fnevObjectCopied, MAPI_MESSAGE, true, &mid, &bid, &aid},
              {fnevObjectMoved, MAPI_MESSAGE, false, &mid, &bid, &aid},
              {fnevObjectCopied, MAPI_FOLDER, true, &cid, &bid, &aid},
              {fnevObjectMoved, MAPI_FOLDER, false, &cid, &tid, &aid}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(seen[i].event, want[i].event) << i;
    EXPECT_EQ(seen[i].type, want[i].type) << i;
    EXPECT_EQ(seen[i].old_id, *want[i].old_id) << i;
    EXPECT_EQ(seen[i].id != seen[i].old_id, want[i].new_id) << i;
    EXPECT_EQ(seen[i].parent, *want[i].parent) << i;
    EXPECT_EQ(seen[i].old_parent, *want[i].old_parent) << i;
  }
}

}  // namespace
