// The store's file: SQLite connections, prepared statements, transactions
// and the pool of read connections. One Db per file in the process.
//
// Layout (one SQLite file in WAL mode per store):
//   meta(key TEXT PRIMARY KEY, value BLOB)             uid, next_id
//   objects(id INTEGER PRIMARY KEY, parent INTEGER, kind INTEGER, assoc INTEGER, num INTEGER)
//   props(obj INTEGER, id INTEGER, type INTEGER, value BLOB, PRIMARY KEY(obj, id)) WITHOUT ROWID
//   names(id INTEGER PRIMARY KEY, guid BLOB, kind INTEGER, name BLOB, UNIQUE(guid, kind, name))
//   receive(cls TEXT PRIMARY KEY COLLATE NOCASE, folder INTEGER)
//   blobs(id INTEGER PRIMARY KEY AUTOINCREMENT, obj INTEGER)
//   chunks(blob INTEGER, seq INTEGER, data BLOB, PRIMARY KEY(blob, seq))
//   changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, origin INTEGER, at INTEGER,
//           what INTEGER, id INTEGER, parent INTEGER, event INTEGER,
//           type INTEGER, old BLOB)               the change log (ChangeFeed.h)
// objects.kind is a Kind (PropMap.h). Object 0 holds the store's own
// properties. Values over 64 KiB live in blobs and chunks (ChunkedValue.h).
// Every statement on these tables is in Repository.cpp.
//
// Locks of the store, in the order they are taken (an earlier one is never
// taken while a later one is held):
//   1. StreamState::mu      one property stream and its clones
//   2. PropObject::mu_      one open object's values (store, folder,
//                           message, attachment); an embedded message's
//                           before its attachment's
//   3. PropObject::staged_mu_  the staging blobs an object was handed
//   4. Db::open_mu          the table of open files
//   5. Db::mu               the writing connection and everything shared
//                           by the objects of one file (open tables, advise
//                           sinks, search folders, id block); two files'
//                           locks (a copy between stores) by address
//   6. Db::pool_mu          the idle read connections
// All of them sit below the server's locks (object, registry, session
// queue); below them are the table data's own locks and the notification
// queue. Changes reach open tables and advise sinks only from Tx::Commit,
// after the commit succeeded, and, for other processes' commits, from the
// change log read under Db::mu (ChangeFeed.h).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "platform/mapi/pst/PropMap.h"
#include "platform/mapi/pst/Search.h"

namespace vantrel::mapi::pst {

// One SQLite connection and its prepared statements. Whoever uses it owns
// it: a Reader its pooled connection, the holder of Db::mu the writing one.
struct Conn {
  Conn() = default;
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  ~Conn();
  bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
  // Free prepared statements by the address of their SQL text (always a
  // literal).
  std::unordered_map<const char*, std::vector<sqlite3_stmt*>> cache;
  sqlite3* db_ = nullptr;
};

// Blob owners that are not objects: chunks written by a stream that no
// saved object refers to yet, and chunks an object gave up inside the
// current transaction (dropped when it commits unless taken over again).
inline constexpr int64_t kStaging = -2, kReleased = -3;

// Where an object was before a move or copy; the ids are of `uid`'s store.
struct OldPlace {
  MAPIUID uid;
  int64_t id, parent;
};

// A change to announce once its transaction has committed.
struct Change {
  enum What { kRow, kEvent, kGone } what;
  int64_t id = 0, parent = 0;
  ULONG event = 0, type = 0;
  bool moved = false;  // `old` is set
  OldPlace old{};
};

class Db {
 public:
  // The files open in the process, by path.
  static Mutex open_mu;
  static std::map<std::string, std::weak_ptr<Db>> open GUARDED_BY(open_mu);

  Mutex mu ACQUIRED_AFTER(open_mu);
  // The one writing connection.
  Conn writer GUARDED_BY(mu);
  Conn& W() REQUIRES(mu) { return writer; }

  // The table data behind open contents (0), associated contents (1),
  // hierarchy (2) and CONVENIENT_DEPTH (3) tables, by folder (plus
  // kUnicodeTable for the Unicode width); kept current on every commit.
  std::map<std::pair<int64_t, int>, vantrel::ComPtr<IMAPITableData>> tables GUARDED_BY(mu);
  // The rows of each open CONVENIENT_DEPTH table, by folder: the
  // descendants shown, in the table's order, with their depth.
  std::map<int64_t, std::vector<std::pair<int64_t, int>>> depth_rows GUARDED_BY(mu);
  // The search folders whose criteria are loaded.
  SearchFolders searches GUARDED_BY(mu);
  // IMsgStore::Advise registrations of every store object on this file.
  struct Sink {
    Bytes eid;  // empty: every object
    ULONG mask;
    vantrel::ComPtr<IMAPIAdviseSink> sink;
  };
  std::map<ULONG, Sink> sinks GUARDED_BY(mu);
  ULONG next_conn GUARDED_BY(mu) = 0;
  // Reserved ids for new messages, [block_next, block_end).
  int64_t block_next GUARDED_BY(mu) = 0, block_end GUARDED_BY(mu) = 0;
  // Some blob was released in the open transaction.
  bool released GUARDED_BY(mu) = false;
  // The last entry of the change log announced here (or written here).
  int64_t seen GUARDED_BY(mu) = 0;

