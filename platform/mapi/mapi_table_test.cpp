#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"

namespace vantrel::mapi {
namespace {

SPropValue Long(ULONG tag, LONG v) {
  SPropValue p{};
  p.ulPropTag = tag;
  p.Value.l = v;
  return p;
}
SPropValue Str(ULONG tag, const char* s) {
  SPropValue p{};
  p.ulPropTag = tag;
  p.Value.lpszA = const_cast<char*>(s);
  return p;
}
SRestriction Prop(ULONG relop, SPropValue* v) {
  SRestriction r{};
  r.rt = RES_PROPERTY;
  r.res.resProperty = {relop, v->ulPropTag, v};
  return r;
}
SRestriction Content(ULONG fuzzy, SPropValue* v) {
  SRestriction r{};
  r.rt = RES_CONTENT;
  r.res.resContent = {fuzzy, v->ulPropTag, v};
  return r;
}

TEST(Restriction, CasesByTypeAndOperator) {
  char subject[] = "Quarterly Report";
  LONG mv[] = {3, 9};
  SPropValue row[4] = {Str(PR_SUBJECT, subject), Long(PR_IMPORTANCE, 2), Long(PR_MESSAGE_FLAGS, 0x9), {}};
  row[3].ulPropTag = PROP_TAG(PT_MV_LONG, 0x6100);
  row[3].Value.MVl = {2, mv};
  SPropValue two = Long(PR_IMPORTANCE, 2), sub = Str(PR_SUBJECT, "report"), pre = Str(PR_SUBJECT, "QUARTER"),
             full = Str(PR_SUBJECT, "quarterly report"), nine = Long(PROP_TAG(PT_LONG, 0x6100), 9),
             other = Str(PR_BODY, "x");
  SRestriction bm{};
  bm.rt = RES_BITMASK;
  bm.res.resBitMask = {BMR_NEZ, PR_MESSAGE_FLAGS, 0x8};
  SRestriction bm0 = bm;
  bm0.res.resBitMask = {BMR_EQZ, PR_MESSAGE_FLAGS, 0x2};
  SRestriction exist{}, missing{};
  exist.rt = missing.rt = RES_EXIST;
  exist.res.resExist.ulPropTag = PR_SUBJECT;
  missing.res.resExist.ulPropTag = PR_BODY;
  SRestriction size{};
  size.rt = RES_SIZE;
  size.res.resSize = {RELOP_EQ, PR_SUBJECT, 17};
  SRestriction both[2] = {Prop(RELOP_EQ, &two), Content(FL_SUBSTRING | FL_IGNORECASE, &sub)};
  SRestriction and_{}, not_{};
  and_.rt = RES_AND;
  and_.res.resAnd = {2, both};
  not_.rt = RES_NOT;
  not_.res.resNot.lpRes = &missing;
  struct Case {
    SRestriction r;
    bool expect;
  } cases[] = {
      {Prop(RELOP_EQ, &two), true},
      {Prop(RELOP_GT, &two), false},
      {Prop(RELOP_GE, &two), true},
      {Prop(RELOP_NE, &two), false},
      {Prop(RELOP_EQ, &full), true},  // strings compare without regard to case
      {Content(FL_SUBSTRING, &sub), false},
      {Content(FL_SUBSTRING | FL_IGNORECASE, &sub), true},
      {Content(FL_PREFIX | FL_IGNORECASE, &pre), true},
      {Content(FL_PREFIX, &pre), false},
      {Content(FL_FULLSTRING | FL_IGNORECASE, &full), true},
      {Prop(RELOP_EQ, &nine), true},  // any element of a multi-valued property
      {Prop(RELOP_EQ, &other), false},
      {bm, true},
      {bm0, true},
      {exist, true},
      {missing, false},
      {size, true},
      {and_, true},
      {not_, true},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(EvaluateRestriction(&cases[i].r, row, 4), cases[i].expect) << "case " << i;
  EXPECT_TRUE(EvaluateRestriction(nullptr, row, 4));
}

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SizedSPropTagArray<3> cols;
    cols.aulPropTag[0] = PR_ROWID;
    cols.aulPropTag[1] = PR_SUBJECT;
    cols.aulPropTag[2] = PR_IMPORTANCE;
    ASSERT_EQ(CreateTable(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, TBLTYPE_DYNAMIC,
                          PR_ROWID, cols.get(), &data_),
              S_OK);
  }
  void TearDown() override { data_->Release(); }
  void Put(LONG id, const char* subject, LONG importance) {
    SPropValue v[3] = {Long(PR_ROWID, id), Str(PR_SUBJECT, subject), Long(PR_IMPORTANCE, importance)};
    SRow row{0, 3, v};
    ASSERT_EQ(data_->HrModifyRow(&row), S_OK);
  }
  static std::vector<LONG> Ids(LPMAPITABLE t, LONG n = 100) {
    LPSRowSet rows = nullptr;
    EXPECT_EQ(t->QueryRows(n, 0, &rows), S_OK);
    std::vector<LONG> ids;
    for (ULONG i = 0; rows && i < rows->cRows; ++i) ids.push_back(rows->aRow[i].lpProps[0].Value.l);
    FreeProws(rows);
    return ids;
  }
  LPTABLEDATA data_ = nullptr;
};

TEST_F(TableTest, ViewsSortRestrictPageAndFind) {
  Put(1, "beta", 1);
  Put(2, "Alpha", 2);
  Put(3, "gamma", 1);
  Put(2, "alpha", 0);  // replaces row 2
  LPMAPITABLE view = nullptr;
  ASSERT_EQ(data_->HrGetView(nullptr, nullptr, 0, &view), S_OK);
  ULONG count = 0;
  view->GetRowCount(0, &count);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(Ids(view), (std::vector<LONG>{1, 2, 3}));
  SizedSSortOrderSet<2> sort;
  sort.aSort[0] = {PR_IMPORTANCE, TABLE_SORT_DESCEND};
  sort.aSort[1] = {PR_SUBJECT, TABLE_SORT_ASCEND};
  ASSERT_EQ(view->SortTable(sort.get(), 0), S_OK);
  EXPECT_EQ(Ids(view, 2), (std::vector<LONG>{1, 3}));
  EXPECT_EQ(Ids(view, 2), (std::vector<LONG>{2}));
  EXPECT_EQ(Ids(view, 2), std::vector<LONG>{});         // past the end: nothing more
  EXPECT_EQ(Ids(view, -2), (std::vector<LONG>{3, 2}));  // backward from the end
  LONG sought = 0;
  view->SeekRow(BOOKMARK_BEGINNING, 5, &sought);
  EXPECT_EQ(sought, 3);
  // FindRow with an AND of two equality restrictions.
  SPropValue imp = Long(PR_IMPORTANCE, 1), subj = Str(PR_SUBJECT, "GAMMA");
  SRestriction both[2] = {Prop(RELOP_EQ, &imp), Prop(RELOP_EQ, &subj)};
  SRestriction res{};
  res.rt = RES_AND;
  res.res.resAnd = {2, both};
  ASSERT_EQ(view->FindRow(&res, BOOKMARK_BEGINNING, 0), S_OK);
  EXPECT_EQ(Ids(view, 1), (std::vector<LONG>{3}));
  EXPECT_EQ(view->FindRow(&res, BOOKMARK_CURRENT, 0), MAPI_E_NOT_FOUND);
  ASSERT_EQ(view->Restrict(&both[0], 0), S_OK);
  EXPECT_EQ(Ids(view), (std::vector<LONG>{1, 3}));
  ASSERT_EQ(view->Restrict(nullptr, 0), S_OK);
  view->GetRowCount(0, &count);
  EXPECT_EQ(count, 3u);
  // Columns: a missing one is PT_ERROR, strings convert to the asked width.
  SizedSPropTagArray<2> cols;
  cols.aulPropTag[0] = CHANGE_PROP_TYPE(PR_SUBJECT, PT_UNICODE);
  cols.aulPropTag[1] = PR_BODY;
  ASSERT_EQ(view->SetColumns(cols.get(), TBL_BATCH), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(view->QueryRows(1, TBL_NOADVANCE, &rows), S_OK);
  EXPECT_EQ(std::u16string(rows->aRow[0].lpProps[0].Value.lpszW), u"beta");  // still sorted
  EXPECT_EQ(rows->aRow[0].lpProps[1].ulPropTag, CHANGE_PROP_TYPE(PR_BODY, PT_ERROR));
  EXPECT_EQ(rows->aRow[0].lpProps[1].Value.err, MAPI_E_NOT_FOUND);
  FreeProws(rows);
  SizedSSortOrderSet<1> cat;
  cat.cCategories = 1;
  cat.aSort[0] = {PR_IMPORTANCE, TABLE_SORT_ASCEND};
  EXPECT_EQ(view->SortTable(cat.get(), 0), MAPI_E_TOO_COMPLEX);  // categories are not offered
  view->Release();
}

TEST_F(TableTest, BookmarksAndCursorFollowTheirRows) {
  for (LONG i = 1; i <= 5; ++i) Put(i * 10, "x", 0);
  LPMAPITABLE view = nullptr;
  ASSERT_EQ(data_->HrGetView(nullptr, nullptr, 0, &view), S_OK);
  view->SeekRow(BOOKMARK_BEGINNING, 2, nullptr);  // at row 30
  BOOKMARK bk = 0;
  ASSERT_EQ(view->CreateBookmark(&bk), S_OK);
  SPropValue del = Long(PR_ROWID, 10);
  ASSERT_EQ(data_->HrDeleteRow(&del), S_OK);
  Put(5, "x", 0);  // sorts first by insertion: after all others, at the end
  EXPECT_EQ(Ids(view, 1), (std::vector<LONG>{30}));
  ASSERT_EQ(view->SeekRow(bk, 0, nullptr), S_OK);
  EXPECT_EQ(Ids(view, 1), (std::vector<LONG>{30}));
  SPropValue gone = Long(PR_ROWID, 30);
  ASSERT_EQ(data_->HrDeleteRow(&gone), S_OK);
  ASSERT_EQ(view->SeekRow(bk, 0, nullptr), S_OK);  // now at the row that followed
  EXPECT_EQ(Ids(view, 1), (std::vector<LONG>{40}));
  EXPECT_EQ(view->FreeBookmark(bk), S_OK);
  EXPECT_EQ(view->FreeBookmark(bk), MAPI_E_INVALID_BOOKMARK);
  EXPECT_EQ(view->SeekRow(bk, 0, nullptr), MAPI_E_INVALID_BOOKMARK);
  EXPECT_EQ(data_->HrDeleteRow(&gone), MAPI_E_NOT_FOUND);
  LPSRow row = nullptr;
  ULONG at = 0;
  SPropValue q = Long(PR_ROWID, 5);
  ASSERT_EQ(data_->HrQueryRow(&q, &row, &at), S_OK);
  EXPECT_EQ(at, 3u);
  MAPIFreeBuffer(row);
  view->Release();
}

TEST_F(TableTest, NotificationsArriveInOrderOnAnotherThreadAndStopAfterUnadvise) {
  LPMAPITABLE view = nullptr;
  ASSERT_EQ(data_->HrGetView(nullptr, nullptr, 0, &view), S_OK);
  struct Seen {
    std::vector<std::pair<ULONG, LONG>> events;
    std::thread::id thread;
  } seen;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&seen](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  for (ULONG i = 0; i < n; ++i)
                    seen.events.emplace_back(notes[i].info.tab.ulTableEvent, notes[i].info.tab.propIndex.Value.l);
                  seen.thread = std::this_thread::get_id();
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(view->Advise(fnevTableModified, sink, &conn), S_OK);
  std::thread writer([this] {
    Put(1, "a", 0);
    Put(2, "b", 0);
    Put(1, "a2", 0);
    SPropValue del = Long(PR_ROWID, 2);
    data_->HrDeleteRow(&del);
  });
  writer.join();
  NotifyQueue::Instance().Flush();
  EXPECT_EQ(seen.events,
            (std::vector<std::pair<ULONG, LONG>>{
                {TABLE_ROW_ADDED, 1}, {TABLE_ROW_ADDED, 2}, {TABLE_ROW_MODIFIED, 1}, {TABLE_ROW_DELETED, 2}}));
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  ASSERT_EQ(view->Unadvise(conn), S_OK);
  Put(3, "c", 0);
  NotifyQueue::Instance().Flush();
  EXPECT_EQ(seen.events.size(), 4u);
  sink->Release();
  view->Release();
}

TEST_F(TableTest, QueryAllRowsWithRestrictionAndSort) {
  for (LONG i = 0; i < 50; ++i) Put(i, i % 2 ? "odd" : "even", i);
  LPMAPITABLE view = nullptr;
  ASSERT_EQ(data_->HrGetView(nullptr, nullptr, 0, &view), S_OK);
  SizedSPropTagArray<1> cols;
  cols.aulPropTag[0] = PR_ROWID;
  SPropValue odd = Str(PR_SUBJECT, "odd");
  SRestriction res = Prop(RELOP_EQ, &odd);
  SizedSSortOrderSet<1> sort;
  sort.aSort[0] = {PR_IMPORTANCE, TABLE_SORT_DESCEND};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(view, cols.get(), &res, sort.get(), 0, &rows), S_OK);
  ASSERT_EQ(rows->cRows, 25u);
  EXPECT_EQ(rows->aRow[0].lpProps[0].Value.l, 49);
  EXPECT_EQ(rows->aRow[24].lpProps[0].Value.l, 1);
  FreeProws(rows);
  view->Release();
}

}  // namespace
}  // namespace vantrel::mapi
