// The tables of sessions and profile administration (message stores,
// status, profiles, services, providers) are snapshots built from the
// profile: rows as property lists, turned into table data with an index
// column PR_ROWID and handed out as views.
#pragma once

#include <vector>

#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/ProfileStore.h"

namespace vantrel::mapi {

using TableRows = std::vector<ProfProps>;

// The rows with exactly these columns (PT_ERROR / MAPI_E_NOT_FOUND for a
// column a row lacks), in one MAPI allocation per row as FreeProws expects.
HRESULT RowsToRowSet(const std::vector<ULONG>& columns, const TableRows& rows, LPSRowSet* out);
// A table over the rows; its columns are PR_ROWID and `columns`.
HRESULT RowsToTable(const std::vector<ULONG>& columns, const TableRows& rows, IMAPITable** out);

}  // namespace vantrel::mapi
