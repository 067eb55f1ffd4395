// The tables of sessions and profile administration (message stores,
// status, profiles, services, providers) are snapshots built from the
// profile: rows as property lists, handed out as read-only tables.
#pragma once

#include <vector>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/ProfileStore.h"

namespace vantrel::mapi {

using TableRows = std::vector<ProfProps>;

// The rows with exactly these columns (PT_ERROR / MAPI_E_NOT_FOUND for a
// column a row lacks), in one MAPI allocation per row as FreeProws expects.
HRESULT RowsToRowSet(const std::vector<ULONG>& columns, const TableRows& rows, LPSRowSet* out);
// A table over the rows (table data with the index column PR_ROWID, seen
// through a view whose columns are `columns`), a snapshot taken now.
HRESULT RowsToTable(const std::vector<ULONG>& columns, const TableRows& rows, IMAPITable** out);

}  // namespace vantrel::mapi
