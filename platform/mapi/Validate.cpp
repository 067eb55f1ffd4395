#include "platform/mapi/Validate.h"

namespace vantrel::mapi {

namespace {

constexpr ULONG kTableAsyncFlags = TBL_ASYNC | TBL_BATCH;
// Published sort-order bits beyond ascending/descending/combine: the
// maximum and minimum category sorts.
constexpr ULONG kSortOrderBits = TABLE_SORT_DESCEND | TABLE_SORT_COMBINE | 0x4 | 0x8;
// Nesting beyond this is refused rather than walked (the codec's limit).
constexpr int kMaxDepth = 64;
constexpr ULONG kAllEvents = fnevCriticalError | fnevNewMail | fnevObjectCreated | fnevObjectDeleted |
                             fnevObjectModified | fnevObjectMoved | fnevObjectCopied | fnevSearchComplete |
                             fnevTableModified | fnevStatusObjectModified | fnevReservedForMapi |
                             fnevExtended;

bool BadTag(ULONG tag) { return PROP_TYPE(tag) == PT_ERROR; }

bool BadRestriction(const SRestriction* res, int depth) {
  if (!res || depth > kMaxDepth) return true;
  switch (res->rt) {
    case RES_AND:
    case RES_OR: {
      const SAndRestriction& a = res->res.resAnd;  // same shape as resOr
      if (a.cRes && !a.lpRes) return true;
      for (ULONG i = 0; i < a.cRes; ++i)
        if (BadRestriction(&a.lpRes[i], depth + 1)) return true;
      return false;
    }
    case RES_NOT:
      return BadRestriction(res->res.resNot.lpRes, depth + 1);
    case RES_CONTENT: {
      const SContentRestriction& c = res->res.resContent;
      ULONG type = PROP_TYPE(c.ulPropTag) & ~MV_FLAG;
      if (!c.lpProp) return true;
      return type != PT_STRING8 && type != PT_UNICODE && type != PT_BINARY;
    }
    case RES_PROPERTY: {
      const SPropertyRestriction& p = res->res.resProperty;
      return !p.lpProp || p.relop > RELOP_RE || BadTag(p.ulPropTag);
    }
    case RES_COMPAREPROPS: {
      const SComparePropsRestriction& c = res->res.resCompareProps;
      return c.relop > RELOP_RE || BadTag(c.ulPropTag1) || BadTag(c.ulPropTag2);
    }
    case RES_BITMASK:
      return res->res.resBitMask.relBMR > BMR_NEZ;
    case RES_SIZE:
      return res->res.resSize.relop > RELOP_RE;
    case RES_EXIST:
      return BadTag(res->res.resExist.ulPropTag);
    case RES_SUBRESTRICTION:
      return BadRestriction(res->res.resSub.lpRes, depth + 1);
    case RES_COMMENT: {
      const SCommentRestriction& c = res->res.resComment;
      if (c.cValues && !c.lpProp) return true;
      return c.lpRes && BadRestriction(c.lpRes, depth + 1);
    }
    default:
      return true;
  }
}

HRESULT Unknown(ULONG flags, ULONG allowed) { return (flags & ~allowed) ? MAPI_E_UNKNOWN_FLAGS : S_OK; }

}  // namespace

bool FBadColumnSet(const SPropTagArray* tags) {
  if (!tags || tags->cValues == 0) return true;
  for (ULONG i = 0; i < tags->cValues; ++i)
    if (BadTag(tags->aulPropTag[i])) return true;
  return false;
}

bool FBadRestriction(const SRestriction* res) { return BadRestriction(res, 0); }

bool FBadSortOrderSet(const SSortOrderSet* sort) {
  if (!sort || sort->cCategories > sort->cSorts || sort->cExpanded > sort->cCategories) return true;
  for (ULONG i = 0; i < sort->cSorts; ++i) {
    if (sort->aSort[i].ulOrder & ~kSortOrderBits) return true;
    if (BadTag(sort->aSort[i].ulPropTag)) return true;
  }
  return false;
}

}  // namespace vantrel::mapi

using vantrel::mapi::Method;
using vantrel::mapi::MethodId;

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_GetLastError>, HRESULT, ULONG ulFlags,
                             LPMAPIERROR* lppMAPIError) {
  if (!lppMAPIError) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, MAPI_UNICODE);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_Advise>, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink,
                             ULONG* lpulConnection) {
  if (!lpAdviseSink || !lpulConnection || ulEventMask == 0) return MAPI_E_INVALID_PARAMETER;
  return S_OK;
}

