#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
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
#include "platform/mapi/PropCodec.h"
#include "platform/mapi/PstStore.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/pst/StoreTestUtil.h"

using vantrel::ComPtr;
using namespace storetest;

namespace {

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

// GetProps of named tags reads kept values without the object's whole view;
// each answer must still be the one the full listing gives, for every kind
// of object, with pending, deleted and computed values and the folder's
// private ones.
TEST_F(StoreTest, NamedTagsAnswerAsTheListing) {
  auto folder = Child(Subtree(store_.get()).get(), "Listed");
  SSortOrderSet sort{1, 0, 0, {{PR_SUBJECT, TABLE_SORT_ASCEND}}};
  ASSERT_EQ(folder->SaveContentsSort(&sort, 0), S_OK);  // a private value of the folder
  ComPtr<IMessage> saved;
  ASSERT_EQ(folder->CreateMessage(nullptr, 0, saved.Out()), S_OK);
  SetString(saved.get(), PR_SUBJECT, "kept");
  SetString(saved.get(), PR_BODY, "body");
  ASSERT_EQ(saved->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  SetString(saved.get(), PR_SUBJECT, "pending");  // pending over a kept value
  SizedSPropTagArray<1> body{1, {PR_BODY}};
  ASSERT_EQ(saved->DeleteProps(body.get(), nullptr), S_OK);  // deleted, not saved
  ComPtr<IMessage> fresh;
  ASSERT_EQ(folder->CreateMessage(nullptr, 0, fresh.Out()), S_OK);
  SetString(fresh.get(), PR_SUBJECT, "new");
  ULONG num = 0;
  ComPtr<IAttach> attach;
  ComPtr<IMessage> embedded = CreateEmbedded(saved.get(), &num, attach);
  ASSERT_TRUE(embedded);
  SetString(embedded.get(), PR_SUBJECT, "inside");

  // Beside what the listing names: every computed tag, the message flags,
  // the folder's private ids and a tag nobody set.
  std::vector<ULONG> extra = {PR_ENTRYID,        PR_OBJECT_TYPE,     PR_RECORD_KEY,    PR_PARENT_ENTRYID,
                              PR_STORE_ENTRYID,  PR_INSTANCE_KEY,    PR_ACCESS_LEVEL,  PR_CONTENT_COUNT,
                              PR_CONTENT_UNREAD, PR_SUBFOLDERS,      PR_MESSAGE_SIZE,  PR_HASATTACH,
                              PR_MESSAGE_FLAGS,  PR_ATTACH_NUM,      PR_MDB_PROVIDER,  PR_IPM_SUBTREE_ENTRYID,
                              PR_COMMENT,        PROP_TAG(PT_BINARY, 0x7FF0), PROP_TAG(PT_LONG, 0x7FF3)};
  struct Case {
    const char* name;
    IMAPIProp* object;
  } cases[] = {{"store", store_.get()},   {"folder", folder.get()},     {"saved message", saved.get()},
               {"new message", fresh.get()}, {"attachment", attach.get()}, {"embedded message", embedded.get()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ULONG n = 0;
    LPSPropValue listing = nullptr;
    ASSERT_EQ(c.object->GetProps(nullptr, MAPI_UNICODE, &n, &listing), S_OK);
    std::map<ULONG, std::vector<BYTE>> expected;  // by property id
    for (ULONG i = 0; i < n; ++i) expected[PROP_ID(listing[i].ulPropTag)] = *vantrel::mapi::EncodeProp(listing[i]);
    std::vector<ULONG> tags;
    for (ULONG i = 0; i < n; ++i) tags.push_back(listing[i].ulPropTag);
    for (ULONG t : extra)
      if (!expected.count(PROP_ID(t))) tags.push_back(t);
    MAPIFreeBuffer(listing);
    for (ULONG tag : tags) {
      SizedSPropTagArray<1> one{1, {tag}};
      LPSPropValue v = nullptr;
      ULONG got = 0;
      HRESULT hr = c.object->GetProps(one.get(), MAPI_UNICODE, &got, &v);
      ASSERT_EQ(got, 1u);
      auto it = expected.find(PROP_ID(tag));
      if (it == expected.end()) {
        EXPECT_EQ(hr, MAPI_W_ERRORS_RETURNED) << std::hex << tag;
        EXPECT_EQ(v->ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(tag))) << std::hex << tag;
      } else {
        EXPECT_EQ(hr, S_OK) << std::hex << tag;
        EXPECT_EQ(vantrel::mapi::EncodeProp(*v), it->second) << std::hex << tag;
      }
      MAPIFreeBuffer(v);
    }
  }
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
    auto embedded = CreateEmbedded(outer.get(), &num, a);
    ASSERT_TRUE(embedded);
    auto* inner = embedded.get();
    SetString(inner, PR_SUBJECT, "inner");
    ULONG inum;
    ComPtr<IAttach> ia;
    ASSERT_EQ(inner->CreateAttach(nullptr, 0, &inum, ia.Out()), S_OK);
    SetString(ia.get(), PR_ATTACH_FILENAME, "deep.txt");
    ASSERT_EQ(ia->SaveChanges(0), S_OK);
    LPSPropValue v = nullptr;
    EXPECT_EQ(HrGetOneProp(inner, PR_ENTRYID, &v), MAPI_E_NOT_FOUND);
    ASSERT_EQ(inner->SaveChanges(0), S_OK);
    embedded.Reset();
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
