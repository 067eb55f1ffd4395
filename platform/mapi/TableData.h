// Table data and its views: CreateTable makes an ITableData whose rows are
// keyed by an index column; HrGetView gives IMAPITable views with their own
// columns, sort order, restriction, cursor and bookmarks, kept current as
// rows change and notifying their advise sinks. Also HrQueryAllRows.
#pragma once

#include <functional>
#include <vector>

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/NotificationThread.h"
#include "platform/mapi/Restriction.h"

inline constexpr ULONG TAD_ALL_ROWS = 0x00000001;

// lpInterface must be null or IID_IMAPITableData; the allocators are the
// MAPI ones (others are accepted and ignored: views always answer with
// MAPI memory). ulTableType is TBLTYPE_SNAPSHOT, KEYSET or DYNAMIC.
SCODE CreateTable(LPCIID lpInterface, LPALLOCATEBUFFER lpAllocateBuffer, LPALLOCATEMORE lpAllocateMore,
                  LPFREEBUFFER lpFreeBuffer, LPVOID lpvReserved, ULONG ulTableType, ULONG ulPropTagIndexColumn,
                  LPSPropTagArray lpSPropTagArrayColumns, LPTABLEDATA* lppTableData);

// Sets the columns, restriction and sort order, then reads every row
// (at most crowsMax when it is above 0).
HRESULT HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                       LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows);

namespace vantrel::mapi {

// Row-level hooks for a table's owner: the sub-restriction evaluator that
// views use for RES_SUBRESTRICTION (set before views are made).
void SetSubRestriction(
    LPTABLEDATA table,
    std::function<bool(const SPropValue* row, ULONG count, ULONG sub_object, const SRestriction& res)> fn);

}  // namespace vantrel::mapi
