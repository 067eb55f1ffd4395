// Views of table data (IMAPITable): their own columns, sort order,
// categories, restriction, cursor and bookmarks, kept current as the
// table's rows change and notifying their advise sinks. Internal to the
// table code.
#pragma once

#include <memory>

#include "platform/mapi/TableState.h"

namespace vantrel::mapi::table {

// A new view of `table`, registered with it; it unregisters itself when
// its last reference goes.
IMAPITable* NewView(const std::shared_ptr<TableState>& table, const SSortOrderSet* sort) REQUIRES(table->mu);

// The sort order a view accepts: no more categories than sort keys, no
// more expanded levels than categories.
bool ValidSort(const SSortOrderSet* sort);

}  // namespace vantrel::mapi::table
