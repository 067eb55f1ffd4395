// The platform's parameter validation for interface methods: the caller names
// the method by its published identifier and passes the arguments it got, in
// order; the check for that method answers S_OK, MAPI_E_INVALID_PARAMETER
// (a missing or malformed argument) or MAPI_E_UNKNOWN_FLAGS.
//
//   if (HRESULT hr = HrValidateParameters(IMAPITable_SetColumns, lpTags, ulFlags); FAILED(hr)) return hr;
//
// Each method identifier has a type of its own, so a call with arguments that
// do not fit the method does not compile.
#pragma once

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiInterfaces.h"

#define VANTREL_VALIDATED_METHODS(X)                                                                    \
  X(IMAPITable_GetLastError) X(IMAPITable_Advise) X(IMAPITable_Unadvise) X(IMAPITable_GetStatus)         \
  X(IMAPITable_SetColumns) X(IMAPITable_QueryColumns) X(IMAPITable_GetRowCount) X(IMAPITable_SeekRow)    \
  X(IMAPITable_SeekRowApprox) X(IMAPITable_QueryPosition) X(IMAPITable_FindRow) X(IMAPITable_Restrict)   \
  X(IMAPITable_CreateBookmark) X(IMAPITable_FreeBookmark) X(IMAPITable_SortTable)                        \
  X(IMAPITable_QuerySortOrder) X(IMAPITable_QueryRows) X(IMAPITable_Abort) X(IMAPITable_ExpandRow)       \
  X(IMAPITable_CollapseRow) X(IMAPITable_WaitForCompletion) X(IMAPITable_GetCollapseState)               \
  X(IMAPITable_SetCollapseState) X(IMsgStore_Advise)

namespace vantrel::mapi {

#define VANTREL_METHOD_ENUM(name) name,
enum class MethodId : int { VANTREL_VALIDATED_METHODS(VANTREL_METHOD_ENUM) };
#undef VANTREL_METHOD_ENUM

// The identifier of one method as a type of its own.
template <MethodId M>
struct Method {
  static constexpr MethodId kId = M;
};

// Structure checks (the published FBad... family): true when malformed.
bool FBadColumnSet(const SPropTagArray* tags);
bool FBadRestriction(const SRestriction* res);
bool FBadSortOrderSet(const SSortOrderSet* sort);

}  // namespace vantrel::mapi

using METHODS = vantrel::mapi::MethodId;
#define VANTREL_METHOD_CONSTANT(name) \
  inline constexpr vantrel::mapi::Method<vantrel::mapi::MethodId::name> name{};
VANTREL_VALIDATED_METHODS(VANTREL_METHOD_CONSTANT)
#undef VANTREL_METHOD_CONSTANT

#define VANTREL_VALIDATE(method, ...) \
  HRESULT HrValidateParameters(vantrel::mapi::Method<vantrel::mapi::MethodId::method>, __VA_ARGS__)

VANTREL_VALIDATE(IMAPITable_GetLastError, HRESULT hResult, ULONG ulFlags, LPMAPIERROR* lppMAPIError);
VANTREL_VALIDATE(IMAPITable_Advise, ULONG ulEventMask, LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection);
VANTREL_VALIDATE(IMAPITable_Unadvise, ULONG ulConnection);
VANTREL_VALIDATE(IMAPITable_GetStatus, ULONG* lpulTableStatus, ULONG* lpulTableType);
VANTREL_VALIDATE(IMAPITable_SetColumns, LPSPropTagArray lpPropTagArray, ULONG ulFlags);
VANTREL_VALIDATE(IMAPITable_QueryColumns, ULONG ulFlags, LPSPropTagArray* lppPropTagArray);
VANTREL_VALIDATE(IMAPITable_GetRowCount, ULONG ulFlags, ULONG* lpulCount);
VANTREL_VALIDATE(IMAPITable_SeekRow, BOOKMARK bkOrigin, LONG lRowCount, LONG* lplRowsSought);
VANTREL_VALIDATE(IMAPITable_SeekRowApprox, ULONG ulNumerator, ULONG ulDenominator);
VANTREL_VALIDATE(IMAPITable_QueryPosition, ULONG* lpulRow, ULONG* lpulNumerator, ULONG* lpulDenominator);
VANTREL_VALIDATE(IMAPITable_FindRow, LPSRestriction lpRestriction, BOOKMARK bkOrigin, ULONG ulFlags);
VANTREL_VALIDATE(IMAPITable_Restrict, LPSRestriction lpRestriction, ULONG ulFlags);
VANTREL_VALIDATE(IMAPITable_CreateBookmark, BOOKMARK* lpbkPosition);
VANTREL_VALIDATE(IMAPITable_FreeBookmark, BOOKMARK bkPosition);
VANTREL_VALIDATE(IMAPITable_SortTable, LPSSortOrderSet lpSortCriteria, ULONG ulFlags);
VANTREL_VALIDATE(IMAPITable_QuerySortOrder, LPSSortOrderSet* lppSortCriteria);
VANTREL_VALIDATE(IMAPITable_QueryRows, LONG lRowCount, ULONG ulFlags, LPSRowSet* lppRows);
VANTREL_VALIDATE(IMAPITable_ExpandRow, ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulRowCount, ULONG ulFlags,
                 LPSRowSet* lppRows, ULONG* lpulMoreRows);
VANTREL_VALIDATE(IMAPITable_CollapseRow, ULONG cbInstanceKey, LPBYTE pbInstanceKey, ULONG ulFlags,
                 ULONG* lpulRowCount);
VANTREL_VALIDATE(IMAPITable_WaitForCompletion, ULONG ulFlags, ULONG ulTimeout, ULONG* lpulTableStatus);
VANTREL_VALIDATE(IMAPITable_GetCollapseState, ULONG ulFlags, ULONG cbInstanceKey, LPBYTE lpbInstanceKey,
                 ULONG* lpcbCollapseState, LPBYTE* lppbCollapseState);
VANTREL_VALIDATE(IMAPITable_SetCollapseState, ULONG ulFlags, ULONG cbCollapseState, LPBYTE pbCollapseState,
                 BOOKMARK* lpbkLocation);
VANTREL_VALIDATE(IMsgStore_Advise, ULONG cbEntryID, LPENTRYID lpEntryID, ULONG ulEventMask,
                 LPMAPIADVISESINK lpAdviseSink, ULONG* lpulConnection);

#undef VANTREL_VALIDATE