  Mutex pool_mu ACQUIRED_AFTER(mu);
  std::vector<std::unique_ptr<Conn>> idle GUARDED_BY(pool_mu);  // read connections not in use

  // Set when the file is opened, before the Db is shared; read-only after.
  std::string path;
  MAPIUID uid{};
  int64_t origin = 0;  // this opening's mark on the entries it logs
};

// Opens (or creates, with the standard folder tree) the store in `path`;
// the Db already open for that path when there is one.
std::shared_ptr<Db> OpenDb(const std::string& path, const std::string& display_name, HRESULT& hr)
    EXCLUDES(Db::open_mu);

// A statement prepared on `c` and reused; a statement in use (a recursive
// DeleteTree) is simply not in the free list. Caller owns the connection.
struct Stmt {
  Stmt(Conn& c, const char* sql);
  ~Stmt();
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  Stmt& Int(int i, int64_t v) {
    sqlite3_bind_int64(s, i, v);
    return *this;
  }
  Stmt& Kind(int i, pst::Kind k) { return Int(i, static_cast<int64_t>(k)); }
  Stmt& Blob(int i, const void* p, size_t n) {
    sqlite3_bind_blob64(s, i, p ? p : "", n, SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& Text(int i, const std::string& t) {
    sqlite3_bind_text(s, i, t.c_str(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    return *this;
  }
  bool Step() { return s && sqlite3_step(s) == SQLITE_ROW; }
  bool Run() {
    if (!s) return false;
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
  }
  void Reset() { sqlite3_reset(s); }
  int64_t ColInt(int i) { return sqlite3_column_int64(s, i); }
  Bytes ColBlob(int i) {
    auto* p = static_cast<const BYTE*>(sqlite3_column_blob(s, i));
    return Bytes(p, p + sqlite3_column_bytes(s, i));
  }
  std::string ColText(int i) {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return p ? std::string(p) : std::string();
  }
  Conn& c_;
  const char* sql_;
  sqlite3_stmt* s = nullptr;
};

// One write transaction on the writing connection; rolled back unless
// committed. Blobs released inside it and not taken over again go with the
// commit. What the transaction changed is queued with Row/Event/Gone and
// announced (open tables brought up to date, advise sinks told) only once
// the commit succeeded; a failed or abandoned transaction announces
// nothing. A Tx lives inside the scope that holds db.mu (its constructor
// requires it), which its other members assert.
class Tx {
 public:
  explicit Tx(Db& db) REQUIRES(db.mu);
  ~Tx();
  Tx(const Tx&) = delete;
  Tx& operator=(const Tx&) = delete;
  bool ok() const { return ok_; }
  // The rows of object `id` in the open tables of folder `parent` follow
  // the file (changed, added, or removed when it is no longer there).
  void Row(int64_t parent, int64_t id) { later_.push_back({Change::kRow, id, parent}); }
  // An object event for the advise sinks watching the object, its folder
  // (before or after a move) or everything.
  void Event(ULONG event, int64_t id, int64_t parent, ULONG type, const OldPlace* old = nullptr);
  // Folder `folder` is gone: its open tables are forgotten.
  void Gone(int64_t folder) { later_.push_back({Change::kGone, folder}); }
  bool Commit();

 private:
  Db& db_;
  bool ok_, done_ = false, committed_ = false;
  std::vector<Change> later_;
};

// Brings the open tables and the advise sinks up to date with committed
// changes (TableUpkeep.cpp).
void Announce(Db& db, const std::vector<Change>& changes) REQUIRES(db.mu);

// A read connection of the pool for the life of the object, inside one read
// transaction (a consistent snapshot of the file), so readers never wait
// for each other or for the writer (WAL). When no connection can be opened
// it falls back to the writing one under db.mu.
class Reader {
 public:
  explicit Reader(Db& db) EXCLUDES(db.mu);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  Conn& c();

 private:
  Db& db_;
  std::unique_ptr<Conn> c_;
  bool fallback_ = false;
};

// Staging writes need not reach the disk on their own: they matter only
// once a saving transaction refers to them, and its commit syncs the whole
// log before it. Outside any transaction.
class Relaxed {
 public:
  explicit Relaxed(Db& db) REQUIRES(db.mu);
  ~Relaxed();
  Relaxed(const Relaxed&) = delete;
  Relaxed& operator=(const Relaxed&) = delete;

 private:
  Db& db_;
};

}  // namespace vantrel::mapi::pst
