// Entry points of the personal-folders store: a message store kept in one
// SQLite file. Sessions open stores only through these.
#pragma once

#include <string>
#include <vector>

#include "platform/mapi/MapiInterfaces.h"

// Opens the store in `path`, creating the file with the standard folder tree
// when it is missing. One file opened twice in a process is one store
// underneath: both IMsgStore objects see the same data and the same UID.
// `display_name` becomes PR_DISPLAY_NAME of a new store. Flags: MAPI_BEST_ACCESS
// or MDB_WRITE (read-write, the default), MDB_NO_DIALOG (ignored).
HRESULT OpenPstStore(const std::string& path, const std::string& display_name, ULONG flags, IMsgStore** out);

// The store's PR_ENTRYID: the provider's UID and the file's path. The file
// need not exist yet.
HRESULT PstStoreEntryID(const std::string& path, std::vector<BYTE>& out);
