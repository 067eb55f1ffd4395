// Folders of the store and opening objects by id.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/mapi/pst/Database.h"

namespace vantrel::mapi::pst {

// Opens folder or message `id` of the file; MAPI_E_NOT_FOUND for anything
// else. Read-write when `flags` asks for MAPI_MODIFY or MAPI_BEST_ACCESS.
HRESULT OpenObject(const std::shared_ptr<Db>& db, int64_t id, ULONG flags, ULONG* type, LPUNKNOWN* out);

// IMAPIContainer::OpenEntry and IMsgStore::OpenEntry: the object an entry ID
// of this file names, or `self` when there is none.
HRESULT OpenEntryOf(const std::shared_ptr<Db>& db, int64_t self, ULONG cb, LPENTRYID eid, ULONG flags, ULONG* type,
                    LPUNKNOWN* out);

}  // namespace vantrel::mapi::pst
