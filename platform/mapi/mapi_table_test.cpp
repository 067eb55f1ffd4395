#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
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
  SizedSSortOrderSet<1> bad;
  bad.cCategories = 2;  // more categories than sort keys
  bad.aSort[0] = {PR_IMPORTANCE, TABLE_SORT_ASCEND};
  EXPECT_EQ(view->SortTable(bad.get(), 0), MAPI_E_INVALID_PARAMETER);
  view->Release();
}

// Large one-column sorts take a faster path; the order must be the same:
// values in order (negative numbers first), missing values first when
// ascending and last when descending, ties in insertion order.
TEST_F(TableTest, LargeSortsKeepTheOrderOfSmallOnes) {
  std::vector<LONG> value(2000);
  for (LONG i = 0; i < 2000; ++i) {
    value[static_cast<size_t>(i)] = (i * 7919) % 13 - 6;  // -6..6, every value many times
    if (i % 97 == 0) {
      SPropValue v = Long(PR_ROWID, i);  // no importance
      SRow row{0, 1, &v};
      ASSERT_EQ(data_->HrModifyRow(&row), S_OK);
    } else {
      Put(i, "x", value[static_cast<size_t>(i)]);
    }
  }
  for (ULONG order : {TABLE_SORT_ASCEND, TABLE_SORT_DESCEND}) {
    LPMAPITABLE view = nullptr;
    ASSERT_EQ(data_->HrGetView(nullptr, nullptr, 0, &view), S_OK);
    SizedSSortOrderSet<1> sort;
    sort.aSort[0] = {PR_IMPORTANCE, order};
    ASSERT_EQ(view->SortTable(sort.get(), 0), S_OK);
    std::vector<LONG> ids = Ids(view, 5000);
    ASSERT_EQ(ids.size(), 2000u);
    // The key of a row, ordered as the sort orders it: missing smallest.
    auto key = [&](LONG id) { return id % 97 == 0 ? -100 : value[static_cast<size_t>(id)]; };
    for (size_t i = 1; i < ids.size(); ++i) {
      LONG a = key(ids[i - 1]), b = key(ids[i]);
      if (order == TABLE_SORT_DESCEND) std::swap(a, b);
      ASSERT_LE(a, b) << i;
      if (a == b) {
        ASSERT_LT(ids[i - 1], ids[i]) << i;  // ties in insertion order
      }
    }
    view->Release();
  }
}

// A categorised view's row as (type, depth, id or count): leaves give their
// PR_ROWID, headings PR_CONTENT_COUNT.
struct Shown {
  LONG type, depth, value, unread;
  bool operator==(const Shown& o) const {
    return type == o.type && depth == o.depth && value == o.value && unread == o.unread;
  }
};
std::ostream& operator<<(std::ostream& os, const Shown& r) {
  return os << "{" << r.type << "," << r.depth << "," << r.value << "," << r.unread << "}";
}
constexpr LONG kLeaf = TBL_LEAF_ROW, kOpen = TBL_EXPANDED_CATEGORY, kShut = TBL_COLLAPSED_CATEGORY;

