// Table and property helpers over the wrappers.
#pragma once

#include <string>
#include <vector>

#include "Libraries/MapiWrapper/MapiPtr.h"

namespace vantrel::mapiwrapper {

// Sets the columns `tags` on `table` in batch mode (TBL_BATCH).
HRESULT SetColumns(IMAPITable* table, const std::vector<ULONG>& tags);

// Every row of `table` with the columns `tags` (HrQueryAllRows, no row
// limit), optionally restricted and sorted. The first form returns the
// result; the second throws CMAPIException (empty context) on failure.
HRESULT QueryAllRows(IMAPITable* table, const std::vector<ULONG>& tags, const SRestriction* restriction,
                     const SSortOrderSet* sort, CRowSet* rows);
CRowSet QueryAllRows(IMAPITable* table, const std::vector<ULONG>& tags, const SRestriction* restriction = nullptr,
                     const SSortOrderSet* sort = nullptr);

// One property of `prop` (HrGetOneProp); failures, a missing property
// included, are thrown with an empty context.
CPropValue GetOneProp(IMAPIProp* prop, ULONG tag);
CBinary GetOneBinary(IMAPIProp* prop, ULONG tag);

// The associated message of `folder` whose PR_SUBJECT is `subject` and
// whose PR_MESSAGE_CLASS is `message_class`. Not found: with `create` a new
// associated message carrying both (not yet saved), otherwise an empty
// wrapper.
IMessagePtr FindAssociatedMessage(const IMAPIFolderPtr& folder, const std::string& subject,
                                  const std::string& message_class, bool create);

}  // namespace vantrel::mapiwrapper
