// The store's tables, search results and notifications as views see them.
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
#include "platform/mapi/pst/StoreTestUtil.h"

using vantrel::ComPtr;
using namespace storetest;

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
    vantrel::mapi::NotificationThread::Instance().Flush();
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

// The sizes and the attachment flag the store derives are kept on save, so
// the table rows show what the objects do, and follow a change.
TEST(StoreTables, RowsCarryDerivedSizes) {
  auto s = Open(TmpPath("sizes.pst"));
  auto f = Subtree(s.get());
  ComPtr<IMessage> m;
  ASSERT_EQ(f->CreateMessage(nullptr, 0, m.Out()), S_OK);
  SetString(m.get(), PR_SUBJECT, "sizes");
  ULONG num;
  ComPtr<IAttach> a;
  ASSERT_EQ(m->CreateAttach(nullptr, 0, &num, a.Out()), S_OK);
  std::string data(100000, 'x');  // chunked: its size is not the stored reference's
  SPropValue bin{};
  bin.ulPropTag = PR_ATTACH_DATA_BIN;
  bin.Value.bin = {static_cast<ULONG>(data.size()), reinterpret_cast<BYTE*>(data.data())};
  ASSERT_EQ(a->SetProps(1, &bin, nullptr), S_OK);
  ASSERT_EQ(a->SaveChanges(0), S_OK);
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);

  ComPtr<IMAPITable> contents;
  ASSERT_EQ(f->GetContentsTable(0, contents.Out()), S_OK);
  auto row = [&](IMAPITable* t, ULONG tag) {
    SizedSPropTagArray<1> cols{1, {tag}};
    LPSRowSet rows = nullptr;
    LONG v = -1;
    EXPECT_EQ(HrQueryAllRows(t, cols.get(), nullptr, nullptr, 0, &rows), S_OK);
    if (rows && rows->cRows == 1 && rows->aRow[0].lpProps[0].ulPropTag == tag) v = rows->aRow[0].lpProps[0].Value.l;
    FreeProws(rows);
    return v;
  };
  LONG size = row(contents.get(), PR_MESSAGE_SIZE);
  EXPECT_GT(size, 100000);
  EXPECT_EQ(size, Long(m.get(), PR_MESSAGE_SIZE));
  EXPECT_TRUE(row(contents.get(), PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH);
  ComPtr<IMAPITable> at;
  auto opened = OpenAs<IMessage>(s.get(), Bin(m.get(), PR_ENTRYID));
  ASSERT_EQ(opened->GetAttachmentTable(0, at.Out()), S_OK);
  LONG attach_size = row(at.get(), PR_ATTACH_SIZE);
  EXPECT_GT(attach_size, 100000);
  EXPECT_LT(attach_size, size);
  ComPtr<IAttach> again;
  ASSERT_EQ(opened->OpenAttach(num, nullptr, 0, again.Out()), S_OK);
  EXPECT_EQ(Long(again.get(), PR_ATTACH_SIZE), attach_size);

  // Written by no one but the store.
  SPropValue forged{};
  forged.ulPropTag = PR_MESSAGE_SIZE;
  forged.Value.l = 1;
  LPSPropProblemArray problems = nullptr;
  ASSERT_EQ(m->SetProps(1, &forged, &problems), S_OK);
  ASSERT_NE(problems, nullptr);
  EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_COMPUTED);
  MAPIFreeBuffer(problems);

  ASSERT_EQ(m->DeleteAttach(num, 0, nullptr, 0), S_OK);
  ASSERT_EQ(m->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
  EXPECT_LT(row(contents.get(), PR_MESSAGE_SIZE), 1000);
  EXPECT_FALSE(row(contents.get(), PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH);
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
  vantrel::mapi::NotificationThread::Instance().Flush();
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
  vantrel::mapi::NotificationThread::Instance().Flush();
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
