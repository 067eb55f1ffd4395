// Every statement on the store's tables (layout in Database.h). Reads take
// any connection (a Reader's, or the writing one under Db::mu); writes
// take the Db and run inside the caller's transaction unless said
// otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/mapi/pst/Database.h"
#include "platform/mapi/pst/PropMap.h"

namespace vantrel::mapi::pst {

// ---- the store ----

// The UID of an existing store; false for a new file.
bool ReadUid(Conn& c, Bytes& uid);
// Fills a new file: its UID, the id counter, the standard folder tree, the
// store's display name and the default receive folders.
bool CreateStore(Db& db, const std::string& display_name_utf8) REQUIRES(db.mu);

// ---- objects ----

struct ObjectRow {
  int64_t id = 0, parent = 0;
  Kind kind = Kind::kFolder;
  bool assoc = false;
  int64_t num = 0;  // attachment number or recipient row
};

bool FindObject(Conn& c, int64_t id, ObjectRow* out);
// Whether `id` is a `kind` directly in `parent`.
bool IsChild(Conn& c, int64_t id, int64_t parent, Kind kind);
bool IsKind(Conn& c, int64_t id, Kind kind);
// Everything directly below `parent`, in no particular order.
std::vector<ObjectRow> Children(Conn& c, int64_t parent);
// The `kind`s directly in `parent` with the given associated flag, in
// order of creation.
std::vector<int64_t> ChildIds(Conn& c, int64_t parent, Kind kind, bool assoc = false);
struct ChildCounts {
  int64_t folders = 0, messages = 0, normal_messages = 0;
};
ChildCounts CountChildren(Conn& c, int64_t parent);
// Normal messages in `folder` without MSGFLAG_READ.
int64_t CountUnread(Conn& c, int64_t folder);
// The subfolders of `parent` with their PR_DISPLAY_NAME (UTF-8).
std::vector<std::pair<int64_t, Bytes>> SubfolderNames(Conn& c, int64_t parent);

bool InsertObject(Db& db, int64_t id, int64_t parent, Kind kind, bool assoc, int64_t num) REQUIRES(db.mu);
bool MoveObject(Db& db, int64_t id, int64_t parent) REQUIRES(db.mu);
// Deletes an object, its properties and everything below it.
bool DeleteTree(Db& db, int64_t obj) REQUIRES(db.mu);
int64_t NextId(Db& db) REQUIRES(db.mu);
// An id for a new message from a block reserved in its own transaction,
// so creating a message does not cost a commit each time. Ids of a block
// left unused (the process ended) are simply never used. Outside any
// transaction; 0 on failure.
int64_t ReserveMessageId(Db& db) REQUIRES(db.mu);

// ---- properties ----

PropMap LoadProps(Conn& c, int64_t obj);
// Writes the rows of `obj`. The object then owns exactly the blobs its
// rows refer to: others it owned are released, values over kChunk given
// inline go to chunks. False when a referred blob is gone (another opener
// saved over it).
bool SaveProps(Db& db, int64_t obj, const PropMap& m) REQUIRES(db.mu);
// Sets one value of a saved object.
bool PutProp(Db& db, int64_t obj, ULONG id, ULONG type, const Bytes& value) REQUIRES(db.mu);

// ---- blobs and chunks (ChunkedValue.h) ----

// A new blob owned by `owner`; 0 on failure.
int64_t NewBlob(Db& db, int64_t owner) REQUIRES(db.mu);
bool PutChunk(Conn& c, int64_t blob, int64_t seq, const BYTE* p, size_t n);
// False when the chunk is not there.
bool GetChunk(Conn& c, int64_t blob, int64_t seq, Bytes& out);
// Calls `fn` with every chunk of `blob` in order; false when `fn` did.
bool ForEachChunk(Conn& c, int64_t blob, const std::function<bool(int64_t seq, const BYTE* p, size_t n)>& fn);
// Copies the chunks of `from` into `to` (both in this file).
bool CopyChunks(Db& db, int64_t from, int64_t to) REQUIRES(db.mu);
// Drops the chunks of `blob` after chunk `keep`.
bool TruncateChunks(Db& db, int64_t blob, int64_t keep) REQUIRES(db.mu);
// Drops a blob nothing saved refers to.
void DropStaged(Db& db, int64_t blob) REQUIRES(db.mu);
// Drops the blobs released in the open transaction.
void DropReleased(Db& db) REQUIRES(db.mu);
// Drops the blobs of streams of a process that ended before their objects
// were saved (when the file is opened).
bool DropUnsavedBlobs(Db& db) REQUIRES(db.mu);
// Gives up the blobs of `obj`; the transaction's commit drops those no row
// takes over.
bool ReleaseBlobs(Db& db, int64_t obj) REQUIRES(db.mu);

// ---- named properties ----

std::vector<ULONG> NameIds(Conn& c);
bool NameOf(Conn& c, ULONG id, Bytes& guid, ULONG& kind, Bytes& name);
// The id of a name; 0 when it has none.
ULONG FindName(Conn& c, const GUID& guid, ULONG kind, const Bytes& name);
// Gives the name the next free id from 0x8000; 0 when none is left.
ULONG CreateName(Db& db, const GUID& guid, ULONG kind, const Bytes& name) REQUIRES(db.mu);

// ---- receive folders ----

bool SetReceive(Db& db, const std::string& cls, int64_t folder) REQUIRES(db.mu);
bool ClearReceive(Db& db, const std::string& cls) REQUIRES(db.mu);
// The folder registered for exactly `cls` and the class as registered.
bool FindReceive(Conn& c, const std::string& cls, int64_t* folder, std::string* registered);
std::vector<std::pair<std::string, int64_t>> ReceiveRows(Conn& c);

// ---- the change log ----

// Every committed change, for the other processes that have the file open:
// they replay what they did not write themselves (ChangeFeed.h).
struct LoggedChange {
  int64_t seq = 0, origin = 0;
  bool known = false;  // false: a kind of change this version does not know
  Change change{};
};
// Appends `changes`, written by `origin` at `now`, inside the caller's
// transaction, and drops entries from before `keep_from` (both in seconds
// since 1970).
bool LogChanges(Db& db, const std::vector<Change>& changes, int64_t origin, int64_t now, int64_t keep_from)
    REQUIRES(db.mu);
// The entries after `seq`, oldest first.
std::vector<LoggedChange> ChangesAfter(Conn& c, int64_t seq);
// The last entry's number; 0 when nothing was ever logged.
int64_t LastChange(Conn& c);

}  // namespace vantrel::mapi::pst
