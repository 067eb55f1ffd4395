// Entry IDs of the store and of its objects.
#pragma once

#include <cstdint>
#include <string>

#include "platform/mapi/pst/PropMap.h"

namespace vantrel::mapi::pst {

// An object's entry ID: flags, the store's UID, the object id.
Bytes MakeEntryID(const MAPIUID& uid, int64_t id);
// The object id in an entry ID of this store; -1 when it is not one.
int64_t ParseEntryID(const MAPIUID& uid, ULONG cb, const ENTRYID* eid);
// The store's own entry ID: flags, the provider UID, the path and its NUL.
Bytes StoreEntryID(const std::string& path);
// `b` as one MAPI block.
HRESULT CopyOut(const Bytes& b, ULONG* cb, LPENTRYID* out);

}  // namespace vantrel::mapi::pst