class CategoryTest : public TableTest {
 protected:
  void PutRead(LONG id, const char* subject, LONG importance, bool read) {
    SPropValue v[4] = {Long(PR_ROWID, id), Str(PR_SUBJECT, subject), Long(PR_IMPORTANCE, importance),
                       Long(PR_MESSAGE_FLAGS, read ? MSGFLAG_READ : 0)};
    SRow row{0, 4, v};
    ASSERT_EQ(data_->HrModifyRow(&row), S_OK);
  }
  void SetUp() override {
    TableTest::SetUp();
    PutRead(1, "a", 1, true);
    PutRead(2, "b", 2, false);
    PutRead(3, "a", 2, true);
    PutRead(4, "c", 1, false);
    PutRead(5, "b", 1, false);
  }
  // Opens a view sorted by importance (then subject when `two`), then id.
  LPMAPITABLE Open(ULONG categories, ULONG expanded) {
    LPMAPITABLE view = nullptr;
    EXPECT_EQ(data_->HrGetView(nullptr, nullptr, 0, &view), S_OK);
    SizedSPropTagArray<6> cols;
    const ULONG tags[] = {PR_ROW_TYPE, PR_DEPTH, PR_ROWID, PR_CONTENT_COUNT, PR_CONTENT_UNREAD, PR_INSTANCE_KEY};
    std::copy(std::begin(tags), std::end(tags), cols.aulPropTag);
    EXPECT_EQ(view->SetColumns(cols.get(), 0), S_OK);
    SizedSSortOrderSet<3> sort;
    sort.cSorts = categories == 2 ? 3 : 2;
    sort.cCategories = categories;
    sort.cExpanded = expanded;
    sort.aSort[0] = {PR_IMPORTANCE, TABLE_SORT_ASCEND};
    sort.aSort[1] = {categories == 2 ? PR_SUBJECT : PR_ROWID, TABLE_SORT_ASCEND};
    sort.aSort[2] = {PR_ROWID, TABLE_SORT_ASCEND};
    EXPECT_EQ(view->SortTable(sort.get(), 0), S_OK);
    return view;
  }
  static Shown Of(const SRow& r) {
    LONG type = r.lpProps[0].Value.l;
    bool leaf = type == kLeaf;
    return {type, r.lpProps[1].Value.l, leaf ? r.lpProps[2].Value.l : r.lpProps[3].Value.l,
            leaf ? -1 : r.lpProps[4].Value.l};
  }
  // Reads every shown row from the start; keys[i] is row i's instance key.
  std::vector<Shown> All(LPMAPITABLE view) {
    keys_.clear();
    view->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    LPSRowSet rows = nullptr;
    EXPECT_EQ(view->QueryRows(1000, 0, &rows), S_OK);
    std::vector<Shown> out;
    for (ULONG i = 0; rows && i < rows->cRows; ++i) {
      out.push_back(Of(rows->aRow[i]));
      const SPropValue& k = rows->aRow[i].lpProps[5];
      keys_.push_back(PROP_TYPE(k.ulPropTag) == PT_BINARY
                          ? std::vector<BYTE>(k.Value.bin.lpb, k.Value.bin.lpb + k.Value.bin.cb)
                          : std::vector<BYTE>{});
    }
    FreeProws(rows);
    ULONG count = 0;
    view->GetRowCount(0, &count);
    EXPECT_EQ(count, out.size());
    return out;
  }
  std::vector<std::vector<BYTE>> keys_;
};

TEST_F(CategoryTest, OneCategoryHeadingsCountsAndExpandCollapse) {
  LPMAPITABLE view = Open(1, 1);
  EXPECT_EQ(All(view), (std::vector<Shown>{{kOpen, 0, 3, 2},
                                           {kLeaf, 1, 1, -1},
                                           {kLeaf, 1, 4, -1},
                                           {kLeaf, 1, 5, -1},
                                           {kOpen, 0, 2, 1},
                                           {kLeaf, 1, 2, -1},
                                           {kLeaf, 1, 3, -1}}));
  std::vector<BYTE> first = keys_[0];
  // The cursor and a bookmark on row 4, which the collapse hides: both move
  // to the next row shown, the second heading.
  view->SeekRow(BOOKMARK_BEGINNING, 2, nullptr);
  BOOKMARK bk = 0;
  ASSERT_EQ(view->CreateBookmark(&bk), S_OK);
  ULONG removed = 0;
  ASSERT_EQ(view->CollapseRow(static_cast<ULONG>(first.size()), first.data(), 0, &removed), S_OK);
  EXPECT_EQ(removed, 3u);
  ULONG row = 99;
  view->QueryPosition(&row, nullptr, nullptr);
  EXPECT_EQ(row, 1u);
  ASSERT_EQ(view->SeekRow(bk, 0, nullptr), S_OK);
  LPSRowSet rows = nullptr;
  ASSERT_EQ(view->QueryRows(1, TBL_NOADVANCE, &rows), S_OK);
  EXPECT_EQ(Of(rows->aRow[0]), (Shown{kOpen, 0, 2, 1}));
  FreeProws(rows);
  EXPECT_EQ(All(view), (std::vector<Shown>{{kShut, 0, 3, 2}, {kOpen, 0, 2, 1}, {kLeaf, 1, 2, -1}, {kLeaf, 1, 3, -1}}));
  ASSERT_EQ(view->CollapseRow(static_cast<ULONG>(first.size()), first.data(), 0, &removed), S_OK);
  EXPECT_EQ(removed, 0u);  // already collapsed
  // Expanding returns the first rows it adds and the count of all it adds;
  // the cursor follows the rows returned.
  ULONG more = 0;
  ASSERT_EQ(view->ExpandRow(static_cast<ULONG>(first.size()), first.data(), 2, 0, &rows, &more), S_OK);
  ASSERT_EQ(rows->cRows, 2u);
  EXPECT_EQ(Of(rows->aRow[0]), (Shown{kLeaf, 1, 1, -1}));
  EXPECT_EQ(Of(rows->aRow[1]), (Shown{kLeaf, 1, 4, -1}));
  EXPECT_EQ(more, 3u);
  FreeProws(rows);
  ASSERT_EQ(view->QueryRows(1, 0, &rows), S_OK);
  EXPECT_EQ(Of(rows->aRow[0]), (Shown{kLeaf, 1, 5, -1}));
  FreeProws(rows);
  BYTE unknown[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x77, 0, 0, 0};
  EXPECT_EQ(view->ExpandRow(8, unknown, 0, 0, nullptr, &more), MAPI_E_NOT_FOUND);
  EXPECT_EQ(view->CollapseRow(8, unknown, 0, &removed), MAPI_E_NOT_FOUND);
  LPSSortOrderSet order = nullptr;
  ASSERT_EQ(view->QuerySortOrder(&order), S_OK);
  EXPECT_EQ(order->cCategories, 1u);
  EXPECT_EQ(order->cExpanded, 1u);
  MAPIFreeBuffer(order);
  view->Release();
  // cExpanded 0: the top headings alone.
  view = Open(1, 0);
  EXPECT_EQ(All(view), (std::vector<Shown>{{kShut, 0, 3, 2}, {kShut, 0, 2, 1}}));
  view->Release();
}