// Connection numbers of this platform start at 0, so every value is one.
HRESULT HrValidateParameters(Method<MethodId::IMAPITable_Unadvise>, ULONG) { return S_OK; }

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_GetStatus>, ULONG* lpulTableStatus, ULONG* lpulTableType) {
  return lpulTableStatus && lpulTableType ? S_OK : MAPI_E_INVALID_PARAMETER;
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_SetColumns>, LPSPropTagArray lpPropTagArray, ULONG ulFlags) {
  if (vantrel::mapi::FBadColumnSet(lpPropTagArray)) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, vantrel::mapi::kTableAsyncFlags);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_QueryColumns>, ULONG ulFlags,
                             LPSPropTagArray* lppPropTagArray) {
  if (!lppPropTagArray) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, TBL_ALL_COLUMNS);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_GetRowCount>, ULONG, ULONG* lpulCount) {
  return lpulCount ? S_OK : MAPI_E_INVALID_PARAMETER;
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_SeekRow>, BOOKMARK, LONG, LONG*) { return S_OK; }

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_SeekRowApprox>, ULONG ulNumerator, ULONG ulDenominator) {
  (void)ulNumerator;
  return ulDenominator == 0 ? MAPI_E_INVALID_PARAMETER : S_OK;
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_QueryPosition>, ULONG* lpulRow, ULONG* lpulNumerator,
                             ULONG* lpulDenominator) {
  return lpulRow && lpulNumerator && lpulDenominator ? S_OK : MAPI_E_INVALID_PARAMETER;
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_FindRow>, LPSRestriction lpRestriction, BOOKMARK,
                             ULONG ulFlags) {
  if (vantrel::mapi::FBadRestriction(lpRestriction)) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, DIR_BACKWARD);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_Restrict>, LPSRestriction lpRestriction, ULONG ulFlags) {
  // A null restriction lifts the current one.
  if (lpRestriction && vantrel::mapi::FBadRestriction(lpRestriction)) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, vantrel::mapi::kTableAsyncFlags);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_CreateBookmark>, BOOKMARK* lpbkPosition) {
  return lpbkPosition ? S_OK : MAPI_E_INVALID_PARAMETER;
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_FreeBookmark>, BOOKMARK) { return S_OK; }

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_SortTable>, LPSSortOrderSet lpSortCriteria, ULONG ulFlags) {
  if (vantrel::mapi::FBadSortOrderSet(lpSortCriteria)) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, vantrel::mapi::kTableAsyncFlags);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_QuerySortOrder>, LPSSortOrderSet* lppSortCriteria) {
  return lppSortCriteria ? S_OK : MAPI_E_INVALID_PARAMETER;
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_QueryRows>, LONG, ULONG ulFlags, LPSRowSet* lppRows) {
  if (!lppRows) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, TBL_NOADVANCE);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_ExpandRow>, ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG,
                             ULONG, LPSRowSet*, ULONG* lpulMoreRows) {
  if (!cbInstanceKey || !pbInstanceKey || !lpulMoreRows) return MAPI_E_INVALID_PARAMETER;
  return S_OK;
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_CollapseRow>, ULONG cbInstanceKey, LPBYTE pbInstanceKey,
                             ULONG ulFlags, ULONG*) {
  if (!cbInstanceKey || !pbInstanceKey) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, 0);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_WaitForCompletion>, ULONG ulFlags, ULONG, ULONG*) {
  return vantrel::mapi::Unknown(ulFlags, 0);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_GetCollapseState>, ULONG ulFlags, ULONG cbInstanceKey,
                             LPBYTE lpbInstanceKey, ULONG* lpcbCollapseState, LPBYTE* lppbCollapseState) {
  if ((cbInstanceKey && !lpbInstanceKey) || !lpcbCollapseState || !lppbCollapseState) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, 0);
}

HRESULT HrValidateParameters(Method<MethodId::IMAPITable_SetCollapseState>, ULONG ulFlags, ULONG cbCollapseState,
                             LPBYTE pbCollapseState, BOOKMARK* lpbkLocation) {
  if ((cbCollapseState && !pbCollapseState) || !lpbkLocation) return MAPI_E_INVALID_PARAMETER;
  return vantrel::mapi::Unknown(ulFlags, 0);
}

HRESULT HrValidateParameters(Method<MethodId::IMsgStore_Advise>, ULONG cbEntryID, LPENTRYID lpEntryID,
                             ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection) {
  if ((cbEntryID && !lpEntryID) || !lpAdviseSink || !lpulConnection) return MAPI_E_INVALID_PARAMETER;
  if (ulEventMask == 0 || (ulEventMask & ~vantrel::mapi::kAllEvents)) return MAPI_E_INVALID_PARAMETER;
  return S_OK;
}
