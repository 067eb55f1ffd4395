// The parameter checks the client's proxies run before a remote call.
#include <gtest/gtest.h>

#include <vector>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/Validate.h"

namespace {

using vantrel::mapi::FBadRestriction;
using vantrel::mapi::FBadSortOrderSet;

SRestriction Exist(ULONG tag) {
  SRestriction r{};
  r.rt = RES_EXIST;
  r.res.resExist.ulPropTag = tag;
  return r;
}

TEST(ValidateTest, RestrictionsAreWalkedToTheirLeavesWithinABoundedDepth) {
  SPropValue subject{};
  subject.ulPropTag = PR_SUBJECT_A;
  subject.Value.lpszA = const_cast<LPSTR>("x");
  SRestriction leaves[2] = {Exist(PR_SUBJECT_A), Exist(PR_BODY_A)};

  SRestriction and_ok{};
  and_ok.rt = RES_AND;
  and_ok.res.resAnd = {2, leaves};
  SRestriction and_null{};
  and_null.rt = RES_OR;
  and_null.res.resOr = {2, nullptr};
  SRestriction content{};
  content.rt = RES_CONTENT;
  content.res.resContent = {FL_SUBSTRING, PR_SUBJECT_A, &subject};
  SRestriction content_long = content;
  content_long.res.resContent.ulPropTag = PR_IMPORTANCE;  // no text to search
  SRestriction property{};
  property.rt = RES_PROPERTY;
  property.res.resProperty = {RELOP_EQ, PR_SUBJECT_A, nullptr};
  SRestriction bad_relop{};
  bad_relop.rt = RES_COMPAREPROPS;
  bad_relop.res.resCompareProps = {RELOP_RE + 1, PR_SUBJECT_A, PR_BODY_A};
  SRestriction unknown{};
  unknown.rt = 99;
  SRestriction error_tag = Exist(PROP_TAG(PT_ERROR, 0x0037));

  struct Case {
    const SRestriction* res;
    bool bad;
  } cases[] = {
      {&and_ok, false}, {&and_null, true},  {&content, false}, {&content_long, true}, {&property, true},
      {&bad_relop, true}, {&unknown, true}, {&error_tag, true}, {nullptr, true},
  };
  for (const Case& c : cases) EXPECT_EQ(FBadRestriction(c.res), c.bad) << (c.res ? c.res->rt : 0);

  // A chain of NOTs: accepted while shallow, refused once deeper than the
  // codec would go, never walked without end.
  std::vector<SRestriction> chain(200);
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    chain[i].rt = RES_NOT;
    chain[i].res.resNot.lpRes = &chain[i + 1];
  }
  chain.back() = Exist(PR_SUBJECT_A);
  EXPECT_FALSE(FBadRestriction(&chain[chain.size() - 10]));
  EXPECT_TRUE(FBadRestriction(&chain[0]));
}

TEST(ValidateTest, TableMethodsRefuseMissingOutputsUnknownFlagsAndBadStructures) {
  SizedSPropTagArray<2> cols{2, {PR_SUBJECT_A, PR_ENTRYID}};
  SizedSPropTagArray<1> error_col{1, {PROP_TAG(PT_ERROR, 0x0037)}};
  SizedSSortOrderSet<1> sort;
  sort.aSort[0] = {PR_SUBJECT_A, TABLE_SORT_DESCEND};
  SizedSSortOrderSet<1> too_many_categories;
  too_many_categories.cCategories = 2;
  too_many_categories.aSort[0] = {PR_SUBJECT_A, TABLE_SORT_ASCEND};
  LPSRowSet rows = nullptr;
  ULONG n = 0;

  EXPECT_EQ(HrValidateParameters(IMAPITable_SetColumns, cols.get(), TBL_BATCH), S_OK);
  EXPECT_EQ(HrValidateParameters(IMAPITable_SetColumns, cols.get(), 0x10u), MAPI_E_UNKNOWN_FLAGS);
  EXPECT_EQ(HrValidateParameters(IMAPITable_SetColumns, error_col.get(), 0u), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(HrValidateParameters(IMAPITable_SetColumns, static_cast<LPSPropTagArray>(nullptr), 0u),
            MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(HrValidateParameters(IMAPITable_QueryRows, 50, 0u, &rows), S_OK);
  EXPECT_EQ(HrValidateParameters(IMAPITable_QueryRows, 50, 0u, static_cast<LPSRowSet*>(nullptr)),
            MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(HrValidateParameters(IMAPITable_QueryRows, 50, 0x4u, &rows), MAPI_E_UNKNOWN_FLAGS);
  EXPECT_EQ(HrValidateParameters(IMAPITable_SortTable, sort.get(), 0u), S_OK);
  EXPECT_TRUE(FBadSortOrderSet(too_many_categories.get()));
  EXPECT_EQ(HrValidateParameters(IMAPITable_SortTable, too_many_categories.get(), 0u), MAPI_E_INVALID_PARAMETER);
  // No restriction lifts the table's; FindRow needs one.
  EXPECT_EQ(HrValidateParameters(IMAPITable_Restrict, static_cast<LPSRestriction>(nullptr), 0u), S_OK);
  EXPECT_EQ(HrValidateParameters(IMAPITable_FindRow, static_cast<LPSRestriction>(nullptr), BOOKMARK_BEGINNING, 0u),
            MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(HrValidateParameters(IMAPITable_SeekRowApprox, 1u, 0u), MAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(HrValidateParameters(IMAPITable_GetRowCount, 0u, &n), S_OK);
  // Connection numbers start at 0.
  EXPECT_EQ(HrValidateParameters(IMAPITable_Unadvise, 0u), S_OK);
}

}  // namespace