TEST_F(CategoryTest, TwoCategoriesKeepTheInnerStateAcrossCollapse) {
  LPMAPITABLE view = Open(2, 1);
  // Subjects without regard to case: "a" under importance 1 and 2 are
  // separate categories of the second level.
  EXPECT_EQ(All(view), (std::vector<Shown>{{kOpen, 0, 3, 2},
                                           {kShut, 1, 1, 0},
                                           {kShut, 1, 1, 1},
                                           {kShut, 1, 1, 1},
                                           {kOpen, 0, 2, 1},
                                           {kShut, 1, 1, 0},
                                           {kShut, 1, 1, 1}}));
  std::vector<BYTE> top = keys_[0], inner = keys_[1];
  ULONG more = 0, removed = 0;
  ASSERT_EQ(view->ExpandRow(static_cast<ULONG>(inner.size()), inner.data(), 0, 0, nullptr, &more), S_OK);
  EXPECT_EQ(more, 1u);
  ULONG row = 99;
  view->QueryPosition(&row, nullptr, nullptr);
  EXPECT_EQ(row, 2u);  // no rows asked for: just after the heading
  ASSERT_EQ(view->CollapseRow(static_cast<ULONG>(top.size()), top.data(), 0, &removed), S_OK);
  EXPECT_EQ(removed, 4u);
  ASSERT_EQ(view->ExpandRow(static_cast<ULONG>(top.size()), top.data(), 0, 0, nullptr, &more), S_OK);
  EXPECT_EQ(more, 4u);
  EXPECT_EQ(All(view), (std::vector<Shown>{{kOpen, 0, 3, 2},
                                           {kOpen, 1, 1, 0},
                                           {kLeaf, 2, 1, -1},
                                           {kShut, 1, 1, 1},
                                           {kShut, 1, 1, 1},
                                           {kOpen, 0, 2, 1},
                                           {kShut, 1, 1, 0},
                                           {kShut, 1, 1, 1}}));
  view->Release();
}

TEST_F(CategoryTest, CollapseStateCarriesToAnotherView) {
  LPMAPITABLE view = Open(2, 2);
  All(view);
  // Collapse importance 1's "b" (row 3) and the whole of importance 2 (row 7).
  std::vector<BYTE> b = keys_[3], two = keys_[7];
  ULONG removed = 0;
  ASSERT_EQ(view->CollapseRow(static_cast<ULONG>(b.size()), b.data(), 0, &removed), S_OK);
  ASSERT_EQ(view->CollapseRow(static_cast<ULONG>(two.size()), two.data(), 0, &removed), S_OK);
  std::vector<Shown> want = All(view);
  ULONG cb = 0;
  LPBYTE blob = nullptr;
  ASSERT_EQ(view->GetCollapseState(0, static_cast<ULONG>(two.size()), two.data(), &cb, &blob), S_OK);

  LPMAPITABLE other = Open(2, 2);
  BOOKMARK at = 0;
  ASSERT_EQ(other->SetCollapseState(0, cb, blob, &at), S_OK);
  EXPECT_EQ(All(other), want);
  ASSERT_EQ(other->SeekRow(at, 0, nullptr), S_OK);
  ULONG row = 0;
  other->QueryPosition(&row, nullptr, nullptr);
  EXPECT_EQ(row, static_cast<ULONG>(want.size() - 1));  // the importance 2 heading, last now
  // Damaged or foreign states are refused, every length checked.
  for (ULONG n = 0; n < cb; ++n) EXPECT_EQ(other->SetCollapseState(0, n, blob, &at), MAPI_E_INVALID_PARAMETER) << n;
  LPMAPITABLE one = Open(1, 1);
  EXPECT_EQ(one->SetCollapseState(0, cb, blob, &at), MAPI_E_INVALID_PARAMETER);
  MAPIFreeBuffer(blob);
  one->Release();
  other->Release();
  view->Release();
}

TEST_F(CategoryTest, ChangesUpdateHeadingsAndNotify) {
  LPMAPITABLE view = Open(1, 1);
  All(view);
  std::vector<BYTE> first = keys_[0];
  ULONG removed = 0;
  ASSERT_EQ(view->CollapseRow(static_cast<ULONG>(first.size()), first.data(), 0, &removed), S_OK);
  // (event, row id or -1 for a heading, heading count or -1)
  std::vector<std::tuple<ULONG, LONG, LONG>> seen;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&seen](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  for (ULONG i = 0; i < n; ++i) {
                    const auto& t = notes[i].info.tab;
                    bool heading = t.propIndex.ulPropTag == PR_INSTANCE_KEY;
                    LONG count = heading && t.row.cValues ? t.row.lpProps[3].Value.l : -1;
                    seen.emplace_back(t.ulTableEvent, heading ? -1 : t.propIndex.Value.l, count);
                  }
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(view->Advise(fnevTableModified, sink, &conn), S_OK);
  PutRead(6, "d", 1, false);  // into the collapsed category: its heading alone changes
  PutRead(7, "e", 3, false);  // a new category, expanded from the start
  SPropValue gone = Long(PR_ROWID, 7);
  ASSERT_EQ(data_->HrDeleteRow(&gone), S_OK);
  PutRead(2, "b", 1, false);  // moves from the second category into the first
  NotifyQueue::Instance().Flush();
  using E = std::tuple<ULONG, LONG, LONG>;
  EXPECT_EQ(seen,
            (std::vector<E>{E{TABLE_ROW_MODIFIED, -1, 4}, E{TABLE_ROW_ADDED, -1, 1}, E{TABLE_ROW_ADDED, 7, -1},
                            E{TABLE_ROW_DELETED, -1, -1}, E{TABLE_ROW_DELETED, 7, -1}, E{TABLE_ROW_DELETED, 2, -1},
                            E{TABLE_ROW_MODIFIED, -1, 5}, E{TABLE_ROW_MODIFIED, -1, 1}}));
  EXPECT_EQ(All(view), (std::vector<Shown>{{kShut, 0, 5, 4}, {kOpen, 0, 1, 0}, {kLeaf, 1, 3, -1}}));
  seen.clear();
  SPropValue three = Long(PR_ROWID, 3);
  ASSERT_EQ(data_->HrNotify(0, 1, &three), S_OK);  // the row itself, unchanged
  NotifyQueue::Instance().Flush();
  EXPECT_EQ(seen, (std::vector<E>{E{TABLE_ROW_MODIFIED, 3, -1}}));
  // Removing the last row of a category removes its heading.
  ASSERT_EQ(data_->HrDeleteRow(&three), S_OK);
  EXPECT_EQ(All(view), (std::vector<Shown>{{kShut, 0, 5, 4}}));
  ASSERT_EQ(view->Unadvise(conn), S_OK);
  NotifyQueue::Instance().Flush();  // what was posted before Unadvise still reaches `seen`
  sink->Release();
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
  // HrInsertRow places its row: views show it there, also once the
  // numbering between two neighbours runs out.
  for (LONG i = 0; i < 20; ++i) {
    SPropValue v = Long(PR_ROWID, 100 + i);
    SRow r{0, 1, &v};
    ASSERT_EQ(data_->HrInsertRow(1, &r), S_OK);
  }
  view->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
  std::vector<LONG> all = Ids(view);
  ASSERT_EQ(all.size(), 24u);
  EXPECT_EQ((std::vector<LONG>(all.begin(), all.begin() + 3)), (std::vector<LONG>{20, 119, 118}));
  EXPECT_EQ((std::vector<LONG>(all.end() - 4, all.end())), (std::vector<LONG>{100, 40, 50, 5}));
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
                  NotifyQueue::Instance().Flush();  // on the delivering thread: must not wait for itself
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
