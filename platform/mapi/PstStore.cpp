// The personal-folders store: one SQLite file (WAL) per store.
//
// Schema:
//   meta(key TEXT PRIMARY KEY, value BLOB)             uid, next_id
//   objects(id INTEGER PRIMARY KEY, parent INTEGER, kind INTEGER, assoc INTEGER, num INTEGER)
//   props(obj INTEGER, id INTEGER, type INTEGER, value BLOB, PRIMARY KEY(obj, id)) WITHOUT ROWID
//   names(id INTEGER PRIMARY KEY, guid BLOB, kind INTEGER, name BLOB, UNIQUE(guid, kind, name))
//   receive(cls TEXT PRIMARY KEY COLLATE NOCASE, folder INTEGER)
//   blobs(id INTEGER PRIMARY KEY AUTOINCREMENT, obj INTEGER)
//   chunks(blob INTEGER, seq INTEGER, data BLOB, PRIMARY KEY(blob, seq))
// Values over 64 KiB live in blobs and chunks (see "large values").
// kind is the MAPI object type (folder, message, attachment, mail user for
// a recipient row); attachments and recipients hang off their message.
#include "platform/mapi/PstStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/base/CodePage.h"
#include "platform/base/SystemInfo.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PropCodec.h"
#include "platform/mapi/PstSearch.h"
#include "platform/mapi/TableData.h"
#include "platform/storage/MemoryStream.h"

namespace vantrel::mapi {
namespace {

using Bytes = std::vector<BYTE>;
// Stored properties of one object by property id: (stored type, bytes).
using PropMap = std::map<ULONG, std::pair<ULONG, Bytes>>;

// The provider's UID, first in the store's own entry ID.
constexpr BYTE kProviderUid[16] = {0x5a, 0x45, 0x4c, 0x50, 0x53, 0x54, 0x01, 0x00,
                                   0x9b, 0x31, 0x6e, 0x2d, 0x44, 0x1c, 0xa7, 0x10};

constexpr ULONG DELETE_HARD_DELETE = 0x00000010;
constexpr ULONG SHOW_SOFT_DELETES = 0x00000002;

enum : int64_t { kRoot = 1, kIpmSubtree = 2, kInbox = 3, kOutbox = 4, kSent = 5, kDeleted = 6, kSearchRoot = 7 };

// ---- the database ----------------------------------------------------------

// One SQLite connection and its prepared statements.
struct Conn {
  ~Conn() {
    for (auto& [sql, list] : cache)
      for (sqlite3_stmt* st : list) sqlite3_finalize(st);
    if (db_) sqlite3_close(db_);
  }
  bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
  // Free prepared statements by the address of their SQL text (always a
  // literal); owned by whoever uses the connection.
  std::unordered_map<const char*, std::vector<sqlite3_stmt*>> cache;
  sqlite3* db_ = nullptr;
};

// Blob owners that are not objects: chunks written by a stream that no
// saved object refers to yet, and chunks an object gave up inside the
// current transaction (dropped when it commits unless taken over again).
constexpr int64_t kStaging = -2, kReleased = -3;

// The store's file. The Conn part is the one writing connection, guarded by
// mu; reads that need no lock go through Reader, which takes a connection
// of its own from a pool, so readers never wait for each other (WAL).
class Db : public Conn {
 public:
  // The table data behind open contents (0), associated contents (1) and
  // hierarchy (2) tables, by folder; kept current on every saved change.
  // Guarded by mu.
  std::map<std::pair<int64_t, int>, vantrel::ComPtr<IMAPITableData>> tables;
  // The rows of each open CONVENIENT_DEPTH table (3), by folder: the
  // descendants shown, in the table's order, with their depth. Guarded by mu.
  std::map<int64_t, std::vector<std::pair<int64_t, int>>> depth_rows;
  // The search folders whose criteria are loaded. Guarded by mu.
  vantrel::mapi::SearchFolders searches;
  // IMsgStore::Advise registrations of every store object on this file.
  // Guarded by mu.
  struct Sink {
    Bytes eid;  // empty: every object
    ULONG mask;
    vantrel::ComPtr<IMAPIAdviseSink> sink;
  };
  std::map<ULONG, Sink> sinks;
  ULONG next_conn = 0;
  // Reserved ids for new messages, [block_next, block_end); guarded by mu.
  int64_t block_next = 0, block_end = 0;
  // Some blob was released in the open transaction; guarded by mu.
  bool released = false;
  std::mutex mu;                            // guards the writing connection and the fields above
  std::mutex pool_mu;                       // guards idle
  std::vector<std::unique_ptr<Conn>> idle;  // read connections not in use
  std::string path;
  MAPIUID uid{};
};

struct Stmt {
  // Prepared statements are kept per connection and reused; a statement in
  // use (a recursive DeleteTree) is simply not in the free list. Caller
  // owns the connection (holds db.mu for the writing one).
  Stmt(Conn& db, const char* sql) : db_(db), sql_(sql) {
    auto& free = db.cache[sql];
    if (!free.empty()) {
      s = free.back();
      free.pop_back();
    } else {
      sqlite3_prepare_v2(db.db_, sql, -1, &s, nullptr);
    }
  }
  ~Stmt() {
    if (!s) return;
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    db_.cache[sql_].push_back(s);
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  Stmt& Int(int i, int64_t v) {
    sqlite3_bind_int64(s, i, v);
    return *this;
  }
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
  int64_t ColInt(int i) { return sqlite3_column_int64(s, i); }
  Bytes ColBlob(int i) {
    auto* p = static_cast<const BYTE*>(sqlite3_column_blob(s, i));
    return Bytes(p, p + sqlite3_column_bytes(s, i));
  }
  Conn& db_;
  const char* sql_;
  sqlite3_stmt* s = nullptr;
};

void DropReleased(Db& db);

// One transaction; rolled back unless committed. Blobs released inside it
// and not taken over again go with the commit.
class Tx {
 public:
  explicit Tx(Db& db) : db_(db) { ok_ = db_.Exec("BEGIN IMMEDIATE"); }
  ~Tx() {
    if (ok_ && !done_) db_.Exec("ROLLBACK");
    if (!done_ || !committed_) db_.released = false;
  }
  bool ok() const { return ok_; }
  bool Commit() {
    done_ = true;
    if (ok_ && db_.released) DropReleased(db_);
    committed_ = ok_ && db_.Exec("COMMIT");
    if (!committed_ && ok_) db_.Exec("ROLLBACK");
    return committed_;
  }

 private:
  Db& db_;
  bool ok_, done_ = false, committed_ = false;
};

// Called inside every read transaction; tests use it to see readers overlap.
std::atomic<void (*)()> g_read_hook{nullptr};

// A read connection of the pool for the life of the object, inside one read
// transaction (a consistent snapshot of the file). When no connection can be
// opened it falls back to the writing one under db.mu.
class Reader {
 public:
  explicit Reader(Db& db) : db_(db) {
    {
      std::lock_guard<std::mutex> g(db.pool_mu);
      if (!db.idle.empty()) {
        c_ = std::move(db.idle.back());
        db.idle.pop_back();
      }
    }
    if (!c_) c_ = OpenReader(db.path);
    if (!c_) {
      lock_ = std::unique_lock<std::mutex>(db.mu);
      return;
    }
    Stmt(*c_, "BEGIN").Run();
    if (auto hook = g_read_hook.load()) hook();
  }
  ~Reader() {
    if (!c_) return;
    Stmt(*c_, "COMMIT").Run();
    std::lock_guard<std::mutex> g(db_.pool_mu);
    if (db_.idle.size() < 16) db_.idle.push_back(std::move(c_));
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
  Conn& c() { return c_ ? *c_ : db_; }

 private:
  static std::unique_ptr<Conn> OpenReader(const std::string& path) {
    auto c = std::make_unique<Conn>();
    if (sqlite3_open_v2(path.c_str(), &c->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
      return nullptr;
    sqlite3_busy_timeout(c->db_, 5000);
    if (!c->Exec("PRAGMA query_only=1")) return nullptr;
    return c;
  }
  Db& db_;
  std::unique_ptr<Conn> c_;
  std::unique_lock<std::mutex> lock_;
};

// ---- large values ------------------------------------------------------------
//
// A value over kChunk bytes is not kept in its props row. The row carries
// the stored type with kChunkedFlag and a reference (EncodeRef: blob id,
// size, encoding); the bytes live in
//   blobs(id INTEGER PRIMARY KEY AUTOINCREMENT, obj INTEGER)
//   chunks(blob INTEGER, seq INTEGER, data BLOB, PRIMARY KEY(blob, seq))
// as pieces of kChunk bytes, every piece full but the last. blobs.obj is
// the object whose row refers to the blob, kStaging while only an unsaved
// object or an open stream refers to it. SaveProps makes the object own
// exactly the blobs its rows refer to, so saving, deleting, and the crash
// of a process with unsaved streams (staging blobs are dropped when the
// file is opened) never leave chunks behind or lose saved ones.
// Property streams read and write the chunks one at a time; nothing holds
// a whole large value in memory. String values kept in chunks are in the
// width of the stream that wrote them (kEncUtf16 or kEncAnsi), or UTF-8
// (kEncRaw) when they came in through SetProps.
constexpr size_t kChunk = 64 * 1024;
constexpr ULONG kChunkedFlag = 0x00010000;  // above every property type
enum : uint32_t { kEncRaw = 0, kEncUtf16 = 1, kEncAnsi = 2 };

struct ValueRef {
  int64_t blob = 0;
  uint64_t size = 0;
  uint32_t enc = kEncRaw;
};

inline bool IsRef(ULONG stored) {
  return (stored & kChunkedFlag) != 0;
}
inline ULONG BareType(ULONG stored) {
  return stored & ~kChunkedFlag;
}

Bytes EncodeRef(const ValueRef& r) {
  Bytes b(20);
  std::memcpy(b.data(), &r.blob, 8);
  std::memcpy(b.data() + 8, &r.size, 8);
  std::memcpy(b.data() + 16, &r.enc, 4);
  return b;
}
bool DecodeRef(const Bytes& b, ValueRef& r) {
  if (b.size() != 20) return false;
  std::memcpy(&r.blob, b.data(), 8);
  std::memcpy(&r.size, b.data() + 8, 8);
  std::memcpy(&r.enc, b.data() + 16, 4);
  return r.blob > 0 && r.enc <= kEncAnsi;
}

// The size of a stored value as the object reports it.
uint64_t ValueSize(const std::pair<ULONG, Bytes>& v) {
  ValueRef r;
  if (IsRef(v.first) && DecodeRef(v.second, r)) return r.size;
  return v.second.size();
}

// A new blob owned by `owner`. Caller holds db.mu.
int64_t NewBlob(Db& db, int64_t owner) {
  Stmt q(db, "INSERT INTO blobs(obj) VALUES(?) RETURNING id");
  return q.Int(1, owner).Step() ? q.ColInt(0) : 0;
}

bool PutChunk(Conn& c, int64_t blob, int64_t seq, const BYTE* p, size_t n) {
  Stmt q(c, "INSERT OR REPLACE INTO chunks(blob, seq, data) VALUES(?, ?, ?)");
  return q.Int(1, blob).Int(2, seq).Blob(3, p, n).Run();
}

// False when the chunk is not there.
bool GetChunk(Conn& c, int64_t blob, int64_t seq, Bytes& out) {
  Stmt q(c, "SELECT data FROM chunks WHERE blob = ? AND seq = ?");
  if (!q.Int(1, blob).Int(2, seq).Step()) return false;
  out = q.ColBlob(0);
  return true;
}

// Drops a blob nothing saved refers to. Caller holds db.mu.
void DropStaged(Db& db, int64_t blob) {
  Stmt a(db, "DELETE FROM chunks WHERE blob = ? AND EXISTS (SELECT 1 FROM blobs WHERE id = ? AND obj = ?)");
  Stmt b(db, "DELETE FROM blobs WHERE id = ? AND obj = ?");
  a.Int(1, blob).Int(2, blob).Int(3, kStaging).Run();
  b.Int(1, blob).Int(2, kStaging).Run();
}

// Caller holds db.mu inside the transaction.
void DropReleased(Db& db) {
  Stmt a(db, "DELETE FROM chunks WHERE blob IN (SELECT id FROM blobs WHERE obj = ?)");
  Stmt b(db, "DELETE FROM blobs WHERE obj = ?");
  a.Int(1, kReleased).Run();
  b.Int(1, kReleased).Run();
  db.released = false;
}

// Gives up the blobs of `obj`; the transaction's commit drops those no row
// takes over. Caller holds db.mu inside the transaction.
bool ReleaseBlobs(Db& db, int64_t obj) {
  Stmt q(db, "UPDATE blobs SET obj = ? WHERE obj = ?");
  if (!q.Int(1, kReleased).Int(2, obj).Run()) return false;
  if (sqlite3_changes(db.db_) > 0) db.released = true;
  return true;
}

// Staging writes need not reach the disk on their own: they matter only
// once a saving transaction refers to them, and its commit syncs the whole
// log before it. Caller holds db.mu outside any transaction.
class Relaxed {
 public:
  explicit Relaxed(Db& db) : db_(db) { db_.Exec("PRAGMA synchronous=NORMAL"); }
  ~Relaxed() { db_.Exec("PRAGMA synchronous=FULL"); }

 private:
  Db& db_;
};

// Copies blob `blob` of `src` into a new staging blob of `dst`; 0 on
// failure. One chunk at a time in memory. Caller holds dst.mu (and src.mu
// when it is another file).
int64_t CopyBlob(Conn& src, Db& dst, int64_t blob) {
  int64_t nb = NewBlob(dst, kStaging);
  if (!nb) return 0;
  if (&src == &dst) {
    Stmt q(dst, "INSERT INTO chunks(blob, seq, data) SELECT ?, seq, data FROM chunks WHERE blob = ?");
    return q.Int(1, nb).Int(2, blob).Run() ? nb : 0;
  }
  Stmt q(src, "SELECT seq, data FROM chunks WHERE blob = ? ORDER BY seq");
  q.Int(1, blob);
  while (q.Step()) {
    auto* p = static_cast<const BYTE*>(sqlite3_column_blob(q.s, 1));
    if (!PutChunk(dst, nb, q.ColInt(0), p, static_cast<size_t>(sqlite3_column_bytes(q.s, 1)))) return 0;
  }
  return nb;
}

// Text between the encodings of kept strings, fed in pieces: a character
// split between two pieces is carried to the next.
class Transcoder {
 public:
  Transcoder(uint32_t from, uint32_t to) : from_(from), to_(to) {}
  Bytes Feed(const BYTE* p, size_t n, bool last) {
    if (from_ == to_) return Bytes(p, p + n);
    carry_.insert(carry_.end(), p, p + n);
    size_t take = carry_.size();
    std::u16string w = wcarry_;
    wcarry_.clear();
    if (from_ == kEncUtf16) {
      take &= ~size_t{1};
      for (size_t i = 0; i < take; i += 2) w.push_back(static_cast<char16_t>(carry_[i] | (carry_[i + 1] << 8)));
    } else if (from_ == kEncAnsi) {
      w += AnsiToUtf16({reinterpret_cast<const char*>(carry_.data()), take});
    } else {
      // Hold back a UTF-8 sequence cut at the end.
      if (!last) {
        for (size_t back = 1; back <= 3 && back <= take; ++back) {
          BYTE c = carry_[take - back];
          if ((c & 0xC0) == 0x80) continue;
          size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
          if (len > back) take -= back;
          break;
        }
      }
      w += Utf8ToUtf16({reinterpret_cast<const char*>(carry_.data()), take});
    }
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(take));
    if (!last && !w.empty() && w.back() >= 0xD800 && w.back() < 0xDC00) {
      wcarry_ = w.substr(w.size() - 1);
      w.pop_back();
    }
    Bytes out;
    if (to_ == kEncUtf16) {
      out.resize(w.size() * 2);
      std::memcpy(out.data(), w.data(), out.size());
    } else {
      std::string t = to_ == kEncAnsi ? Utf16ToAnsi(w) : Utf16ToUtf8(w);
      out.assign(t.begin(), t.end());
    }
    return out;
  }

 private:
  uint32_t from_, to_;
  Bytes carry_;
  std::u16string wcarry_;
};

// The whole value behind a reference, as it would be kept inline (strings
// in UTF-8). Only for values known to be of bounded size.
bool Materialize(Db& db, const ValueRef& r, bool text, Bytes& out) {
  Reader rd(db);
  Transcoder tc(text ? r.enc : kEncRaw, kEncRaw);
  out.clear();
  Stmt q(rd.c(), "SELECT data FROM chunks WHERE blob = ? ORDER BY seq");
  q.Int(1, r.blob);
  uint64_t got = 0;
  while (q.Step()) {
    auto* p = static_cast<const BYTE*>(sqlite3_column_blob(q.s, 0));
    size_t n = static_cast<size_t>(sqlite3_column_bytes(q.s, 0));
    got += n;
    Bytes piece = tc.Feed(p, n, false);
    out.insert(out.end(), piece.begin(), piece.end());
  }
  Bytes tail = tc.Feed(nullptr, 0, true);
  out.insert(out.end(), tail.begin(), tail.end());
  return got == r.size;
}

// One Db per file in the process, so a file opened twice is one store.
std::mutex g_open_mu;                             // guards g_open
std::map<std::string, std::weak_ptr<Db>> g_open;  // by path

int64_t NextId(Db& db) {
  Stmt q(db, "UPDATE meta SET value = value + 1 WHERE key = 'next_id' RETURNING value - 1");
  return q.Step() ? q.ColInt(0) : 0;
}

// Ids for new messages come from a block reserved in its own transaction,
// so creating a message does not cost a commit each time. Ids of a block
// left unused (the process ended) are simply never used. Caller holds db.mu
// outside any transaction.
int64_t ReserveMessageId(Db& db) {
  if (db.block_next == db.block_end) {
    constexpr int64_t kBlock = 64;
    if (!db.Exec("BEGIN IMMEDIATE")) return 0;
    Stmt q(db, "UPDATE meta SET value = value + ? WHERE key = 'next_id' RETURNING value - ?");
    q.Int(1, kBlock).Int(2, kBlock);
    int64_t first = q.Step() ? q.ColInt(0) : 0;
    sqlite3_reset(q.s);
    if (!first || !db.Exec("COMMIT")) {
      db.Exec("ROLLBACK");
      return 0;
    }
    db.block_next = first;
    db.block_end = first + kBlock;
  }
  return db.block_next++;
}

PropMap LoadProps(Conn& db, int64_t obj) {
  PropMap m;
  Stmt q(db, "SELECT id, type, value FROM props WHERE obj = ?");
  q.Int(1, obj);
  while (q.Step()) m[static_cast<ULONG>(q.ColInt(0))] = {static_cast<ULONG>(q.ColInt(1)), q.ColBlob(2)};
  return m;
}

// Writes the rows of `obj`. The object then owns exactly the blobs its
// rows refer to: others it owned are released, values over kChunk given
// inline go to chunks. False when a referred blob is gone (another opener
// saved over it). Caller holds db.mu inside the transaction.
bool SaveProps(Db& db, int64_t obj, const PropMap& m) {
  Stmt del(db, "DELETE FROM props WHERE obj = ?");
  if (!del.Int(1, obj).Run() || !ReleaseBlobs(db, obj)) return false;
  Stmt ins(db, "INSERT INTO props(obj, id, type, value) VALUES(?, ?, ?, ?)");
  Stmt own(db, "UPDATE blobs SET obj = ? WHERE id = ? AND obj IN (?, ?)");
  for (const auto& [id, v] : m) {
    const Bytes* value = &v.second;
    ULONG type = v.first;
    Bytes ref;
    ValueRef r;
    if (IsRef(type)) {
      if (!DecodeRef(v.second, r)) return false;
      own.Int(1, obj).Int(2, r.blob).Int(3, kStaging).Int(4, kReleased);
      if (!own.Run() || sqlite3_changes(db.db_) != 1) return false;
    } else if (v.second.size() > kChunk) {
      r.blob = NewBlob(db, obj);
      r.size = v.second.size();
      if (!r.blob) return false;
      for (size_t off = 0; off < v.second.size(); off += kChunk)
        if (!PutChunk(db, r.blob, static_cast<int64_t>(off / kChunk), v.second.data() + off,
                      std::min(kChunk, v.second.size() - off)))
          return false;
      ref = EncodeRef(r);
      value = &ref;
      type |= kChunkedFlag;
    }
    ins.Int(1, obj).Int(2, id).Int(3, type).Blob(4, value->data(), value->size());
    if (!ins.Run()) return false;
  }
  return true;
}

// The values of `m` read from `src` with their blobs copied into `dst` as
// staging blobs, ready for SaveProps there. Caller as for CopyBlob.
bool CopyRefs(Conn& src, Db& dst, PropMap& m) {
  for (auto& [id, v] : m) {
    ValueRef r;
    if (!IsRef(v.first)) continue;
    if (!DecodeRef(v.second, r) || !(r.blob = CopyBlob(src, dst, r.blob))) return false;
    v.second = EncodeRef(r);
  }
  return true;
}

// Deletes an object, its properties and everything below it.
bool DeleteTree(Db& db, int64_t obj) {
  std::vector<int64_t> kids;
  {
    Stmt q(db, "SELECT id FROM objects WHERE parent = ?");
    q.Int(1, obj);
    while (q.Step()) kids.push_back(q.ColInt(0));
  }
  for (int64_t k : kids)
    if (!DeleteTree(db, k)) return false;
  Stmt a(db, "DELETE FROM props WHERE obj = ?");
  Stmt b(db, "DELETE FROM objects WHERE id = ?");
  return a.Int(1, obj).Run() && b.Int(1, obj).Run() && ReleaseBlobs(db, obj);
}

void SetString(PropMap& m, ULONG tag, const std::string& utf8) {
  m[PROP_ID(tag)] = {PT_UNICODE, Bytes(utf8.begin(), utf8.end())};
}
void SetLong(PropMap& m, ULONG tag, LONG v) {
  Bytes b(4);
  std::memcpy(b.data(), &v, 4);
  m[PROP_ID(tag)] = {PT_LONG, b};
}
LONG GetLong(const PropMap& m, ULONG tag, LONG def = 0) {
  auto it = m.find(PROP_ID(tag));
  if (it == m.end() || it->second.first != PT_LONG || it->second.second.size() != 4) return def;
  LONG v;
  std::memcpy(&v, it->second.second.data(), 4);
  return v;
}

bool InsertObject(Db& db, int64_t id, int64_t parent, ULONG kind, bool assoc, int64_t num) {
  Stmt q(db, "INSERT OR REPLACE INTO objects(id, parent, kind, assoc, num) VALUES(?, ?, ?, ?, ?)");
  return q.Int(1, id).Int(2, parent).Int(3, kind).Int(4, assoc).Int(5, num).Run();
}

std::shared_ptr<Db> OpenDb(const std::string& path, const std::string& display_name, HRESULT& hr) {
  std::lock_guard<std::mutex> g(g_open_mu);
  if (auto db = g_open[path].lock()) return db;
  auto db = std::make_shared<Db>();
  db->path = path;
  if (sqlite3_open_v2(path.c_str(), &db->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    hr = MAPI_E_DISK_ERROR;
    return nullptr;
  }
  sqlite3_busy_timeout(db->db_, 5000);
  if (!db->Exec("PRAGMA journal_mode=WAL") || !db->Exec("PRAGMA synchronous=FULL")) {
    hr = MAPI_E_CORRUPT_DATA;
    return nullptr;
  }
  Tx tx(*db);
  bool ok =
      tx.ok() && db->Exec(
                     "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value BLOB);"
                     "CREATE TABLE IF NOT EXISTS objects(id INTEGER PRIMARY KEY, parent INTEGER, kind INTEGER,"
                     " assoc INTEGER, num INTEGER);"
                     "CREATE INDEX IF NOT EXISTS objects_parent ON objects(parent);"
                     "CREATE TABLE IF NOT EXISTS props(obj INTEGER, id INTEGER, type INTEGER, value BLOB,"
                     " PRIMARY KEY(obj, id)) WITHOUT ROWID;"
                     "CREATE TABLE IF NOT EXISTS names(id INTEGER PRIMARY KEY, guid BLOB, kind INTEGER, name BLOB,"
                     " UNIQUE(guid, kind, name));"
                     "CREATE TABLE IF NOT EXISTS receive(cls TEXT PRIMARY KEY COLLATE NOCASE, folder INTEGER);"
                     "CREATE TABLE IF NOT EXISTS blobs(id INTEGER PRIMARY KEY AUTOINCREMENT, obj INTEGER);"
                     "CREATE INDEX IF NOT EXISTS blobs_obj ON blobs(obj);"
                     "CREATE TABLE IF NOT EXISTS chunks(blob INTEGER, seq INTEGER, data BLOB, PRIMARY KEY(blob, seq));"
                     // Streams of a process that ended before its objects were saved.
                     "DELETE FROM chunks WHERE blob IN (SELECT id FROM blobs WHERE obj < 0);"
                     "DELETE FROM blobs WHERE obj < 0;");
  if (!ok) {
    hr = MAPI_E_CORRUPT_DATA;
    return nullptr;
  }
  Stmt q(*db, "SELECT value FROM meta WHERE key = 'uid'");
  if (q.Step()) {
    Bytes u = q.ColBlob(0);
    if (u.size() != 16) {
      hr = MAPI_E_CORRUPT_DATA;
      return nullptr;
    }
    std::memcpy(db->uid.ab, u.data(), 16);
  } else {
    // A new store: its UID and the standard folder tree.
    auto g16 = GuidToBytes(NewGuid());
    std::memcpy(db->uid.ab, g16.data(), 16);
    Stmt a(*db, "INSERT INTO meta(key, value) VALUES('uid', ?)");
    Stmt b(*db, "INSERT INTO meta(key, value) VALUES('next_id', 100)");
    ok = a.Blob(1, db->uid.ab, 16).Run() && b.Run();
    struct F {
      int64_t id, parent;
      const char* name;
      ULONG type;
    } tree[] = {{kRoot, 0, "", FOLDER_ROOT},
                {kIpmSubtree, kRoot, "Top of Personal Folders", FOLDER_GENERIC},
                {kInbox, kIpmSubtree, "Inbox", FOLDER_GENERIC},
                {kOutbox, kIpmSubtree, "Outbox", FOLDER_GENERIC},
                {kSent, kIpmSubtree, "Sent Items", FOLDER_GENERIC},
                {kDeleted, kIpmSubtree, "Deleted Items", FOLDER_GENERIC},
                {kSearchRoot, kRoot, "Search Root", FOLDER_GENERIC}};
    for (const F& f : tree) {
      PropMap m;
      SetString(m, PR_DISPLAY_NAME, f.name);
      SetLong(m, PR_FOLDER_TYPE, static_cast<LONG>(f.type));
      ok = ok && InsertObject(*db, f.id, f.parent, MAPI_FOLDER, false, 0) && SaveProps(*db, f.id, m);
    }
    PropMap store;
    SetString(store, PR_DISPLAY_NAME, AnsiToUtf8(display_name));
    ok = ok && SaveProps(*db, 0, store);
    // Mail of any class, and of the IPM classes, is received in the Inbox.
    Stmt r(*db, "INSERT INTO receive(cls, folder) VALUES('', ?), ('IPM', ?)");
    ok = ok && r.Int(1, kInbox).Int(2, kInbox).Run();
  }
  if (!ok || !tx.Commit()) {
    hr = MAPI_E_DISK_ERROR;
    return nullptr;
  }
  g_open[path] = db;
  hr = S_OK;
  return db;
}

// ---- entry IDs -------------------------------------------------------------

Bytes MakeEntryID(const MAPIUID& uid, int64_t id) {
  Bytes e(4 + 16 + 8, 0);
  std::memcpy(e.data() + 4, uid.ab, 16);
  for (int i = 0; i < 8; ++i) e[20 + i] = static_cast<BYTE>(static_cast<uint64_t>(id) >> (8 * i));
  return e;
}

// The object id in an entry ID of this store; -1 when it is not one.
int64_t ParseEntryID(const MAPIUID& uid, ULONG cb, const ENTRYID* eid) {
  if (!eid || cb != 28) return -1;
  const BYTE* p = reinterpret_cast<const BYTE*>(eid);
  if (std::memcmp(p + 4, uid.ab, 16) != 0) return -1;
  uint64_t id = 0;
  for (int i = 0; i < 8; ++i) id |= uint64_t{p[20 + i]} << (8 * i);
  return static_cast<int64_t>(id);
}

Bytes StoreEntryID(const std::string& path) {
  // Flags, the provider UID, the path and its NUL, laid out in one buffer.
  Bytes e(4 + 16 + path.size() + 1, 0);
  std::memcpy(e.data() + 4, kProviderUid, 16);
  std::memcpy(e.data() + 20, path.data(), path.size());
  return e;
}

HRESULT CopyOut(const Bytes& b, ULONG* cb, LPENTRYID* out) {
  void* m;
  if (MAPIAllocateBuffer(static_cast<ULONG>(b.size()), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
  std::memcpy(m, b.data(), b.size());
  *cb = static_cast<ULONG>(b.size());
  *out = static_cast<LPENTRYID>(m);
  return S_OK;
}

// ---- tables ----------------------------------------------------------------

// Posts an object event to the sinks that watch the object, its folder or
// everything. Delivery happens on the notification thread. Caller holds db.mu.
// Where an object was before a move or copy; the ids are of `uid`'s store.
struct OldPlace {
  const MAPIUID* uid;
  int64_t id, parent;
};

// Posts an object event to the sinks that watch the object, its folder
// (before or after a move) or everything. Delivery happens on the
// notification thread. Caller holds db.mu.
void NotifyObject(Db& db, ULONG event, int64_t id, int64_t parent, ULONG type, const OldPlace* old = nullptr) {
  if (db.sinks.empty()) return;
  Bytes eid = MakeEntryID(db.uid, id), peid = MakeEntryID(db.uid, parent), oid, opid;
  NOTIFICATION n{};
  n.ulEventType = event;
  n.info.obj.cbEntryID = static_cast<ULONG>(eid.size());
  n.info.obj.lpEntryID = reinterpret_cast<LPENTRYID>(eid.data());
  n.info.obj.ulObjType = type;
  n.info.obj.cbParentID = static_cast<ULONG>(peid.size());
  n.info.obj.lpParentID = reinterpret_cast<LPENTRYID>(peid.data());
  if (old) {
    oid = MakeEntryID(*old->uid, old->id);
    opid = MakeEntryID(*old->uid, old->parent);
    n.info.obj.cbOldID = static_cast<ULONG>(oid.size());
    n.info.obj.lpOldID = reinterpret_cast<LPENTRYID>(oid.data());
    n.info.obj.cbOldParentID = static_cast<ULONG>(opid.size());
    n.info.obj.lpOldParentID = reinterpret_cast<LPENTRYID>(opid.data());
  }
  auto same = [](const Bytes& a, const Bytes& b) {
    return a.size() == b.size() && a.size() >= 4 && std::equal(a.begin() + 4, a.end(), b.begin() + 4);
  };
  for (auto& [conn, s] : db.sinks) {
    if (!(s.mask & event)) continue;
    if (!s.eid.empty() && !same(s.eid, eid) && !same(s.eid, peid) && !same(s.eid, oid) && !same(s.eid, opid)) continue;
    NotifyQueue::Instance().Post(s.sink.get(), {n});
  }
}

// One table row from stored values: strings in their 8-bit form unless
// `unicode`, values too large for a row left out, PR_INSTANCE_KEY first as
// the index column. `extra` adds computed columns. The row is one MAPI block.
HRESULT BuildRow(const PropMap& m, const PropMap& extra, bool unicode, SRow& row) {
  PropMap all = m;
  for (const auto& [id, v] : extra) all[id] = v;
  void* root;
  if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (all.size() + 1)), &root))
    return MAPI_E_NOT_ENOUGH_MEMORY;
  auto* vals = static_cast<SPropValue*>(root);
  ULONG n = 0;
  auto put = [&](ULONG id, const std::pair<ULONG, Bytes>& v) {
    if (v.second.size() > 4096 || IsRef(v.first) || v.first == PT_OBJECT || (id >= 0x7FF0 && id < 0x8000)) return;
    ULONG type = v.first;
    if (!unicode && type == PT_UNICODE) type = PT_STRING8;
    if (!unicode && type == PT_MV_UNICODE) type = PT_MV_STRING8;
    if (SUCCEEDED(DecodeProp(PROP_TAG(type, id), v.first, v.second, root, vals[n]))) ++n;
  };
  if (auto it = all.find(PROP_ID(PR_INSTANCE_KEY)); it != all.end()) put(it->first, it->second);
  for (const auto& [id, v] : all)
    if (id != PROP_ID(PR_INSTANCE_KEY)) put(id, v);
  row.ulAdrEntryPad = 0;
  row.cValues = n;
  row.lpProps = vals;
  return S_OK;
}

PropMap KeyColumns(const MAPIUID& uid, int64_t id, int64_t parent, ULONG kind) {
  PropMap x;
  Bytes eid = MakeEntryID(uid, id);
  x[PROP_ID(PR_INSTANCE_KEY)] = {PT_BINARY, eid};
  x[PROP_ID(PR_ENTRYID)] = {PT_BINARY, eid};
  x[PROP_ID(PR_RECORD_KEY)] = {PT_BINARY, eid};
  x[PROP_ID(PR_PARENT_ENTRYID)] = {PT_BINARY, MakeEntryID(uid, parent)};
  SetLong(x, PR_OBJECT_TYPE, static_cast<LONG>(kind));
  return x;
}

HRESULT NewTableData(LPTABLEDATA* out) {
  SizedSPropTagArray<1> cols{1, {PR_INSTANCE_KEY}};
  return CreateTable(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, TBLTYPE_DYNAMIC,
                     PR_INSTANCE_KEY, cols.get(), out);
}

// Added to a table kind for its table data with strings in Unicode (views
// asked for with MAPI_UNICODE); both widths are kept current.
constexpr int kUnicodeTable = 4;

// The folders below `root`, depth first, each followed by its subfolders
// (in order of creation), with their depth: 1 for root's own subfolders.
// Caller holds db.mu.
std::vector<std::pair<int64_t, int>> Descendants(Db& db, int64_t root) {
  std::vector<std::pair<int64_t, int>> out;
  std::function<void(int64_t, int)> walk = [&](int64_t folder, int depth) {
    if (depth > 256) return;  // a damaged file's loop
    std::vector<int64_t> kids;
    {
      Stmt q(db, "SELECT id FROM objects WHERE parent = ? AND kind = 3 ORDER BY id");
      q.Int(1, folder);
      while (q.Step()) kids.push_back(q.ColInt(0));
    }
    for (int64_t k : kids) {
      out.emplace_back(k, depth);
      walk(k, depth + 1);
    }
  };
  walk(root, 1);
  return out;
}

// Brings root's CONVENIENT_DEPTH table in line with the folders below it:
// folders gone, moved or at another depth leave, new ones are inserted at
// their place, and `touched` (0: none) gets its row refreshed. Caller holds db.mu.
void SyncDepthTable(Db& db, int64_t root, IMAPITableData* table, int64_t touched) {
  std::vector<std::pair<int64_t, int>> now = Descendants(db, root);
  std::map<int64_t, std::pair<size_t, int>> place;  // id -> (position, depth)
  for (size_t i = 0; i < now.size(); ++i) place[now[i].first] = {i, now[i].second};
  auto& shown = db.depth_rows[root];
  std::set<int64_t> kept;
  size_t last = 0;
  auto key_of = [&](int64_t id, Bytes& eid, SPropValue& key) {
    eid = MakeEntryID(db.uid, id);
    key.ulPropTag = PR_INSTANCE_KEY;
    key.Value.bin = {static_cast<ULONG>(eid.size()), eid.data()};
  };
  for (const auto& [id, depth] : shown) {
    auto it = place.find(id);
    // Rows that stay must keep their order; one out of order is re-inserted.
    if (it != place.end() && it->second.second == depth && (kept.empty() || it->second.first > last)) {
      kept.insert(id);
      last = it->second.first;
      continue;
    }
    Bytes eid;
    SPropValue key{};
    key_of(id, eid, key);
    table->HrDeleteRow(&key);
  }
  for (size_t i = 0; i < now.size(); ++i) {
    auto [id, depth] = now[i];
    bool here = kept.count(id) != 0;
    if (here && id != touched) continue;
    Stmt q(db, "SELECT parent FROM objects WHERE id = ?");
    int64_t parent = q.Int(1, id).Step() ? q.ColInt(0) : root;
    PropMap extra = KeyColumns(db.uid, id, parent, MAPI_FOLDER);
    SetLong(extra, PR_DEPTH, depth);
    SRow row;
    if (FAILED(BuildRow(LoadProps(db, id), extra, false, row))) continue;
    if (here)
      table->HrModifyRow(&row);
    else
      table->HrInsertRow(static_cast<ULONG>(i), &row);
    MAPIFreeBuffer(row.lpProps);
  }
  shown = std::move(now);
}

// Refreshes the CONVENIENT_DEPTH tables after a change to object `id`,
// when it is (or was) a folder. Caller holds db.mu.
void SyncDepthTables(Db& db, int64_t id) {
  if (db.depth_rows.empty()) return;
  Stmt q(db, "SELECT kind FROM objects WHERE id = ?");
  bool folder = q.Int(1, id).Step() && q.ColInt(0) == MAPI_FOLDER;
  for (auto& [root, rows] : db.depth_rows) {
    bool listed = std::any_of(rows.begin(), rows.end(), [&](const auto& r) { return r.first == id; });
    if (!folder && !listed) continue;
    auto it = db.tables.find({root, 3});
    if (it != db.tables.end()) SyncDepthTable(db, root, it->second.get(), id);
  }
}

// The search folders' view of the file. Caller holds db.mu.
class DbSearchHost final : public vantrel::mapi::SearchHost {
 public:
  explicit DbSearchHost(Db& db) : db_(db) {}
  bool Locate(int64_t id, int64_t* parent, bool* message) override {
    Stmt q(db_, "SELECT parent, kind, assoc FROM objects WHERE id = ?");
    if (!q.Int(1, id).Step()) return false;
    *parent = q.ColInt(0);
    *message = q.ColInt(1) == MAPI_MESSAGE && !q.ColInt(2);
    return true;
  }
  std::vector<int64_t> Children(int64_t folder, bool folders) override {
    Stmt q(db_, "SELECT id FROM objects WHERE parent = ? AND kind = ? AND assoc = 0 ORDER BY id");
    q.Int(1, folder).Int(2, folders ? MAPI_FOLDER : MAPI_MESSAGE);
    std::vector<int64_t> out;
    while (q.Step()) out.push_back(q.ColInt(0));
    return out;
  }
  bool MessageRow(int64_t id, SRow* row) override {
    int64_t parent = 0;
    bool message = false;
    if (!Locate(id, &parent, &message)) return false;
    return SUCCEEDED(BuildRow(LoadProps(db_, id), KeyColumns(db_.uid, id, parent, MAPI_MESSAGE), false, *row));
  }
  std::vector<BYTE> RowKey(int64_t id) override { return MakeEntryID(db_.uid, id); }
  IMAPITableData* Contents(int64_t folder) override {
    auto it = db_.tables.find({folder, 0});
    return it == db_.tables.end() ? nullptr : it->second.get();
  }
  void Complete(int64_t folder) override {
    int64_t parent = 0;
    bool message = false;
    if (Locate(folder, &parent, &message)) NotifyObject(db_, fnevSearchComplete, folder, parent, MAPI_FOLDER);
  }

 private:
  Db& db_;
};

// Brings the row of object `id` up to date in the open tables of folder
// `parent`: changed, added, or removed when the object is gone from there.
// Caller holds db.mu.
void TouchRow(Db& db, int64_t parent, int64_t id) {
  if (db.searches.Any()) {
    DbSearchHost host(db);
    db.searches.Touch(host, id);
  }
  if (db.tables.empty()) return;
  SyncDepthTables(db, id);
  Stmt q(db, "SELECT parent, kind, assoc FROM objects WHERE id = ?");
  bool here = q.Int(1, id).Step() && q.ColInt(0) == parent;
  ULONG kind = here ? static_cast<ULONG>(q.ColInt(1)) : 0;
  int which = !here ? -1 : kind == MAPI_FOLDER ? 2 : q.ColInt(2) ? 1 : 0;
  Bytes eid = MakeEntryID(db.uid, id);
  SPropValue key{};
  key.ulPropTag = PR_INSTANCE_KEY;
  key.Value.bin = {static_cast<ULONG>(eid.size()), eid.data()};
  PropMap props;
  bool loaded = false;
  for (int t = 0; t < 3 + kUnicodeTable; ++t) {
    if ((t & ~kUnicodeTable) == 3) continue;  // depth tables: SyncDepthTables above
    auto it = db.tables.find({parent, t});
    if (it == db.tables.end()) continue;
    if ((t & ~kUnicodeTable) != which) {
      it->second->HrDeleteRow(&key);
      continue;
    }
    if (!loaded) props = LoadProps(db, id);
    loaded = true;
    SRow row;
    if (SUCCEEDED(BuildRow(props, KeyColumns(db.uid, id, parent, kind), (t & kUnicodeTable) != 0, row))) {
      it->second->HrModifyRow(&row);
      MAPIFreeBuffer(row.lpProps);
    }
  }
}

// Forgets the tables of a folder that is gone. Caller holds db.mu.
void DropTables(Db& db, int64_t folder) {
  // Contents, associated, hierarchy and depth tables, in both widths.
  for (int t = 0; t < 4 + kUnicodeTable; ++t) db.tables.erase({folder, t});
  db.depth_rows.erase(folder);
  db.searches.Forget(folder);
}

// ---- property streams --------------------------------------------------------

// What a committed property stream hands to its object: small values
// inline, large ones as a staging blob (see "large values").
struct StreamValue {
  bool chunked = false;
  Bytes bytes;
  ValueRef ref;
};
using StreamHook = std::function<HRESULT(const StreamValue&)>;

// The value behind a property stream and its clones. The committed value
// is `base_mem` or the blob `base_blob`; changes go to `mem` while the value
// fits one chunk, then to the staging blob `work` one chunk at a time, so
// neither side of a large value is ever whole in memory.
class StreamState {
 public:
  StreamState(std::shared_ptr<Db> db, bool writable, uint32_t enc, size_t unit, StreamHook hook)
      : db_(std::move(db)), writable_(writable), enc_(enc), unit_(unit), hook_(std::move(hook)) {}
  ~StreamState() {
    if (!work_ && !base_owned_) return;
    std::lock_guard<std::mutex> dg(db_->mu);
    if (work_) DropStaged(*db_, work_);
    if (base_owned_) DropStaged(*db_, base_blob_);
  }

  void SetBaseMemory(Bytes b) {
    base_mem_ = std::move(b);
    mem_ = base_mem_;
    in_mem_ = true;
    size_ = mem_.size();
  }
  // `owned`: a blob made for this stream alone (a converted copy).
  void SetBaseBlob(int64_t blob, uint64_t size, bool owned) {
    base_blob_ = blob;
    base_size_ = size_ = size;
    base_owned_ = owned;
    in_mem_ = false;
  }

  std::mutex mu;  // guards everything below; held by every call
  std::vector<std::pair<ULONGLONG, ULONGLONG>> locks;
  bool writable() const { return writable_; }
  uint64_t size() const { return size_; }

  HRESULT ReadAt(uint64_t pos, BYTE* out, ULONG cb, ULONG* got) {
    *got = 0;
    if (pos >= size_) return S_OK;
    ULONG n = static_cast<ULONG>(std::min<uint64_t>(cb, size_ - pos));
    if (in_mem_) {
      std::memcpy(out, mem_.data() + pos, n);
      *got = n;
      return S_OK;
    }
    while (*got < n) {
      uint64_t p = pos + *got;
      if (!Load(static_cast<int64_t>(p / kChunk))) return STG_E_READFAULT;
      size_t off = static_cast<size_t>(p % kChunk);
      size_t take = std::min<size_t>(n - *got, kChunk - off);
      // A chunk short of its length (never written) reads as zeros.
      size_t have = cache_.size() > off ? std::min(take, cache_.size() - off) : 0;
      std::memcpy(out + *got, cache_.data() + off, have);
      std::memset(out + *got + have, 0, take - have);
      *got += static_cast<ULONG>(take);
    }
    return S_OK;
  }

  HRESULT WriteAt(uint64_t pos, const BYTE* p, ULONG cb) {
    if (cb == 0) return S_OK;
    if (pos + cb < pos) return STG_E_MEDIUMFULL;
    if (in_mem_ && pos + cb <= kChunk) {
      if (mem_.size() < pos + cb) mem_.resize(static_cast<size_t>(pos + cb));
      std::memcpy(mem_.data() + pos, p, cb);
      size_ = mem_.size();
      dirty_ = true;
      return S_OK;
    }
    if (HRESULT hr = MakeWork(); FAILED(hr)) return hr;
    if (pos > size_) {
      static const BYTE zeros[kChunk] = {};
      while (size_ < pos)
        if (HRESULT hr = Put(size_, zeros, static_cast<ULONG>(std::min<uint64_t>(kChunk, pos - size_))); FAILED(hr))
          return hr;
    }
    return Put(pos, p, cb);
  }

  HRESULT Resize(uint64_t n) {
    if (n == size_) return S_OK;
    if (in_mem_ && n <= kChunk) {
      mem_.resize(static_cast<size_t>(n));
      size_ = n;
      dirty_ = true;
      return S_OK;
    }
    if (HRESULT hr = MakeWork(); FAILED(hr)) return hr;
    if (n > size_) {
      BYTE zero = 0;
      return WriteAt(n - 1, &zero, 1);
    }
    if (!FlushCache()) return STG_E_WRITEFAULT;
    cache_seq_ = -1;
    int64_t keep = n ? static_cast<int64_t>((n - 1) / kChunk) : -1;
    {
      std::lock_guard<std::mutex> dg(db_->mu);
      Stmt q(*db_, "DELETE FROM chunks WHERE blob = ? AND seq > ?");
      if (!q.Int(1, work_).Int(2, keep).Run()) return STG_E_WRITEFAULT;
    }
    size_ = n;
    if (keep >= 0) {
      if (!Load(keep)) return STG_E_READFAULT;
      cache_.resize(static_cast<size_t>(n - static_cast<uint64_t>(keep) * kChunk));
      cache_dirty_ = true;
    }
    return S_OK;
  }

  HRESULT Commit() {
    if (!hook_) return S_OK;
    if (!in_mem_ && !work_) return S_OK;  // the committed blob is unchanged
    // A string stream may carry its terminator; the value does not.
    while (unit_ > 1 && size_ >= unit_) {
      BYTE last[2] = {1, 1};
      ULONG got = 0;
      if (FAILED(ReadAt(size_ - unit_, last, static_cast<ULONG>(unit_), &got)) || got != unit_) break;
      if (last[0] || (unit_ == 2 && last[1])) break;
      if (HRESULT hr = Resize(size_ - unit_); FAILED(hr)) return hr;
    }
    if (!in_mem_ && size_ <= kChunk) {
      // Small again: back to memory, so the value is kept inline.
      Bytes all(static_cast<size_t>(size_));
      ULONG got = 0;
      if (FAILED(ReadAt(0, all.data(), static_cast<ULONG>(all.size()), &got))) return STG_E_READFAULT;
      DropWork();
      mem_ = std::move(all);
      in_mem_ = true;
    }
    StreamValue v;
    if (in_mem_) {
      v.bytes = mem_;
      if (HRESULT hr = hook_(v); FAILED(hr)) return hr;
      base_mem_ = mem_;
      if (base_owned_) DropBase();
      base_blob_ = 0;
      dirty_ = false;
      return S_OK;
    }
    if (!FlushCache()) return STG_E_WRITEFAULT;
    v.chunked = true;
    v.ref = {work_, size_, enc_};
    if (HRESULT hr = hook_(v); FAILED(hr)) return hr;
    // The blob is the object's now; this stream reads it until it writes again.
    if (base_owned_) DropBase();
    base_blob_ = work_;
    base_size_ = size_;
    base_owned_ = false;
    work_ = 0;
    dirty_ = false;
    return S_OK;
  }

  void Revert() {
    if (work_) DropWork();
    cache_seq_ = -1;
    cache_dirty_ = false;
    if (base_blob_) {
      in_mem_ = false;
      size_ = base_size_;
    } else {
      mem_ = base_mem_;
      in_mem_ = true;
      size_ = mem_.size();
    }
    dirty_ = false;
  }

 private:
  // The blob reads come from: the working copy once there is one.
  int64_t Source() const { return work_ ? work_ : base_blob_; }

  bool Load(int64_t seq) {
    if (cache_seq_ == seq && cache_blob_ == Source()) return true;
    if (!FlushCache()) return false;
    cache_.clear();
    cache_blob_ = Source();
    cache_seq_ = seq;
    Reader rd(*db_);
    GetChunk(rd.c(), cache_blob_, seq, cache_);  // missing: a new chunk at the end
    return true;
  }

  bool FlushCache() {
    if (!cache_dirty_) return true;
    std::lock_guard<std::mutex> dg(db_->mu);
    Relaxed relaxed(*db_);
    if (!PutChunk(*db_, cache_blob_, cache_seq_, cache_.data(), cache_.size())) return false;
    cache_dirty_ = false;
    return true;
  }

  // Gives the stream a staging blob of its own holding the current value.
  HRESULT MakeWork() {
    if (work_) return S_OK;
    if (!writable_) return STG_E_ACCESSDENIED;
    if (!FlushCache()) return STG_E_WRITEFAULT;
    std::lock_guard<std::mutex> dg(db_->mu);
    Relaxed relaxed(*db_);
    int64_t w = NewBlob(*db_, kStaging);
    if (!w) return STG_E_MEDIUMFULL;
    bool ok = true;
    if (in_mem_) {
      for (size_t off = 0; ok && off < mem_.size(); off += kChunk)
        ok = PutChunk(*db_, w, static_cast<int64_t>(off / kChunk), mem_.data() + off,
                      std::min(kChunk, mem_.size() - off));
    } else if (base_blob_) {
      Stmt q(*db_, "INSERT INTO chunks(blob, seq, data) SELECT ?, seq, data FROM chunks WHERE blob = ?");
      ok = q.Int(1, w).Int(2, base_blob_).Run();
    }
    if (!ok) {
      DropStaged(*db_, w);
      return STG_E_MEDIUMFULL;
    }
    work_ = w;
    in_mem_ = false;
    mem_.clear();
    cache_seq_ = -1;
    dirty_ = true;
    return S_OK;
  }

  // Writes into the working blob, within or at the end of the value.
  HRESULT Put(uint64_t pos, const BYTE* p, ULONG cb) {
    ULONG done = 0;
    while (done < cb) {
      uint64_t at = pos + done;
      int64_t seq = static_cast<int64_t>(at / kChunk);
      if (!Load(seq)) return STG_E_READFAULT;
      size_t off = static_cast<size_t>(at % kChunk);
      size_t take = std::min<size_t>(cb - done, kChunk - off);
      if (cache_.size() < off + take) cache_.resize(off + take);
      std::memcpy(cache_.data() + off, p + done, take);
      cache_dirty_ = true;
      done += static_cast<ULONG>(take);
      size_ = std::max<uint64_t>(size_, at + take);
    }
    return S_OK;
  }

  void DropWork() {
    std::lock_guard<std::mutex> dg(db_->mu);
    DropStaged(*db_, work_);
    work_ = 0;
    cache_seq_ = -1;
    cache_dirty_ = false;
  }
  void DropBase() {
    std::lock_guard<std::mutex> dg(db_->mu);
    DropStaged(*db_, base_blob_);
    base_owned_ = false;
  }

  std::shared_ptr<Db> db_;
  const bool writable_;
  const uint32_t enc_;  // how a chunked value of this stream is kept
  const size_t unit_;   // 1 or 2 for string streams (terminator), 0 for binary
  StreamHook hook_;
  Bytes base_mem_;
  int64_t base_blob_ = 0;
  uint64_t base_size_ = 0;
  bool base_owned_ = false;
  bool in_mem_ = true, dirty_ = false;
  Bytes mem_;
  int64_t work_ = 0;
  uint64_t size_ = 0;
  int64_t cache_blob_ = 0, cache_seq_ = -1;
  Bytes cache_;
  bool cache_dirty_ = false;
};

// {0c733a30-2a1c-11ce-ade5-00aa0044773d}
constexpr IID kIID_ISequentialStream = {0x0c733a30, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};

class PropStream final : public vantrel::RefCounted<IStream> {
 public:
  explicit PropStream(std::shared_ptr<StreamState> st) : st_(std::move(st)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv && riid == kIID_ISequentialStream) {
      *ppv = static_cast<ISequentialStream*>(this);
      AddRef();
      return S_OK;
    }
    return RefCounted::QueryInterface(riid, ppv);
  }

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> g(st_->mu);
    ULONG got = 0;
    HRESULT hr = st_->ReadAt(pos_, static_cast<BYTE*>(pv), cb, &got);
    pos_ += got;
    if (pcbRead) *pcbRead = got;
    return hr;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    if (!st_->writable()) return STG_E_ACCESSDENIED;
    std::lock_guard<std::mutex> g(st_->mu);
    HRESULT hr = st_->WriteAt(pos_, static_cast<const BYTE*>(pv), cb);
    if (FAILED(hr)) return hr;
    pos_ += cb;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_pos) override {
    std::lock_guard<std::mutex> g(st_->mu);
    HRESULT hr = vantrel::storage::SeekPosition(&pos_, st_->size(), move, origin);
    if (SUCCEEDED(hr) && new_pos) new_pos->QuadPart = pos_;
    return hr;
  }
  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (!st_->writable()) return STG_E_ACCESSDENIED;
    std::lock_guard<std::mutex> g(st_->mu);
    return st_->Resize(size.QuadPart);
  }
  HRESULT CopyTo(IStream* dst, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
    if (pcbRead) pcbRead->QuadPart = 0;
    if (pcbWritten) pcbWritten->QuadPart = 0;
    if (!dst) return STG_E_INVALIDPOINTER;
    Bytes buf(kChunk);
    ULONGLONG left = cb.QuadPart, read = 0, written = 0;
    HRESULT hr = S_OK;
    while (left > 0) {
      ULONG want = static_cast<ULONG>(std::min<ULONGLONG>(left, buf.size())), got = 0, put = 0;
      if (FAILED(hr = Read(buf.data(), want, &got)) || got == 0) break;
      read += got;
      hr = dst->Write(buf.data(), got, &put);
      written += put;
      if (FAILED(hr)) break;
      left -= got;
    }
    if (pcbRead) pcbRead->QuadPart = read;
    if (pcbWritten) pcbWritten->QuadPart = written;
    return hr;
  }
  HRESULT Commit(DWORD) override {
    std::lock_guard<std::mutex> g(st_->mu);
    return st_->Commit();
  }
  HRESULT Revert() override {
    std::lock_guard<std::mutex> g(st_->mu);
    st_->Revert();
    return S_OK;
  }
  HRESULT LockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) override {
    if (type != LOCK_WRITE && type != LOCK_EXCLUSIVE && type != LOCK_ONLYONCE) return STG_E_INVALIDFUNCTION;
    std::lock_guard<std::mutex> g(st_->mu);
    for (const auto& [o, n] : st_->locks)
      if (off.QuadPart < o + n && o < off.QuadPart + cb.QuadPart) return STG_E_LOCKVIOLATION;
    st_->locks.emplace_back(off.QuadPart, cb.QuadPart);
    return S_OK;
  }
  HRESULT UnlockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD) override {
    std::lock_guard<std::mutex> g(st_->mu);
    for (auto it = st_->locks.begin(); it != st_->locks.end(); ++it) {
      if (it->first == off.QuadPart && it->second == cb.QuadPart) {
        st_->locks.erase(it);
        return S_OK;
      }
    }
    return STG_E_LOCKVIOLATION;
  }
  HRESULT Stat(STATSTG* st, DWORD flag) override {
    if (!st) return STG_E_INVALIDPOINTER;
    if (flag != STATFLAG_DEFAULT && flag != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
    std::memset(st, 0, sizeof(*st));
    if (flag == STATFLAG_DEFAULT) {
      // Property streams have no name of their own.
      st->pwcsName = static_cast<WCHAR*>(::CoTaskMemAlloc(sizeof(WCHAR)));
      if (!st->pwcsName) return STG_E_INSUFFICIENTMEMORY;
      st->pwcsName[0] = 0;
    }
    st->type = STGTY_STREAM;
    std::lock_guard<std::mutex> g(st_->mu);
    st->cbSize.QuadPart = st_->size();
    st->grfMode = st_->writable() ? STGM_READWRITE : STGM_READ;
    st->grfLocksSupported = LOCK_WRITE | LOCK_EXCLUSIVE | LOCK_ONLYONCE;
    return S_OK;
  }
  HRESULT Clone(IStream** out) override {
    if (!out) return STG_E_INVALIDPOINTER;
    auto* c = new (std::nothrow) PropStream(st_);
    if (!c) return E_OUTOFMEMORY;
    c->pos_ = pos_;
    *out = c;
    return S_OK;
  }

 private:
  std::shared_ptr<StreamState> st_;
  ULONGLONG pos_ = 0;
};

// A copy of the chunked string `r` in encoding `to`, as a staging blob
// owned by the caller; 0 on failure. Caller holds db.mu outside any
// transaction.
int64_t ConvertBlob(Db& db, const ValueRef& r, uint32_t to, uint64_t& size) {
  Relaxed relaxed(db);
  int64_t nb = NewBlob(db, kStaging);
  if (!nb) return 0;
  Transcoder tc(r.enc, to);
  Bytes pending, piece;
  int64_t out_seq = 0;
  size = 0;
  auto emit = [&](bool last) {
    size_t off = 0;
    while (pending.size() - off >= kChunk || (last && off < pending.size())) {
      size_t n = std::min(kChunk, pending.size() - off);
      if (!PutChunk(db, nb, out_seq++, pending.data() + off, n)) return false;
      size += n;
      off += n;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(off));
    return true;
  };
  bool ok = true;
  for (int64_t seq = 0; ok && GetChunk(db, r.blob, seq, piece); ++seq) {
    Bytes b = tc.Feed(piece.data(), piece.size(), false);
    pending.insert(pending.end(), b.begin(), b.end());
    ok = emit(false);
  }
  Bytes tail = tc.Feed(nullptr, 0, true);
  pending.insert(pending.end(), tail.begin(), tail.end());
  if (!ok || !emit(true)) {
    DropStaged(db, nb);
    return 0;
  }
  return nb;
}

// A kept string (UTF-8) in the width a stream of `type` shows it in;
// binaries as they are.
Bytes ToStreamWidth(const Bytes& stored, ULONG type) {
  std::string_view u(reinterpret_cast<const char*>(stored.data()), stored.size());
  if (type == PT_UNICODE) {
    std::u16string w = Utf8ToUtf16(u);
    return Bytes(reinterpret_cast<const BYTE*>(w.data()), reinterpret_cast<const BYTE*>(w.data()) + w.size() * 2);
  }
  if (type == PT_STRING8) {
    std::string a = Utf8ToAnsi(u);
    return Bytes(a.begin(), a.end());
  }
  return stored;
}

// The reverse; `trim` drops a terminator the writer may have included.
Bytes FromStreamWidth(const Bytes& b, ULONG type, bool trim) {
  if (type == PT_UNICODE) {
    std::u16string w(b.size() / 2, u'\0');
    std::memcpy(w.data(), b.data(), w.size() * 2);
    while (trim && !w.empty() && w.back() == 0) w.pop_back();
    std::string u = Utf16ToUtf8(w);
    return Bytes(u.begin(), u.end());
  }
  if (type == PT_STRING8) {
    std::string a(b.begin(), b.end());
    while (trim && !a.empty() && a.back() == 0) a.pop_back();
    std::string u = AnsiToUtf8(a);
    return Bytes(u.begin(), u.end());
  }
  return b;
}

// ---- IMAPIProp over a property map ----------------------------------------

bool IsComputedTag(ULONG id) {
  switch (id) {
    case PROP_ID(PR_ENTRYID):
    case PROP_ID(PR_OBJECT_TYPE):
    case PROP_ID(PR_RECORD_KEY):
    case PROP_ID(PR_PARENT_ENTRYID):
    case PROP_ID(PR_STORE_ENTRYID):
    case PROP_ID(PR_STORE_RECORD_KEY):
    case PROP_ID(PR_INSTANCE_KEY):
    case PROP_ID(PR_ACCESS):
    case PROP_ID(PR_ACCESS_LEVEL):
    case PROP_ID(PR_CONTENT_COUNT):
    case PROP_ID(PR_CONTENT_UNREAD):
    case PROP_ID(PR_SUBFOLDERS):
    case PROP_ID(PR_MESSAGE_SIZE):
    case PROP_ID(PR_HASATTACH):
    case PROP_ID(PR_STORE_SUPPORT_MASK):
    case PROP_ID(PR_IPM_SUBTREE_ENTRYID):
    case PROP_ID(PR_IPM_OUTBOX_ENTRYID):
    case PROP_ID(PR_IPM_WASTEBASKET_ENTRYID):
    case PROP_ID(PR_IPM_SENTMAIL_ENTRYID):
    case PROP_ID(PR_VALID_FOLDER_MASK):
    case PROP_ID(PR_MDB_PROVIDER):
    case PROP_ID(PR_ATTACH_NUM):
    case PROP_ID(PR_ROWID):
      return true;
  }
  return false;
}

template <typename I>
class PropObject : public vantrel::RefCounted<I> {
 public:
  explicit PropObject(std::shared_ptr<Db> db) : db_(std::move(db)) {}
  ~PropObject() override {
    // Stream values this object was given and never saved.
    if (staged_.empty()) return;
    std::lock_guard<std::mutex> dg(db_->mu);
    for (int64_t b : staged_) DropStaged(*db_, b);
  }

  HRESULT GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    void* m;
    if (MAPIAllocateBuffer(sizeof(MAPIERROR), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* e = static_cast<MAPIERROR*>(m);
    std::memset(e, 0, sizeof(*e));
    e->ulVersion = MAPI_ERROR_VERSION;
    e->ulLowLevelError = static_cast<ULONG>(hr);
    std::string text = vantrel::CodeName(hr);
    std::string comp = "Personal Folders";
    auto dup = [&](const std::string& s, LPSTR* dst) {
      if (flags & MAPI_UNICODE) {
        std::u16string w = Utf8ToUtf16(s);
        void* p;
        MAPIAllocateMore(static_cast<ULONG>((w.size() + 1) * 2), m, &p);
        std::memcpy(p, w.c_str(), (w.size() + 1) * 2);
        *dst = static_cast<LPSTR>(p);
      } else {
        void* p;
        MAPIAllocateMore(static_cast<ULONG>(s.size() + 1), m, &p);
        std::memcpy(p, s.c_str(), s.size() + 1);
        *dst = static_cast<LPSTR>(p);
      }
    };
    dup(text, &e->lpszError);
    dup(comp, &e->lpszComponent);
    *out = e;
    return S_OK;
  }

  HRESULT SaveChanges(ULONG) override { return S_OK; }

  HRESULT GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* out) override {
    if (!count || !out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    std::lock_guard<std::mutex> g(mu_);
    PropMap all = Snapshot();
    std::vector<ULONG> want;
    if (tags) {
      want.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
    } else {
      for (const auto& [id, v] : all) want.push_back(PROP_TAG(Presented(BareType(v.first), flags), id));
    }
    if (want.empty()) return MAPI_E_INVALID_PARAMETER;
    void* root;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * want.size()), &root))
      return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* vals = static_cast<SPropValue*>(root);
    bool errors = false;
    for (size_t i = 0; i < want.size(); ++i) {
      ULONG tag = want[i];
      auto it = all.find(PROP_ID(tag));
      HRESULT hr = MAPI_E_NOT_FOUND;
      if (it != all.end()) {
        ULONG stored = BareType(it->second.first);
        if (PROP_TYPE(tag) == PT_UNSPECIFIED) tag = PROP_TAG(Presented(stored, flags), PROP_ID(tag));
        ValueRef r;
        if (ValueSize(it->second) > kMaxInline) {
          // Large values are only read through OpenProperty; the other
          // values of the call are answered as usual.
          hr = MAPI_E_NOT_ENOUGH_MEMORY;
        } else if (IsRef(it->second.first)) {
          Bytes whole;
          if (!DecodeRef(it->second.second, r) || !Materialize(*db_, r, stored == PT_UNICODE, whole))
            hr = MAPI_E_CORRUPT_DATA;
          else
            hr = DecodeProp(tag, stored, whole, root, vals[i]);
        } else {
          hr = DecodeProp(tag, stored, it->second.second, root, vals[i]);
        }
      }
      if (FAILED(hr)) {
        errors = true;
        vals[i].ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
        vals[i].Value.err = hr == MAPI_E_INVALID_TYPE ? MAPI_E_NOT_FOUND : hr;
      }
    }
    *count = static_cast<ULONG>(want.size());
    *out = vals;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
  }

  HRESULT GetPropList(ULONG flags, LPSPropTagArray* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    std::lock_guard<std::mutex> g(mu_);
    PropMap all = Snapshot();
    void* m;
    if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(all.size() + 1)), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* t = static_cast<SPropTagArray*>(m);
    t->cValues = 0;
    for (const auto& [id, v] : all) t->aulPropTag[t->cValues++] = PROP_TAG(Presented(BareType(v.first), flags), id);
    *out = t;
    return S_OK;
  }

  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) override {
    if (!iid || !out) return MAPI_E_INVALID_PARAMETER;
    *out = nullptr;
    ULONG type = PROP_TYPE(tag);
    bool create = flags & MAPI_CREATE, modify = flags & (MAPI_MODIFY | MAPI_CREATE);
    if (modify && !Writable()) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> g(mu_);
    PropMap all = Snapshot();
    auto it = all.find(PROP_ID(tag));
    const std::pair<ULONG, Bytes>* found = nullptr;
    if (it != all.end() && !create) {
      ULONG stored = BareType(it->second.first);
      if (*iid == IID_IStorage) {
        if (stored != PT_BINARY && stored != PT_OBJECT) return MAPI_E_NOT_FOUND;
      } else if (StoredType(type) != stored) {
        return MAPI_E_NOT_FOUND;
      }
      found = &it->second;
    } else if (!create) {
      return MAPI_E_NOT_FOUND;
    }
    ULONG id = PROP_ID(tag);
    vantrel::ComPtr<PropObject> self(this);
    if (*iid == IID_IStream) {
      if (type != PT_BINARY && type != PT_STRING8 && type != PT_UNICODE) return MAPI_E_INTERFACE_NOT_SUPPORTED;
      if (Chunked()) return OpenChunkedStream(id, type, found, modify, out);
    }
    // Values of objects kept whole (embedded messages) and storages are
    // read whole.
    Bytes initial;
    if (found && IsRef(found->first)) {
      ValueRef r;
      if (!DecodeRef(found->second, r) || !Materialize(*db_, r, BareType(found->first) == PT_UNICODE, initial))
        return MAPI_E_CORRUPT_DATA;
    } else if (found) {
      initial = found->second;
    }
    if (*iid == IID_IStream) {
      // A string stream carries the string in the width of its tag, without the terminator.
      initial = ToStreamWidth(initial, type);
      storage::CommitHook hook = [self, id, type](const Bytes& b) {
        return self->PutStored(id, StoredType(type), FromStreamWidth(b, type, true));
      };
      IStream* s;
      HRESULT hr = storage::CreateMemoryStream(std::move(initial), modify, modify ? hook : nullptr, &s);
      if (SUCCEEDED(hr)) *out = s;
      return hr;
    }
    if (*iid == IID_IStorage) {
      storage::CommitHook hook = [self, id](const Bytes& b) { return self->PutStored(id, PT_BINARY, Bytes(b)); };
      IStorage* s;
      HRESULT hr = storage::CreateMemoryStorage(initial, modify, modify ? hook : nullptr, &s);
      if (SUCCEEDED(hr)) *out = s;
      return hr;
    }
    return MAPI_E_INTERFACE_NOT_SUPPORTED;
  }

  HRESULT SetProps(ULONG c, LPSPropValue vals, LPSPropProblemArray* problems) override {
    if (!vals && c) return MAPI_E_INVALID_PARAMETER;
    if (problems) *problems = nullptr;
    if (!Writable()) return MAPI_E_NO_ACCESS;
    std::vector<SPropProblem> probs;
    {
      std::lock_guard<std::mutex> g(mu_);
      for (ULONG i = 0; i < c; ++i) {
        ULONG tag = vals[i].ulPropTag, type = PROP_TYPE(tag), id = PROP_ID(tag);
        if (type == PT_ERROR || type == PT_UNSPECIFIED || type == PT_NULL || type == PT_OBJECT || id == 0) {
          probs.push_back({i, tag, MAPI_E_INVALID_TYPE});
          continue;
        }
        if (IsComputedTag(id) || ReadOnly(id)) {
          probs.push_back({i, tag, MAPI_E_COMPUTED});
          continue;
        }
        auto enc = EncodeProp(vals[i]);
        if (!enc) {
          probs.push_back({i, tag, MAPI_E_INVALID_TYPE});
          continue;
        }
        pending_[id] = {StoredType(type), std::move(*enc)};
        deleted_.erase(id);
      }
    }
    HRESULT hr = Flush();
    if (FAILED(hr)) return hr;
    return ReportProblems(probs, problems);
  }

  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    if (problems) *problems = nullptr;
    if (!Writable()) return MAPI_E_NO_ACCESS;
    std::vector<SPropProblem> probs;
    {
      std::lock_guard<std::mutex> g(mu_);
      for (ULONG i = 0; i < tags->cValues; ++i) {
        ULONG id = PROP_ID(tags->aulPropTag[i]);
        if (IsComputedTag(id) || ReadOnly(id)) {
          probs.push_back({i, tags->aulPropTag[i], MAPI_E_COMPUTED});
          continue;
        }
        pending_.erase(id);
        deleted_.insert(id);
      }
    }
    HRESULT hr = Flush();
    if (FAILED(hr)) return hr;
    return ReportProblems(probs, problems);
  }

  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray exclude, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID dst, ULONG flags,
                 LPSPropProblemArray* problems) override {
    LPSPropTagArray list = nullptr;
    HRESULT hr = GetPropList(MAPI_UNICODE, &list);
    if (FAILED(hr)) return hr;
    std::vector<ULONG> keep;
    for (ULONG i = 0; i < list->cValues; ++i) {
      bool skip = IsComputedTag(PROP_ID(list->aulPropTag[i]));
      for (ULONG j = 0; exclude && j < exclude->cValues; ++j)
        if (PROP_ID(exclude->aulPropTag[j]) == PROP_ID(list->aulPropTag[i])) skip = true;
      if (!skip) keep.push_back(list->aulPropTag[i]);
    }
    MAPIFreeBuffer(list);
    return CopyTags(keep, dst, flags, problems);
  }

  HRESULT CopyProps(LPSPropTagArray include, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID dst, ULONG flags,
                    LPSPropProblemArray* problems) override {
    if (!include) return MAPI_E_INVALID_PARAMETER;
    return CopyTags({include->aulPropTag, include->aulPropTag + include->cValues}, dst, flags, problems);
  }

  HRESULT GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG, ULONG* count, LPMAPINAMEID** names) override {
    if (!tags || !count || !names) return MAPI_E_INVALID_PARAMETER;
    std::vector<ULONG> ids;
    Reader rd(*db_);
    if (*tags) {
      for (ULONG i = 0; i < (*tags)->cValues; ++i) ids.push_back(PROP_ID((*tags)->aulPropTag[i]));
    } else {
      Stmt q(rd.c(), "SELECT id FROM names ORDER BY id");
      while (q.Step()) ids.push_back(static_cast<ULONG>(q.ColInt(0)));
    }
    void* root;
    if (MAPIAllocateBuffer(static_cast<ULONG>(sizeof(LPMAPINAMEID) * (ids.size() + 1)), &root))
      return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* arr = static_cast<LPMAPINAMEID*>(root);
    bool errors = false;
    Stmt q(rd.c(), "SELECT guid, kind, name FROM names WHERE id = ?");
    for (size_t i = 0; i < ids.size(); ++i) {
      arr[i] = nullptr;
      q.Int(1, ids[i]);
      if (q.Step()) {
        Bytes g = q.ColBlob(0), n = q.ColBlob(2);
        ULONG kind = static_cast<ULONG>(q.ColInt(1));
        if (g.size() == 16 && (!guid || std::memcmp(guid, g.data(), 16) == 0)) {
          void* m;
          MAPIAllocateMore(sizeof(MAPINAMEID) + 16 + static_cast<ULONG>(n.size()) + 2, root, &m);
          auto* nm = static_cast<MAPINAMEID*>(m);
          auto* gp = reinterpret_cast<GUID*>(static_cast<BYTE*>(m) + sizeof(MAPINAMEID));
          std::memcpy(gp, g.data(), 16);
          nm->lpguid = gp;
          nm->ulKind = kind;
          if (kind == MNID_ID) {
            LONG v = 0;
            if (n.size() == 4) std::memcpy(&v, n.data(), 4);
            nm->Kind.lID = v;
          } else {
            auto* w = reinterpret_cast<char16_t*>(reinterpret_cast<BYTE*>(gp) + 16);
            std::memcpy(w, n.data(), n.size());
            w[n.size() / 2] = 0;
            nm->Kind.lpwstrName = w;
          }
          arr[i] = nm;
        }
      }
      sqlite3_reset(q.s);
      if (!arr[i]) errors = true;
    }
    if (!*tags) {
      void* t;
      MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(ids.size() + 1)), &t);
      auto* ta = static_cast<SPropTagArray*>(t);
      ta->cValues = static_cast<ULONG>(ids.size());
      for (size_t i = 0; i < ids.size(); ++i) ta->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, ids[i]);
      *tags = ta;
    }
    *count = static_cast<ULONG>(ids.size());
    *names = arr;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
  }

  HRESULT GetIDsFromNames(ULONG c, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* out) override {
    if (!out || (c && !names)) return MAPI_E_INVALID_PARAMETER;
    if (c == 0) return MAPI_E_NO_SUPPORT;  // listing every name is GetNamesFromIDs' job here
    if (flags & ~MAPI_CREATE) return MAPI_E_UNKNOWN_FLAGS;
    void* m;
    if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(c)), &m)) return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* t = static_cast<SPropTagArray*>(m);
    t->cValues = c;
    bool errors = false;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    for (ULONG i = 0; i < c; ++i) {
      const MAPINAMEID* n = names[i];
      t->aulPropTag[i] = PROP_TAG(PT_ERROR, 0);
      if (!n || !n->lpguid || (n->ulKind != MNID_ID && n->ulKind != MNID_STRING) ||
          (n->ulKind == MNID_STRING && !n->Kind.lpwstrName)) {
        errors = true;
        continue;
      }
      Bytes key;
      if (n->ulKind == MNID_ID) {
        key.resize(4);
        std::memcpy(key.data(), &n->Kind.lID, 4);
      } else {
        std::u16string w(n->Kind.lpwstrName);
        key.assign(reinterpret_cast<const BYTE*>(w.data()), reinterpret_cast<const BYTE*>(w.data()) + w.size() * 2);
      }
      Stmt q(*db_, "SELECT id FROM names WHERE guid = ? AND kind = ? AND name = ?");
      q.Blob(1, n->lpguid, 16).Int(2, n->ulKind).Blob(3, key.data(), key.size());
      if (q.Step()) {
        t->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, static_cast<ULONG>(q.ColInt(0)));
      } else if (flags & MAPI_CREATE) {
        Stmt ins(*db_,
                 "INSERT INTO names(id, guid, kind, name) VALUES((SELECT MAX(COALESCE((SELECT MAX(id) + 1 FROM names),"
                 " 32768), 32768)), ?, ?, ?) RETURNING id");
        ins.Blob(1, n->lpguid, 16).Int(2, n->ulKind).Blob(3, key.data(), key.size());
        if (ins.Step() && ins.ColInt(0) < 0xFFFF)
          t->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, static_cast<ULONG>(ins.ColInt(0)));
        else
          errors = true;
      } else {
        errors = true;
      }
    }
    if (!tx.Commit()) {
      MAPIFreeBuffer(t);
      return MAPI_E_DISK_ERROR;
    }
    *out = t;
    return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
  }

  // A staging blob a stream handed to this object: dropped with the object
  // unless a save took it over. Attachments pass them to their message.
  virtual void Staged(int64_t blob) {
    std::lock_guard<std::mutex> g(staged_mu_);
    staged_.push_back(blob);
  }

  // Sets one stored value (from a committed stream or storage).
  HRESULT PutStored(ULONG id, ULONG type, Bytes bytes) {
    {
      std::lock_guard<std::mutex> g(mu_);
      pending_[id] = {type, std::move(bytes)};
      deleted_.erase(id);
    }
    return Flush();
  }

 protected:
  static constexpr size_t kMaxInline = 1 << 20;

  // The object's stored values with pending changes and computed values
  // laid over. Caller holds mu_.
  PropMap Snapshot() {
    PropMap all = base_;
    for (ULONG id : deleted_) all.erase(id);
    for (const auto& [id, v] : pending_) all[id] = v;
    Computed(all);
    return all;
  }
  static ULONG Presented(ULONG stored, ULONG flags) {
    if (flags & MAPI_UNICODE) return stored;
    if (stored == PT_UNICODE) return PT_STRING8;
    if (stored == PT_MV_UNICODE) return PT_MV_STRING8;
    return stored;
  }

  virtual void Computed(PropMap& all) = 0;
  // Whether large values of this object may live in chunks of the file
  // (not so inside an embedded message, which is kept as one image).
  virtual bool Chunked() { return true; }

  // A stream on property `id` over chunks (see "large values"). Caller
  // holds mu_.
  HRESULT OpenChunkedStream(ULONG id, ULONG type, const std::pair<ULONG, Bytes>* found, bool modify, LPUNKNOWN* out) {
    uint32_t enc = type == PT_UNICODE ? kEncUtf16 : type == PT_STRING8 ? kEncAnsi : kEncRaw;
    size_t unit = type == PT_UNICODE ? 2 : type == PT_STRING8 ? 1 : 0;
    vantrel::ComPtr<PropObject> self(this);
    StreamHook hook = [self, id, type](const StreamValue& v) -> HRESULT {
      if (v.chunked) {
        self->Staged(v.ref.blob);
        return self->PutStored(id, StoredType(type) | kChunkedFlag, EncodeRef(v.ref));
      }
      return self->PutStored(id, StoredType(type), FromStreamWidth(v.bytes, type, false));
    };
    auto st = std::make_shared<StreamState>(db_, modify, enc, unit, modify ? hook : nullptr);
    ValueRef r;
    if (!found) {
      st->SetBaseMemory({});
    } else if (!IsRef(found->first)) {
      st->SetBaseMemory(ToStreamWidth(found->second, type));
    } else if (!DecodeRef(found->second, r)) {
      return MAPI_E_CORRUPT_DATA;
    } else if (type == PT_BINARY || r.enc == enc) {
      st->SetBaseBlob(r.blob, r.size, false);
    } else {
      std::lock_guard<std::mutex> dg(db_->mu);
      uint64_t size = 0;
      int64_t copy = ConvertBlob(*db_, r, enc, size);
      if (!copy) return MAPI_E_DISK_ERROR;
      st->SetBaseBlob(copy, size, true);
    }
    auto* s = new (std::nothrow) PropStream(std::move(st));
    if (!s) return MAPI_E_NOT_ENOUGH_MEMORY;
    *out = static_cast<IStream*>(s);
    return S_OK;
  }
  virtual bool ReadOnly(ULONG) { return false; }
  virtual bool Writable() { return true; }
  // Non-transacted objects write their pending changes here; transacted
  // ones keep them until SaveChanges.
  virtual HRESULT Flush() { return S_OK; }

  static void PutBin(PropMap& m, ULONG tag, const Bytes& b) { m[PROP_ID(tag)] = {PT_BINARY, b}; }
  static void PutLong(PropMap& m, ULONG tag, LONG v) { SetLong(m, tag, v); }
  static void PutBool(PropMap& m, ULONG tag, bool v) {
    USHORT b = v ? 1 : 0;
    Bytes x(2);
    std::memcpy(x.data(), &b, 2);
    m[PROP_ID(tag)] = {PT_BOOLEAN, x};
  }

  HRESULT ReportProblems(const std::vector<SPropProblem>& probs, LPSPropProblemArray* out) {
    if (!out || probs.empty()) return S_OK;
    void* m;
    if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(probs.size())), &m))
      return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* p = static_cast<SPropProblemArray*>(m);
    p->cProblem = static_cast<ULONG>(probs.size());
    std::copy(probs.begin(), probs.end(), p->aProblem);
    *out = p;
    return S_OK;
  }

  HRESULT CopyTags(const std::vector<ULONG>& tags, LPVOID dst, ULONG flags, LPSPropProblemArray* problems) {
    if (!dst) return MAPI_E_INVALID_PARAMETER;
    if (tags.empty()) return S_OK;
    auto* target = static_cast<IMAPIProp*>(dst);
    void* t;
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(tags.size())), &t);
    auto* ta = static_cast<SPropTagArray*>(t);
    ta->cValues = static_cast<ULONG>(tags.size());
    std::copy(tags.begin(), tags.end(), ta->aulPropTag);
    ULONG n = 0;
    LPSPropValue vals = nullptr;
    HRESULT hr = GetProps(ta, MAPI_UNICODE, &n, &vals);
    MAPIFreeBuffer(ta);
    if (FAILED(hr)) return hr;
    std::vector<SPropValue> ok;
    std::vector<ULONG> large;  // too large for GetProps: copied through streams
    auto present = [&](ULONG tag) {
      LPSPropValue have = nullptr;
      HRESULT got = HrGetOneProp(target, tag, &have);
      MAPIFreeBuffer(have);
      return got != MAPI_E_NOT_FOUND;
    };
    for (ULONG i = 0; i < n; ++i) {
      if (PROP_TYPE(vals[i].ulPropTag) == PT_ERROR) {
        if (vals[i].Value.err == MAPI_E_NOT_ENOUGH_MEMORY) large.push_back(PROP_ID(vals[i].ulPropTag));
        continue;
      }
      if ((flags & MAPI_NOREPLACE) && present(vals[i].ulPropTag)) continue;
      ok.push_back(vals[i]);
    }
    hr = target->SetProps(static_cast<ULONG>(ok.size()), ok.data(), problems);
    MAPIFreeBuffer(vals);
    for (ULONG id : large) {
      if (FAILED(hr)) break;
      ULONG type;
      {
        std::lock_guard<std::mutex> g(mu_);
        PropMap all = Snapshot();
        auto it = all.find(id);
        if (it == all.end()) continue;
        type = BareType(it->second.first);
      }
      ULONG tag = PROP_TAG(type, id);
      if ((flags & MAPI_NOREPLACE) && present(tag)) continue;
      vantrel::ComPtr<IUnknown> from, to;
      if (FAILED(hr = OpenProperty(tag, &IID_IStream, 0, 0, from.Out()))) break;
      if (FAILED(hr = target->OpenProperty(tag, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, to.Out()))) break;
      auto* src = static_cast<IStream*>(from.get());
      auto* dst = static_cast<IStream*>(to.get());
      ULARGE_INTEGER all;
      all.QuadPart = ~0ULL;
      if (FAILED(hr = src->CopyTo(dst, all, nullptr, nullptr)) || FAILED(hr = dst->Commit(STGC_DEFAULT))) break;
      SPropValue moved{};
      moved.ulPropTag = tag;
      ok.push_back(moved);
    }
    if (SUCCEEDED(hr) && (flags & MAPI_MOVE)) {
      // Moving removes the source values that were copied.
      std::vector<ULONG> ids;
      for (const auto& v : ok) ids.push_back(PROP_ID(v.ulPropTag));
      std::lock_guard<std::mutex> g(mu_);
      for (ULONG id : ids) {
        pending_.erase(id);
        deleted_.insert(id);
      }
    }
    return hr;
  }

  std::shared_ptr<Db> db_;
  std::mutex staged_mu_;         // guards staged_
  std::vector<int64_t> staged_;  // staging blobs handed to this object
  std::mutex mu_;                // guards base_, pending_, deleted_
  PropMap base_;                 // values as last loaded or saved
  PropMap pending_;              // set since
  std::set<ULONG> deleted_;
};

class Store;
class Folder;

// ---- messages and attachments ---------------------------------------------

class Message;

void PutMap(Bytes& o, const PropMap& m) {
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(v >> (8 * i)));
  };
  u32(static_cast<uint32_t>(m.size()));
  for (const auto& [id, v] : m) {
    u32(id);
    u32(v.first);
    u32(static_cast<uint32_t>(v.second.size()));
    o.insert(o.end(), v.second.begin(), v.second.end());
  }
}

// An embedded message as bytes: its values, its attachments by number, its
// recipients in row order.
Bytes EncodeMessage(const PropMap& props, const std::map<ULONG, PropMap>& attach, const std::vector<PropMap>& recips) {
  Bytes o;
  PutMap(o, props);
  for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(attach.size() >> (8 * i)));
  for (const auto& [num, m] : attach) {
    for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(num >> (8 * i)));
    PutMap(o, m);
  }
  for (int i = 0; i < 4; ++i) o.push_back(static_cast<BYTE>(recips.size() >> (8 * i)));
  for (const auto& m : recips) PutMap(o, m);
  return o;
}

// Reads what EncodeMessage wrote; every count is checked against the bytes
// left. A damaged image yields what was read before the damage.
class ImageReader {
 public:
  explicit ImageReader(const Bytes& b) : p_(b.data()), n_(b.size()) {}
  bool U32(uint32_t& v) {
    if (n_ < 4) return false;
    v = p_[0] | (p_[1] << 8) | (p_[2] << 16) | (static_cast<uint32_t>(p_[3]) << 24);
    p_ += 4;
    n_ -= 4;
    return true;
  }
  bool Map(PropMap& m) {
    uint32_t c;
    if (!U32(c) || c > n_ / 12) return false;
    for (uint32_t i = 0; i < c; ++i) {
      uint32_t id, type, len;
      if (!U32(id) || !U32(type) || !U32(len) || len > n_) return false;
      m[id] = {type, Bytes(p_, p_ + len)};
      p_ += len;
      n_ -= len;
    }
    return true;
  }
  size_t left() const { return n_; }

 private:
  const BYTE* p_;
  size_t n_;
};

bool DecodeMessage(const Bytes& image, PropMap& props, std::map<ULONG, PropMap>& attach, std::vector<PropMap>& recips) {
  ImageReader r(image);
  uint32_t c;
  if (!r.Map(props) || !r.U32(c) || c > r.left() / 8) return false;
  for (uint32_t i = 0; i < c; ++i) {
    uint32_t num;
    PropMap m;
    if (!r.U32(num) || !r.Map(m)) return false;
    attach[num] = std::move(m);
  }
  if (!r.U32(c) || c > r.left() / 4) return false;
  for (uint32_t i = 0; i < c; ++i) {
    PropMap m;
    if (!r.Map(m)) return false;
    recips.push_back(std::move(m));
  }
  return r.left() == 0;
}

class Attach final : public PropObject<IAttach> {
 public:
  Attach(std::shared_ptr<Db> db, vantrel::ComPtr<Message> msg, ULONG num, PropMap props, bool writable)
      : PropObject(std::move(db)), msg_(std::move(msg)), num_(num), writable_(writable) {
    base_ = std::move(props);
  }
  HRESULT SaveChanges(ULONG flags) override;
  HRESULT OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) override;
  void Staged(int64_t blob) override;

 protected:
  void Computed(PropMap& all) override {
    PutLong(all, PR_OBJECT_TYPE, MAPI_ATTACH);
    PutLong(all, PR_ATTACH_NUM, static_cast<LONG>(num_));
    Bytes key(4);
    std::memcpy(key.data(), &num_, 4);
    PutBin(all, PR_RECORD_KEY, key);
    PutBin(all, PR_INSTANCE_KEY, key);
  }
  bool Writable() override { return writable_; }
  bool Chunked() override;

 private:
  vantrel::ComPtr<Message> msg_;
  ULONG num_;
  bool writable_;
};

class Message final : public PropObject<IMessage> {
  friend class Attach;

 public:
  Message(std::shared_ptr<Db> db, int64_t id, int64_t parent, bool assoc, bool is_new, bool writable)
      : PropObject(std::move(db)), id_(id), parent_(parent), assoc_(assoc), new_(is_new), writable_(writable) {}

  // Loads the saved message with its attachments and recipients, inside
  // one read transaction on `c`.
  void Load(Conn& c) {
    base_ = LoadProps(c, id_);
    // Sorted here rather than by SQLite: most messages have no children,
    // and the parent index alone answers that at once.
    std::vector<std::pair<int64_t, int64_t>> rows;  // recipients by row number
    Stmt q(c, "SELECT id, kind, num FROM objects WHERE parent = ?");
    q.Int(1, id_);
    while (q.Step()) {
      if (q.ColInt(1) == MAPI_ATTACH)
        attach_[static_cast<ULONG>(q.ColInt(2))] = LoadProps(c, q.ColInt(0));
      else
        rows.emplace_back(q.ColInt(2), q.ColInt(0));
    }
    std::sort(rows.begin(), rows.end());
    for (const auto& [num, rid] : rows) recips_.push_back(LoadProps(c, rid));
    next_attach_ = attach_.empty() ? 0 : attach_.rbegin()->first + 1;
  }

  // An embedded message: it lives in `image` (see EncodeMessage) and its
  // SaveChanges hands the new image to `save` instead of the file.
  void Embed(const Bytes& image, std::function<HRESULT(Bytes)> save) {
    embed_save_ = std::move(save);
    if (!image.empty()) DecodeMessage(image, base_, attach_, recips_);
    next_attach_ = attach_.empty() ? 0 : attach_.rbegin()->first + 1;
  }

  HRESULT SaveChanges(ULONG flags) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (flags & ~(KEEP_OPEN_READONLY | KEEP_OPEN_READWRITE | FORCE_SAVE | MAPI_DEFERRED_ERRORS))
      return MAPI_E_UNKNOWN_FLAGS;
    std::lock_guard<std::mutex> g(mu_);
    PropMap next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    if (!next.count(PROP_ID(PR_CREATION_TIME))) PutTime(next, PR_CREATION_TIME);
    PutTime(next, PR_LAST_MODIFICATION_TIME);
    if (!next.count(PROP_ID(PR_MESSAGE_FLAGS))) SetLong(next, PR_MESSAGE_FLAGS, MSGFLAG_UNSENT);
    if (embed_save_) {
      HRESULT hr = embed_save_(EncodeMessage(next, attach_, recips_));
      if (FAILED(hr)) return hr;
      base_ = std::move(next);
      pending_.clear();
      deleted_.clear();
      new_ = false;
      if (flags & KEEP_OPEN_READONLY) writable_ = false;
      return S_OK;
    }
    std::lock_guard<std::mutex> dg(db_->mu);
    {
      Stmt alive(*db_, "SELECT 1 FROM objects WHERE id = ?");
      Stmt folder(*db_, "SELECT 1 FROM objects WHERE id = ? AND kind = 3");
      if (!new_ && !alive.Int(1, id_).Step()) return MAPI_E_OBJECT_DELETED;
      if (!folder.Int(1, parent_).Step()) return MAPI_E_OBJECT_DELETED;
    }
    // The message, its attachments and its recipients in one transaction.
    Tx tx(*db_);
    bool ok = tx.ok() && DeleteTree(*db_, id_) && InsertObject(*db_, id_, parent_, MAPI_MESSAGE, assoc_, 0) &&
              SaveProps(*db_, id_, next);
    for (const auto& [num, m] : attach_) {
      int64_t aid = NextId(*db_);
      ok = ok && aid && InsertObject(*db_, aid, id_, MAPI_ATTACH, false, num) && SaveProps(*db_, aid, m);
    }
    LONG row = 0;
    for (const auto& m : recips_) {
      int64_t rid = NextId(*db_);
      ok = ok && rid && InsertObject(*db_, rid, id_, MAPI_MAILUSER, false, row++) && SaveProps(*db_, rid, m);
    }
    if (!ok || !tx.Commit()) return MAPI_E_DISK_ERROR;
    TouchRow(*db_, parent_, id_);
    NotifyObject(*db_, new_ ? fnevObjectCreated : fnevObjectModified, id_, parent_, MAPI_MESSAGE);
    base_ = std::move(next);
    pending_.clear();
    deleted_.clear();
    new_ = false;
    if (flags & KEEP_OPEN_READONLY) writable_ = false;
    return S_OK;
  }

  HRESULT GetAttachmentTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    std::lock_guard<std::mutex> g(mu_);
    auto& table = attach_table_[(flags & MAPI_UNICODE) ? 1 : 0];
    if (!table) {
      LPTABLEDATA td = nullptr;
      if (HRESULT hr = NewTableData(&td); FAILED(hr)) return hr;
      table = vantrel::ComPtr<IMAPITableData>::Adopt(td);
      for (const auto& [num, m] : attach_) AttachRow(num);
    }
    return table->HrGetView(nullptr, nullptr, 0, out);
  }
  HRESULT GetRecipientTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    std::lock_guard<std::mutex> g(mu_);
    auto& table = recip_table_[(flags & MAPI_UNICODE) ? 1 : 0];
    if (!table) {
      LPTABLEDATA td = nullptr;
      if (HRESULT hr = NewTableData(&td); FAILED(hr)) return hr;
      table = vantrel::ComPtr<IMAPITableData>::Adopt(td);
      RecipRows();
    }
    return table->HrGetView(nullptr, nullptr, 0, out);
  }

  HRESULT OpenAttach(ULONG num, LPCIID, ULONG flags, LPATTACH* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(mu_);
    auto it = attach_.find(num);
    if (it == attach_.end()) return MAPI_E_NOT_FOUND;
    bool w = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) && writable_;
    if ((flags & MAPI_MODIFY) && !writable_) return MAPI_E_NO_ACCESS;
    *out = new Attach(db_, vantrel::ComPtr<Message>(this), num, it->second, w);
    return S_OK;
  }

  HRESULT CreateAttach(LPCIID, ULONG, ULONG* num, LPATTACH* out) override {
    if (!num || !out) return MAPI_E_INVALID_PARAMETER;
    if (!writable_) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> g(mu_);
    *num = next_attach_++;
    *out = new Attach(db_, vantrel::ComPtr<Message>(this), *num, {}, true);
    return S_OK;
  }

  HRESULT DeleteAttach(ULONG num, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> g(mu_);
    if (!attach_.erase(num)) return MAPI_E_NOT_FOUND;
    AttachRow(num);
    return S_OK;
  }

  HRESULT ModifyRecipients(ULONG flags, LPADRLIST mods) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    if (flags & ~(MODRECIP_ADD | MODRECIP_MODIFY | MODRECIP_REMOVE)) return MAPI_E_UNKNOWN_FLAGS;
    if (!mods) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(mu_);
    std::vector<PropMap> next = flags == 0 ? std::vector<PropMap>{} : recips_;
    for (ULONG i = 0; i < mods->cEntries; ++i) {
      const ADRENTRY& e = mods->aEntries[i];
      PropMap m;
      LONG rowid = -1;
      for (ULONG j = 0; j < e.cValues; ++j) {
        const SPropValue& v = e.rgPropVals[j];
        if (PROP_ID(v.ulPropTag) == PROP_ID(PR_ROWID)) {
          rowid = v.Value.l;
          continue;
        }
        if (PROP_TYPE(v.ulPropTag) == PT_ERROR || PROP_TYPE(v.ulPropTag) == PT_NULL) continue;
        auto enc = EncodeProp(v);
        if (!enc) return MAPI_E_INVALID_PARAMETER;
        m[PROP_ID(v.ulPropTag)] = {StoredType(PROP_TYPE(v.ulPropTag)), std::move(*enc)};
      }
      if (flags & (MODRECIP_MODIFY | MODRECIP_REMOVE)) {
        if (rowid < 0 || static_cast<size_t>(rowid) >= next.size()) return MAPI_E_NOT_FOUND;
        if (flags & MODRECIP_REMOVE)
          next[rowid].clear();  // emptied now, dropped below so row ids hold
        else
          next[rowid] = std::move(m);
      } else {
        next.push_back(std::move(m));
      }
    }
    recips_.clear();
    for (auto& m : next)
      if (!m.empty()) recips_.push_back(std::move(m));
    RecipRows();
    return S_OK;
  }

  HRESULT SubmitMessage(ULONG) override {
    if (!writable_) return MAPI_E_NO_ACCESS;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (recips_.empty()) return MAPI_E_NO_RECIPIENTS;
      PropMap all = Snapshot();
      SetLong(pending_, PR_MESSAGE_FLAGS, (GetLong(all, PR_MESSAGE_FLAGS) | MSGFLAG_SUBMIT) & ~MSGFLAG_UNSENT);
    }
    return SaveChanges(0);
  }

  HRESULT SetReadFlag(ULONG flags) override {
    if (flags & ~(CLEAR_READ_FLAG | SUPPRESS_RECEIPT | MAPI_DEFERRED_ERRORS | GENERATE_RECEIPT_ONLY | CLEAR_RN_PENDING |
                  CLEAR_NRN_PENDING))
      return MAPI_E_UNKNOWN_FLAGS;
    if ((flags & CLEAR_READ_FLAG) && (flags & (SUPPRESS_RECEIPT | GENERATE_RECEIPT_ONLY)))
      return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(mu_);
    PropMap all = Snapshot();
    LONG f = GetLong(all, PR_MESSAGE_FLAGS);
    if (!(flags & GENERATE_RECEIPT_ONLY)) f = (flags & CLEAR_READ_FLAG) ? (f & ~MSGFLAG_READ) : (f | MSGFLAG_READ);
    SetLong(pending_, PR_MESSAGE_FLAGS, f);
    // The read state reaches the stored message at once, not only with SaveChanges.
    if (!new_) {
      SetLong(base_, PR_MESSAGE_FLAGS, f);
      std::lock_guard<std::mutex> dg(db_->mu);
      Bytes b(4);
      std::memcpy(b.data(), &f, 4);
      Stmt q(*db_, "INSERT OR REPLACE INTO props(obj, id, type, value) VALUES(?, ?, 3, ?)");
      if (!q.Int(1, id_).Int(2, PROP_ID(PR_MESSAGE_FLAGS)).Blob(3, b.data(), 4).Run()) return MAPI_E_DISK_ERROR;
      TouchRow(*db_, parent_, id_);
    }
    return S_OK;
  }

  // An attachment's SaveChanges lands in the message's pending state.
  void PutAttach(ULONG num, PropMap m) {
    std::lock_guard<std::mutex> g(mu_);
    attach_[num] = std::move(m);
    AttachRow(num);
  }

 protected:
  void Computed(PropMap& all) override {
    PutLong(all, PR_OBJECT_TYPE, MAPI_MESSAGE);
    if (!embed_save_) {  // an embedded message has no entry ID of its own
      Bytes eid = MakeEntryID(db_->uid, id_);
      PutBin(all, PR_ENTRYID, eid);
      PutBin(all, PR_RECORD_KEY, eid);
      PutBin(all, PR_INSTANCE_KEY, eid);
      PutBin(all, PR_PARENT_ENTRYID, MakeEntryID(db_->uid, parent_));
    }
    PutBin(all, PR_STORE_ENTRYID, StoreEntryID(db_->path));
    PutBin(all, PR_STORE_RECORD_KEY, Bytes(db_->uid.ab, db_->uid.ab + 16));
    LONG f = GetLong(all, PR_MESSAGE_FLAGS, MSGFLAG_UNSENT);
    f = attach_.empty() ? (f & ~MSGFLAG_HASATTACH) : (f | MSGFLAG_HASATTACH);
    if (assoc_) f |= MSGFLAG_ASSOCIATED;
    if (new_) f |= MSGFLAG_UNMODIFIED;
    PutLong(all, PR_MESSAGE_FLAGS, f);
    PutBool(all, PR_HASATTACH, !attach_.empty());
    uint64_t size = 0;
    for (const auto& [id, v] : all) size += ValueSize(v) + 8;
    for (const auto& [n, m] : attach_)
      for (const auto& [id, v] : m) size += ValueSize(v) + 8;
    PutLong(all, PR_MESSAGE_SIZE, static_cast<LONG>(std::min<uint64_t>(size, 0x7fffffff)));
    PutLong(all, PR_ACCESS_LEVEL, writable_ ? 1 : 0);
  }
  bool Writable() override { return writable_; }
  bool Chunked() override { return !embed_save_; }
  static void PutTime(PropMap& m, ULONG tag) {
    FILETIME ft = CurrentFileTime();
    Bytes b(8);
    std::memcpy(b.data(), &ft, 8);
    m[PROP_ID(tag)] = {PT_SYSTIME, b};
  }

 private:
  int64_t id_, parent_;
  bool assoc_, new_, writable_;
  std::map<ULONG, PropMap> attach_;  // by attachment number; guarded by mu_
  std::vector<PropMap> recips_;      // by row id; guarded by mu_
  ULONG next_attach_ = 0;            // guarded by mu_
  std::function<HRESULT(Bytes)> embed_save_;
  // Open attachment and recipient tables, 8-bit and Unicode, kept current;
  // guarded by mu_.
  vantrel::ComPtr<IMAPITableData> attach_table_[2], recip_table_[2];

  // Caller holds mu_.
  void AttachRow(ULONG num) {
    Bytes key(4);
    std::memcpy(key.data(), &num, 4);
    auto it = attach_.find(num);
    for (int w = 0; w < 2; ++w) {
      if (!attach_table_[w]) continue;
      if (it == attach_.end()) {
        SPropValue k{};
        k.ulPropTag = PR_INSTANCE_KEY;
        k.Value.bin = {4, key.data()};
        attach_table_[w]->HrDeleteRow(&k);
        continue;
      }
      PropMap x;
      x[PROP_ID(PR_INSTANCE_KEY)] = {PT_BINARY, key};
      x[PROP_ID(PR_RECORD_KEY)] = {PT_BINARY, key};
      SetLong(x, PR_ATTACH_NUM, static_cast<LONG>(num));
      SetLong(x, PR_OBJECT_TYPE, MAPI_ATTACH);
      SRow row;
      if (SUCCEEDED(BuildRow(it->second, x, w == 1, row))) {
        attach_table_[w]->HrModifyRow(&row);
        MAPIFreeBuffer(row.lpProps);
      }
    }
  }
  void RecipRows() {
    for (int w = 0; w < 2; ++w) {
      if (!recip_table_[w]) continue;
      recip_table_[w]->HrModifyRows(TAD_ALL_ROWS, nullptr);
      for (size_t i = 0; i < recips_.size(); ++i) {
        PropMap x;
        LONG rowid = static_cast<LONG>(i);
        Bytes key(4);
        std::memcpy(key.data(), &rowid, 4);
        x[PROP_ID(PR_INSTANCE_KEY)] = {PT_BINARY, key};
        SetLong(x, PR_ROWID, rowid);
        SetLong(x, PR_OBJECT_TYPE, MAPI_MAILUSER);
        SRow row;
        if (SUCCEEDED(BuildRow(recips_[i], x, w == 1, row))) {
          recip_table_[w]->HrModifyRow(&row);
          MAPIFreeBuffer(row.lpProps);
        }
      }
    }
  }
};

HRESULT Attach::OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) {
  if (!iid || !out || PROP_ID(tag) != PROP_ID(PR_ATTACH_DATA_OBJ) || *iid != IID_IMessage)
    return PropObject::OpenProperty(tag, iid, options, flags, out);
  *out = nullptr;
  bool create = flags & MAPI_CREATE, modify = flags & (MAPI_MODIFY | MAPI_CREATE);
  if (modify && !writable_) return MAPI_E_NO_ACCESS;
  Bytes image;
  {
    std::lock_guard<std::mutex> g(mu_);
    PropMap all = Snapshot();
    auto it = all.find(PROP_ID(PR_ATTACH_DATA_OBJ));
    if (!create) {
      if (it == all.end() || BareType(it->second.first) != PT_OBJECT) return MAPI_E_NOT_FOUND;
      ValueRef r;
      if (!IsRef(it->second.first))
        image = it->second.second;
      else if (!DecodeRef(it->second.second, r) || !Materialize(*db_, r, false, image))
        return MAPI_E_CORRUPT_DATA;
    }
  }
  vantrel::ComPtr<Attach> self(this);
  auto* m = new (std::nothrow) Message(db_, 0, 0, false, image.empty(), modify);
  if (!m) return MAPI_E_NOT_ENOUGH_MEMORY;
  m->Embed(image, [self](Bytes b) { return self->PutStored(PROP_ID(PR_ATTACH_DATA_OBJ), PT_OBJECT, std::move(b)); });
  *out = static_cast<IMessage*>(m);
  return S_OK;
}

void Attach::Staged(int64_t blob) {
  msg_->Staged(blob);
}
bool Attach::Chunked() {
  return msg_->Chunked();
}

HRESULT Attach::SaveChanges(ULONG) {
  if (!writable_) return MAPI_E_NO_ACCESS;
  PropMap next;
  {
    std::lock_guard<std::mutex> g(mu_);
    next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    base_ = next;
    pending_.clear();
    deleted_.clear();
  }
  msg_->PutAttach(num_, std::move(next));
  return S_OK;
}

// ---- folders ---------------------------------------------------------------

// A folder name (UTF-8) in lower case for comparisons without regard to
// case: the letters of the ANSI code page, Greek and Cyrillic.
std::u16string FoldName(std::string_view utf8) {
  std::u16string w = Utf8ToUtf16(utf8);
  for (char16_t& c : w) {
    if (c < 0x80) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
    } else if ((c >= 0x391 && c <= 0x3A9 && c != 0x3A2) || (c >= 0x410 && c <= 0x42F)) {
      c = static_cast<char16_t>(c + 0x20);
    } else if (c >= 0x400 && c <= 0x40F) {
      c = static_cast<char16_t>(c + 0x50);
    } else {
      std::string a = Utf16ToAnsi(std::u16string_view(&c, 1));
      if (a.size() == 1 && a[0] != '?') {
        std::u16string back = AnsiToUtf16(FoldAnsi(a));
        if (back.size() == 1) c = back[0];
      }
    }
  }
  return w;
}

HRESULT OpenObject(const std::shared_ptr<Db>& db, int64_t id, ULONG flags, ULONG* type, LPUNKNOWN* out);

// Copies object `id` of `src` (with its properties and, below it, its
// attachments, recipients, messages and, when `subfolders`, its folders)
// under `dst_parent` of `dst`; returns the new id or 0. Caller holds the
// locks of both databases inside their transactions.
int64_t CopyTree(Db& src, int64_t id, Db& dst, int64_t dst_parent, bool subfolders, int depth = 0) {
  if (depth > 256) return 0;
  Stmt q(src, "SELECT kind, assoc, num FROM objects WHERE id = ?");
  q.Int(1, id);
  if (!q.Step()) return 0;
  ULONG kind = static_cast<ULONG>(q.ColInt(0));
  bool assoc = q.ColInt(1) != 0;
  int64_t num = q.ColInt(2);
  int64_t nid = NextId(dst);
  PropMap props = LoadProps(src, id);
  if (!nid || !CopyRefs(src, dst, props) || !InsertObject(dst, nid, dst_parent, kind, assoc, num) ||
      !SaveProps(dst, nid, props))
    return 0;
  std::vector<std::pair<int64_t, ULONG>> kids;
  Stmt k(src, "SELECT id, kind FROM objects WHERE parent = ?");
  k.Int(1, id);
  while (k.Step()) kids.emplace_back(k.ColInt(0), static_cast<ULONG>(k.ColInt(1)));
  for (auto [kid, kkind] : kids) {
    if (kkind == MAPI_FOLDER && !subfolders) continue;
    if (!CopyTree(src, kid, dst, nid, subfolders, depth + 1)) return 0;
  }
  return nid;
}

// Both databases locked in one order whatever the direction of the copy.
class BothLocked {
 public:
  BothLocked(Db& a, Db& b) {
    if (&a == &b) {
      a_ = std::unique_lock<std::mutex>(a.mu);
    } else if (&a < &b) {
      a_ = std::unique_lock<std::mutex>(a.mu);
      b_ = std::unique_lock<std::mutex>(b.mu);
    } else {
      b_ = std::unique_lock<std::mutex>(b.mu);
      a_ = std::unique_lock<std::mutex>(a.mu);
    }
  }

 private:
  std::unique_lock<std::mutex> a_, b_;
};

class Folder final : public PropObject<IMAPIFolder> {
 public:
  Folder(std::shared_ptr<Db> db, int64_t id, int64_t parent, bool writable)
      : PropObject(std::move(db)), id_(id), parent_(parent), writable_(writable) {}
  void Load(Conn& c) { base_ = LoadProps(c, id_); }
  int64_t id() const { return id_; }
  const std::shared_ptr<Db>& db() const { return db_; }

  HRESULT GetContentsTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_ASSOCIATED | MAPI_DEFERRED_ERRORS | MAPI_UNICODE | SHOW_SOFT_DELETES))
      return MAPI_E_UNKNOWN_FLAGS;
    return View(((flags & MAPI_ASSOCIATED) ? 1 : 0) | ((flags & MAPI_UNICODE) ? kUnicodeTable : 0), out);
  }
  HRESULT GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(CONVENIENT_DEPTH | MAPI_DEFERRED_ERRORS | MAPI_UNICODE | SHOW_SOFT_DELETES))
      return MAPI_E_UNKNOWN_FLAGS;
    return View(((flags & CONVENIENT_DEPTH) ? 3 : 2) | ((flags & MAPI_UNICODE) ? kUnicodeTable : 0), out);
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    if (!type || !out) return MAPI_E_INVALID_PARAMETER;
    if (!eid) return OpenObject(db_, id_, flags, type, out);
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    return OpenObject(db_, id, flags, type, out);
  }

  // The criteria are kept with the folder; filling it from them is the job
  // of the search-folder machinery above the store.
  HRESULT SetSearchCriteria(LPSRestriction res, LPENTRYLIST list, ULONG flags) override {
    if (flags &
        ~(STOP_SEARCH | RESTART_SEARCH | RECURSIVE_SEARCH | SHALLOW_SEARCH | FOREGROUND_SEARCH | BACKGROUND_SEARCH))
      return MAPI_E_UNKNOWN_FLAGS;
    if (((flags & STOP_SEARCH) && (flags & RESTART_SEARCH)) ||
        ((flags & RECURSIVE_SEARCH) && (flags & SHALLOW_SEARCH)) ||
        ((flags & FOREGROUND_SEARCH) && (flags & BACKGROUND_SEARCH)))
      return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(mu_);
    PropMap all = base_;
    for (const auto& [id, v] : pending_) all[id] = v;
    if (GetLong(all, PR_FOLDER_TYPE) != static_cast<LONG>(FOLDER_SEARCH)) return MAPI_E_NO_SUPPORT;
    bool first = !all.count(kCritRes);
    if (first && (!res || !list)) return MAPI_E_INVALID_PARAMETER;
    if (res) {
      auto enc = EncodeRestriction(*res);
      if (!enc) return MAPI_E_TOO_COMPLEX;
      pending_[kCritRes] = {PT_BINARY, std::move(*enc)};
    }
    if (list) {
      SPropValue v{};
      v.ulPropTag = PROP_TAG(PT_MV_BINARY, kCritList);
      v.Value.MVbin = *list;
      auto enc = EncodeProp(v);
      if (!enc) return MAPI_E_INVALID_PARAMETER;
      pending_[kCritList] = {PT_MV_BINARY, std::move(*enc)};
    }
    ULONG state = static_cast<ULONG>(GetLong(all, PROP_TAG(PT_LONG, kCritState), SEARCH_RUNNING));
    bool was_running = !first && (state & SEARCH_RUNNING);
    if (flags & STOP_SEARCH) state &= ~SEARCH_RUNNING;
    if (flags & RESTART_SEARCH) state |= SEARCH_RUNNING;
    if (flags & RECURSIVE_SEARCH) state |= SEARCH_RECURSIVE;
    if (flags & SHALLOW_SEARCH) state &= ~SEARCH_RECURSIVE;
    if (flags & FOREGROUND_SEARCH) state |= SEARCH_FOREGROUND;
    if (flags & BACKGROUND_SEARCH) state &= ~SEARCH_FOREGROUND;
    SetLong(pending_, PROP_TAG(PT_LONG, kCritState), static_cast<LONG>(state));
    if (HRESULT hr = FlushLocked(); FAILED(hr)) return hr;
    // New criteria, a restart or a start build the results again.
    bool rebuild = res || list || (flags & RESTART_SEARCH) || !was_running;
    std::lock_guard<std::mutex> dg(db_->mu);
    rebuild |= !db_->searches.Known(id_);
    std::uint64_t gen = LoadSearch(rebuild);
    if (!gen) return S_OK;
    if (state & SEARCH_FOREGROUND) {
      DbSearchHost host(*db_);
      db_->searches.Rebuild(host, id_, gen, true);
    } else {
      try {
        std::thread([db = db_, id = id_, gen] {
          std::lock_guard<std::mutex> g(db->mu);
          DbSearchHost host(*db);
          db->searches.Rebuild(host, id, gen, true);
        }).detach();
      } catch (const std::system_error&) {  // no thread to be had: search now
        DbSearchHost host(*db_);
        db_->searches.Rebuild(host, id_, gen, true);
      }
    }
    return S_OK;
  }

  HRESULT GetSearchCriteria(ULONG flags, LPSRestriction* res, LPENTRYLIST* list, ULONG* state) override {
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    std::lock_guard<std::mutex> g(mu_);
    if (GetLong(base_, PR_FOLDER_TYPE) != static_cast<LONG>(FOLDER_SEARCH)) return MAPI_E_NO_SUPPORT;
    auto r = base_.find(kCritRes);
    auto l = base_.find(kCritList);
    if (r == base_.end() || l == base_.end()) return MAPI_E_NOT_INITIALIZED;
    LPSRestriction out_res = nullptr;
    if (res) {
      if (HRESULT hr = DecodeRestriction(r->second.second, &out_res); FAILED(hr)) return hr;
    }
    if (list) {
      void* root;
      if (MAPIAllocateBuffer(sizeof(SPropValue), &root)) {
        MAPIFreeBuffer(out_res);
        return MAPI_E_NOT_ENOUGH_MEMORY;
      }
      auto* v = static_cast<SPropValue*>(root);
      HRESULT hr = DecodeProp(PROP_TAG(PT_MV_BINARY, kCritList), PT_MV_BINARY, l->second.second, root, *v);
      if (FAILED(hr)) {
        MAPIFreeBuffer(root);
        MAPIFreeBuffer(out_res);
        return hr;
      }
      // The list is the first member of the value's union, so the buffer
      // can be handed out as the list itself.
      static_assert(offsetof(SPropValue, Value) == 8);
      std::memmove(root, &v->Value.MVbin, sizeof(SBinaryArray));
      *list = static_cast<LPENTRYLIST>(root);
    }
    if (res) *res = out_res;
    if (state) {
      *state = static_cast<ULONG>(GetLong(base_, PROP_TAG(PT_LONG, kCritState)));
      std::lock_guard<std::mutex> dg(db_->mu);
      if (db_->searches.Rebuilding(id_)) *state |= SEARCH_REBUILD;
    }
    return S_OK;
  }

  HRESULT CreateMessage(LPCIID, ULONG flags, LPMESSAGE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_ASSOCIATED | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> dg(db_->mu);
    int64_t id = ReserveMessageId(*db_);
    if (!id) return MAPI_E_DISK_ERROR;
    *out = new Message(db_, id, id_, flags & MAPI_ASSOCIATED, true, true);
    return S_OK;
  }

  HRESULT CopyMessages(LPENTRYLIST list, LPCIID, LPVOID dst_folder, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (!list || !dst_folder) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_MOVE | MAPI_DECLINE_OK | MESSAGE_DIALOG)) return MAPI_E_UNKNOWN_FLAGS;
    auto* dst = dynamic_cast<Folder*>(static_cast<IMAPIFolder*>(dst_folder));
    if (!dst) return MAPI_E_NO_SUPPORT;
    bool same = dst->db_ == db_;
    BothLocked locks(*db_, *dst->db_);
    Tx tx(*db_);
    std::unique_ptr<Tx> tx2;
    if (!same) tx2 = std::make_unique<Tx>(*dst->db_);
    bool missing = false, ok = true;
    for (ULONG i = 0; i < list->cValues && ok; ++i) {
      int64_t id = ParseEntryID(db_->uid, list->lpbin[i].cb, reinterpret_cast<LPENTRYID>(list->lpbin[i].lpb));
      Stmt q(*db_, "SELECT 1 FROM objects WHERE id = ? AND parent = ? AND kind = 5");
      if (id < 0 || !q.Int(1, id).Int(2, id_).Step()) {
        missing = true;
        continue;
      }
      OldPlace was{&db_->uid, id, id_};
      if (same && (flags & MAPI_MOVE)) {
        Stmt m(*db_, "UPDATE objects SET parent = ? WHERE id = ?");
        ok = m.Int(1, dst->id_).Int(2, id).Run();
        TouchRow(*db_, dst->id_, id);
        NotifyObject(*db_, fnevObjectMoved, id, dst->id_, MAPI_MESSAGE, &was);
      } else {
        int64_t nid = CopyTree(*db_, id, *dst->db_, dst->id_, false);
        ok = nid && (!(flags & MAPI_MOVE) || DeleteTree(*db_, id));
        if (nid) TouchRow(*dst->db_, dst->id_, nid);
        if (ok)
          NotifyObject(*dst->db_, (flags & MAPI_MOVE) ? fnevObjectMoved : fnevObjectCopied, nid, dst->id_, MAPI_MESSAGE,
                       &was);
        // Moved out to another store: gone from this one.
        if (ok && !same && (flags & MAPI_MOVE)) NotifyObject(*db_, fnevObjectDeleted, id, id_, MAPI_MESSAGE);
      }
      TouchRow(*db_, id_, id);
    }
    // Both stores commit, the destination first, so a failure never loses a moved message.
    if (!ok || (tx2 && !tx2->Commit()) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return missing ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }

  HRESULT DeleteMessages(LPENTRYLIST list, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (!list) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MESSAGE_DIALOG | DELETE_HARD_DELETE)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    bool missing = false, ok = tx.ok();
    for (ULONG i = 0; i < list->cValues && ok; ++i) {
      int64_t id = ParseEntryID(db_->uid, list->lpbin[i].cb, reinterpret_cast<LPENTRYID>(list->lpbin[i].lpb));
      Stmt q(*db_, "SELECT 1 FROM objects WHERE id = ? AND parent = ? AND kind = 5");
      if (id < 0 || !q.Int(1, id).Int(2, id_).Step()) {
        missing = true;
        continue;
      }
      ok = DeleteTree(*db_, id);
      TouchRow(*db_, id_, id);
      NotifyObject(*db_, fnevObjectDeleted, id, id_, MAPI_MESSAGE);
    }
    if (!ok || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return missing ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }

  HRESULT CreateFolder(ULONG type, LPSTR name, LPSTR comment, LPCIID, ULONG flags, LPMAPIFOLDER* out) override {
    if (!out || !name) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(OPEN_IF_EXISTS | MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    if (type != FOLDER_GENERIC && type != FOLDER_SEARCH) return MAPI_E_INVALID_PARAMETER;
    if (!writable_) return MAPI_E_NO_ACCESS;
    auto text = [&](LPSTR s) {
      if (!s) return std::string();
      return (flags & MAPI_UNICODE) ? Utf16ToUtf8(reinterpret_cast<const char16_t*>(s)) : AnsiToUtf8(s);
    };
    std::string n = text(name);
    if (n.empty()) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    if (int64_t existing = ChildByName(n); existing) {
      if (!(flags & OPEN_IF_EXISTS)) return MAPI_E_COLLISION;
      tx.Commit();
      auto* f = new Folder(db_, existing, id_, true);
      f->Load(*db_);
      *out = f;
      return S_OK;
    }
    int64_t id = NextId(*db_);
    PropMap m;
    SetString(m, PR_DISPLAY_NAME, n);
    if (comment) SetString(m, PR_COMMENT, text(comment));
    SetLong(m, PR_FOLDER_TYPE, static_cast<LONG>(type));
    if (!id || !InsertObject(*db_, id, id_, MAPI_FOLDER, false, 0) || !SaveProps(*db_, id, m) || !tx.Commit())
      return MAPI_E_DISK_ERROR;
    TouchRow(*db_, id_, id);
    NotifyObject(*db_, fnevObjectCreated, id, id_, MAPI_FOLDER);
    auto* f = new Folder(db_, id, id_, true);
    f->base_ = std::move(m);
    *out = f;
    return S_OK;
  }

  HRESULT CopyFolder(ULONG cb, LPENTRYID eid, LPCIID, LPVOID dst_folder, LPSTR new_name, ULONG_PTR, LPMAPIPROGRESS,
                     ULONG flags) override {
    if (!dst_folder) return MAPI_E_INVALID_PARAMETER;
    auto* dst = dynamic_cast<Folder*>(static_cast<IMAPIFolder*>(dst_folder));
    if (!dst) return MAPI_E_NO_SUPPORT;
    if (flags & ~(FOLDER_MOVE | COPY_SUBFOLDERS | MAPI_UNICODE | FOLDER_DIALOG | MAPI_DECLINE_OK))
      return MAPI_E_UNKNOWN_FLAGS;
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    if ((flags & FOLDER_MOVE) && id <= kSearchRoot) return MAPI_E_NO_ACCESS;
    bool same = dst->db_ == db_;
    BothLocked locks(*db_, *dst->db_);
    Tx tx(*db_);
    std::unique_ptr<Tx> tx2;
    if (!same) tx2 = std::make_unique<Tx>(*dst->db_);
    Stmt q(*db_, "SELECT 1 FROM objects WHERE id = ? AND parent = ? AND kind = 3");
    if (!q.Int(1, id).Int(2, id_).Step()) return MAPI_E_NOT_FOUND;
    // A folder never moves or copies below itself.
    for (int64_t p = same ? dst->id_ : 0; p;) {
      if (p == id) return MAPI_E_FOLDER_CYCLE;
      Stmt up(*db_, "SELECT parent FROM objects WHERE id = ?");
      p = up.Int(1, p).Step() ? up.ColInt(0) : 0;
    }
    PropMap props = LoadProps(*db_, id);
    std::string name;
    if (new_name) {
      name = (flags & MAPI_UNICODE) ? Utf16ToUtf8(reinterpret_cast<const char16_t*>(new_name)) : AnsiToUtf8(new_name);
    } else if (auto it = props.find(PROP_ID(PR_DISPLAY_NAME)); it != props.end()) {
      name.assign(it->second.second.begin(), it->second.second.end());
    }
    if (ChildByName(*dst->db_, dst->id_, name, same && (flags & FOLDER_MOVE) ? id : -1)) return MAPI_E_COLLISION;
    SetString(props, PR_DISPLAY_NAME, name);
    OldPlace was{&db_->uid, id, id_};
    if (same && (flags & FOLDER_MOVE)) {
      Stmt m(*db_, "UPDATE objects SET parent = ? WHERE id = ?");
      if (!m.Int(1, dst->id_).Int(2, id).Run() || !SaveProps(*db_, id, props) || !tx.Commit()) return MAPI_E_DISK_ERROR;
      TouchRow(*db_, id_, id);
      TouchRow(*db_, dst->id_, id);
      NotifyObject(*db_, fnevObjectMoved, id, dst->id_, MAPI_FOLDER, &was);
      return S_OK;
    }
    // A move takes the whole tree; a copy takes subfolders only when asked.
    int64_t nid = CopyTree(*db_, id, *dst->db_, dst->id_, (flags & (FOLDER_MOVE | COPY_SUBFOLDERS)) != 0);
    if (!nid || !SaveProps(*dst->db_, nid, props)) return MAPI_E_DISK_ERROR;
    if ((flags & FOLDER_MOVE) && !DeleteTree(*db_, id)) return MAPI_E_DISK_ERROR;
    if ((tx2 && !tx2->Commit()) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    TouchRow(*dst->db_, dst->id_, nid);
    NotifyObject(*dst->db_, (flags & FOLDER_MOVE) ? fnevObjectMoved : fnevObjectCopied, nid, dst->id_, MAPI_FOLDER,
                 &was);
    if (flags & FOLDER_MOVE) {
      TouchRow(*db_, id_, id);
      DropTables(*db_, id);
      if (!same) NotifyObject(*db_, fnevObjectDeleted, id, id_, MAPI_FOLDER);
    }
    return S_OK;
  }

  HRESULT DeleteFolder(ULONG cb, LPENTRYID eid, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (flags & ~(DEL_FOLDERS | DEL_MESSAGES | FOLDER_DIALOG)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    if (id <= kSearchRoot) return MAPI_E_NO_ACCESS;  // the standard tree stays
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    Stmt q(*db_, "SELECT 1 FROM objects WHERE id = ? AND parent = ? AND kind = 3");
    if (!q.Int(1, id).Int(2, id_).Step()) return MAPI_E_NOT_FOUND;
    Stmt sub(*db_,
             "SELECT COUNT(*) FILTER (WHERE kind = 3), COUNT(*) FILTER (WHERE kind = 5) FROM objects "
             "WHERE parent = ?");
    sub.Int(1, id).Step();
    if (sub.ColInt(0) && !(flags & DEL_FOLDERS)) return MAPI_E_HAS_FOLDERS;
    if (sub.ColInt(1) && !(flags & DEL_MESSAGES)) return MAPI_E_HAS_MESSAGES;
    if (!DeleteTree(*db_, id) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    TouchRow(*db_, id_, id);
    NotifyObject(*db_, fnevObjectDeleted, id, id_, MAPI_FOLDER);
    DropTables(*db_, id);
    return S_OK;
  }

  HRESULT SetReadFlags(LPENTRYLIST list, ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (flags & ~(CLEAR_READ_FLAG | SUPPRESS_RECEIPT | MAPI_DEFERRED_ERRORS | GENERATE_RECEIPT_ONLY | CLEAR_RN_PENDING |
                  CLEAR_NRN_PENDING | FOLDER_DIALOG))
      return MAPI_E_UNKNOWN_FLAGS;
    if ((flags & CLEAR_READ_FLAG) && (flags & (SUPPRESS_RECEIPT | GENERATE_RECEIPT_ONLY)))
      return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    std::vector<int64_t> ids;
    bool missing = false;
    if (!list) {
      Stmt q(*db_, "SELECT id FROM objects WHERE parent = ? AND kind = 5 AND assoc = 0");
      q.Int(1, id_);
      while (q.Step()) ids.push_back(q.ColInt(0));
    } else {
      for (ULONG i = 0; i < list->cValues; ++i) {
        int64_t id = ParseEntryID(db_->uid, list->lpbin[i].cb, reinterpret_cast<LPENTRYID>(list->lpbin[i].lpb));
        Stmt q(*db_, "SELECT 1 FROM objects WHERE id = ? AND parent = ? AND kind = 5");
        if (id < 0 || !q.Int(1, id).Int(2, id_).Step())
          missing = true;
        else
          ids.push_back(id);
      }
    }
    if (!(flags & GENERATE_RECEIPT_ONLY)) {
      for (int64_t id : ids) {
        PropMap m = LoadProps(*db_, id);
        LONG f = GetLong(m, PR_MESSAGE_FLAGS);
        f = (flags & CLEAR_READ_FLAG) ? (f & ~MSGFLAG_READ) : (f | MSGFLAG_READ);
        SetLong(m, PR_MESSAGE_FLAGS, f);
        if (!SaveProps(*db_, id, m)) return MAPI_E_DISK_ERROR;
        TouchRow(*db_, id_, id);
      }
    }
    if (!tx.Commit()) return MAPI_E_DISK_ERROR;
    return missing ? MAPI_W_PARTIAL_COMPLETION : S_OK;
  }

  HRESULT GetMessageStatus(ULONG cb, LPENTRYID eid, ULONG, ULONG* status) override {
    if (!status) return MAPI_E_INVALID_PARAMETER;
    Reader rd(*db_);
    int64_t id = MessageHere(rd.c(), cb, eid);
    if (id < 0) return MAPI_E_NOT_FOUND;
    *status = static_cast<ULONG>(GetLong(LoadProps(rd.c(), id), PR_MSG_STATUS));
    return S_OK;
  }

  HRESULT SetMessageStatus(ULONG cb, LPENTRYID eid, ULONG status, ULONG mask, ULONG* old) override {
    std::lock_guard<std::mutex> dg(db_->mu);
    int64_t id = MessageHere(*db_, cb, eid);
    if (id < 0) return MAPI_E_NOT_FOUND;
    Tx tx(*db_);
    PropMap m = LoadProps(*db_, id);
    ULONG was = static_cast<ULONG>(GetLong(m, PR_MSG_STATUS));
    SetLong(m, PR_MSG_STATUS, static_cast<LONG>((was & ~mask) | (status & mask)));
    if (!SaveProps(*db_, id, m) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    TouchRow(*db_, id_, id);
    if (old) *old = was;
    return S_OK;
  }

  HRESULT SaveContentsSort(LPSSortOrderSet sort, ULONG) override {
    if (!sort) return MAPI_E_INVALID_PARAMETER;
    // Kept as the folder's default sort for its contents tables.
    Bytes b(reinterpret_cast<const BYTE*>(sort),
            reinterpret_cast<const BYTE*>(sort) + CbNewSSortOrderSet(sort->cSorts));
    std::lock_guard<std::mutex> g(mu_);
    pending_[kSortPropId] = {PT_BINARY, std::move(b)};
    return FlushLocked();
  }

  HRESULT EmptyFolder(ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
    if (flags & ~(DEL_ASSOCIATED | FOLDER_DIALOG | DELETE_HARD_DELETE)) return MAPI_E_UNKNOWN_FLAGS;
    if (!writable_) return MAPI_E_NO_ACCESS;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    std::vector<int64_t> ids;
    Stmt q(*db_, "SELECT id, kind, assoc FROM objects WHERE parent = ?");
    q.Int(1, id_);
    while (q.Step())
      if (q.ColInt(1) == MAPI_FOLDER || !q.ColInt(2) || (flags & DEL_ASSOCIATED)) ids.push_back(q.ColInt(0));
    for (int64_t id : ids)
      if (!DeleteTree(*db_, id)) return MAPI_E_DISK_ERROR;
    if (!tx.Commit()) return MAPI_E_DISK_ERROR;
    for (int64_t id : ids) {
      TouchRow(*db_, id_, id);
      DropTables(*db_, id);
    }
    return S_OK;
  }

 protected:
  // Private to the store, never shown: the contents sort and the search criteria.
  static constexpr ULONG kSortPropId = 0x7FF0;
  static constexpr ULONG kCritRes = 0x7FF1, kCritList = 0x7FF2, kCritState = 0x7FF3;

  void Computed(PropMap& all) override {
    for (ULONG id : {kSortPropId, kCritRes, kCritList, kCritState}) all.erase(id);
    PutLong(all, PR_OBJECT_TYPE, MAPI_FOLDER);
    Bytes eid = MakeEntryID(db_->uid, id_);
    PutBin(all, PR_ENTRYID, eid);
    PutBin(all, PR_RECORD_KEY, eid);
    PutBin(all, PR_INSTANCE_KEY, eid);
    PutBin(all, PR_PARENT_ENTRYID, MakeEntryID(db_->uid, parent_ ? parent_ : id_));
    PutBin(all, PR_STORE_ENTRYID, StoreEntryID(db_->path));
    PutBin(all, PR_STORE_RECORD_KEY, Bytes(db_->uid.ab, db_->uid.ab + 16));
    Reader rd(*db_);
    Stmt q(rd.c(),
           "SELECT COUNT(*) FILTER (WHERE o.kind = 5 AND o.assoc = 0), COUNT(*) FILTER (WHERE o.kind = 3)"
           " FROM objects o WHERE o.parent = ?");
    q.Int(1, id_);
    if (q.Step()) {
      PutLong(all, PR_CONTENT_COUNT, static_cast<LONG>(q.ColInt(0)));
      PutBool(all, PR_SUBFOLDERS, q.ColInt(1) > 0);
    }
    PutLong(all, PR_CONTENT_UNREAD, static_cast<LONG>(CountUnread(rd.c())));
    PutLong(all, PR_ACCESS_LEVEL, writable_ ? 1 : 0);
  }
  bool Writable() override { return writable_; }
  HRESULT Flush() override {
    std::lock_guard<std::mutex> g(mu_);
    return FlushLocked();
  }
  // Folders are not transacted: changes reach the file at once. Caller holds mu_.
  HRESULT FlushLocked() {
    PropMap next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    if (!SaveProps(*db_, id_, next) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    if (parent_) TouchRow(*db_, parent_, id_);
    base_ = std::move(next);
    pending_.clear();
    deleted_.clear();
    return S_OK;
  }

 private:
  int64_t CountUnread(Conn& c) {
    int64_t n = 0;
    Stmt q(c, "SELECT id FROM objects WHERE parent = ? AND kind = 5 AND assoc = 0");
    q.Int(1, id_);
    std::vector<int64_t> ids;
    while (q.Step()) ids.push_back(q.ColInt(0));
    Stmt f(c, "SELECT value FROM props WHERE obj = ? AND id = ?");
    for (int64_t id : ids) {
      f.Int(1, id).Int(2, PROP_ID(PR_MESSAGE_FLAGS));
      LONG v = 0;
      if (f.Step()) {
        Bytes b = f.ColBlob(0);
        if (b.size() == 4) std::memcpy(&v, b.data(), 4);
      }
      sqlite3_reset(f.s);
      if (!(v & MSGFLAG_READ)) ++n;
    }
    return n;
  }
  int64_t ChildByName(const std::string& name) { return ChildByName(*db_, id_, name, -1); }
  // The subfolder of `parent` named `name` without regard to case, other
  // than `except`; 0 when there is none.
  static int64_t ChildByName(Conn& c, int64_t parent, const std::string& name, int64_t except) {
    std::u16string want = FoldName(name);
    Stmt q(c,
           "SELECT o.id, p.value FROM objects o JOIN props p ON p.obj = o.id AND p.id = ? WHERE o.parent = ?"
           " AND o.kind = 3");
    q.Int(1, PROP_ID(PR_DISPLAY_NAME)).Int(2, parent);
    while (q.Step()) {
      Bytes v = q.ColBlob(1);
      if (q.ColInt(0) != except && FoldName({reinterpret_cast<const char*>(v.data()), v.size()}) == want)
        return q.ColInt(0);
    }
    return 0;
  }
  // A view of the folder's table `which` (with kUnicodeTable: strings in
  // Unicode), filled from the file the first time and kept current from
  // then on.
  HRESULT View(int which, LPMAPITABLE* out) {
    std::lock_guard<std::mutex> g(mu_);  // the criteria in base_; before the store's lock, as everywhere
    bool search_folder = GetLong(base_, PR_FOLDER_TYPE) == static_cast<LONG>(FOLDER_SEARCH);
    // The depth table and a search folder's results are kept in one width:
    // their rows come from the hierarchy walk and the search, which fill
    // 8-bit table data.
    int base = which & ~kUnicodeTable;
    if (base == 3 || (base == 0 && search_folder)) which = base;
    std::lock_guard<std::mutex> dg(db_->mu);
    auto& data = db_->tables[{id_, which}];
    if (!data) {
      LPTABLEDATA td = nullptr;
      if (HRESULT hr = NewTableData(&td); FAILED(hr)) {
        db_->tables.erase({id_, which});
        return hr;
      }
      data = vantrel::ComPtr<IMAPITableData>::Adopt(td);
      if (which == 3) {
        SyncDepthTable(*db_, id_, data.get(), 0);
        return data->HrGetView(nullptr, nullptr, 0, out);
      }
      if (which == 0 && search_folder) {
        // A search folder lists the results of its search, built now when
        // the criteria were not loaded yet.
        DbSearchHost host(*db_);
        if (db_->searches.Known(id_)) {
          db_->searches.Fill(host, id_, data.get());
        } else {
          LoadSearch(true);
          db_->searches.Rebuild(host, id_, 0, false);  // a stopped search too: its results were not kept
        }
        return data->HrGetView(nullptr, nullptr, 0, out);
      }
      std::vector<std::pair<int64_t, ULONG>> ids;
      Stmt q(*db_, "SELECT id, kind FROM objects WHERE parent = ? AND kind = ? AND assoc = ?");
      q.Int(1, id_).Int(2, base == 2 ? MAPI_FOLDER : MAPI_MESSAGE).Int(3, base == 1);
      while (q.Step()) ids.emplace_back(q.ColInt(0), static_cast<ULONG>(q.ColInt(1)));
      for (auto [id, kind] : ids) {
        SRow row;
        if (FAILED(
                BuildRow(LoadProps(*db_, id), KeyColumns(db_->uid, id, id_, kind), (which & kUnicodeTable) != 0, row)))
          continue;
        data->HrModifyRow(&row);
        MAPIFreeBuffer(row.lpProps);
      }
    }
    return data->HrGetView(nullptr, nullptr, 0, out);
  }

  // Hands the saved criteria to the store's search folders; the generation
  // of the rebuild asked for, or 0. Caller holds db_->mu and has base_ current.
  std::uint64_t LoadSearch(bool rebuild) {
    auto r = base_.find(kCritRes);
    auto l = base_.find(kCritList);
    if (r == base_.end() || l == base_.end()) return 0;
    LPSRestriction res = nullptr;
    if (FAILED(DecodeRestriction(r->second.second, &res))) return 0;
    std::vector<int64_t> listed;
    void* root = nullptr;
    if (MAPIAllocateBuffer(sizeof(SPropValue), &root) == S_OK) {
      auto* v = static_cast<SPropValue*>(root);
      if (SUCCEEDED(DecodeProp(PROP_TAG(PT_MV_BINARY, kCritList), PT_MV_BINARY, l->second.second, root, *v)))
        for (ULONG i = 0; i < v->Value.MVbin.cValues; ++i) {
          const SBinary& b = v->Value.MVbin.lpbin[i];
          int64_t id = ParseEntryID(db_->uid, b.cb, reinterpret_cast<LPENTRYID>(b.lpb));
          if (id > 0) listed.push_back(id);
        }
      MAPIFreeBuffer(root);
    }
    ULONG state = static_cast<ULONG>(GetLong(base_, PROP_TAG(PT_LONG, kCritState)));
    return db_->searches.Set(id_, res, std::move(listed), (state & SEARCH_RECURSIVE) != 0,
                             (state & SEARCH_RUNNING) != 0, rebuild);
  }

  int64_t MessageHere(Conn& c, ULONG cb, LPENTRYID eid) {
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    Stmt q(c, "SELECT 1 FROM objects WHERE id = ? AND parent = ? AND kind = 5");
    return id >= 0 && q.Int(1, id).Int(2, id_).Step() ? id : -1;
  }

  int64_t id_, parent_;
  bool writable_;
};

HRESULT OpenObject(const std::shared_ptr<Db>& db, int64_t id, ULONG flags, ULONG* type, LPUNKNOWN* out) {
  Reader rd(*db);
  Stmt q(rd.c(), "SELECT parent, kind, assoc FROM objects WHERE id = ?");
  q.Int(1, id);
  if (!q.Step()) return MAPI_E_NOT_FOUND;
  int64_t parent = q.ColInt(0);
  ULONG kind = static_cast<ULONG>(q.ColInt(1));
  bool w = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
  if (kind == MAPI_FOLDER) {
    auto* f = new Folder(db, id, parent, w);
    f->Load(rd.c());
    *type = MAPI_FOLDER;
    *out = static_cast<IMAPIFolder*>(f);
    return S_OK;
  }
  if (kind == MAPI_MESSAGE) {
    auto* m = new Message(db, id, parent, q.ColInt(2) != 0, false, w);
    m->Load(rd.c());
    *type = MAPI_MESSAGE;
    *out = static_cast<IMessage*>(m);
    return S_OK;
  }
  return MAPI_E_NOT_FOUND;
}

// ---- the store -------------------------------------------------------------

class Store final : public PropObject<IMsgStore> {
 public:
  explicit Store(std::shared_ptr<Db> db) : PropObject(std::move(db)) {
    Reader rd(*db_);
    base_ = LoadProps(rd.c(), 0);
  }

  HRESULT Advise(ULONG cb, LPENTRYID eid, ULONG mask, LPMAPIADVISESINK sink, ULONG* conn) override {
    if (!sink || !conn || !mask || (cb && !eid)) return MAPI_E_INVALID_PARAMETER;
    Bytes key;
    if (eid) {
      if (ParseEntryID(db_->uid, cb, eid) < 0) return MAPI_E_INVALID_ENTRYID;
      key.assign(reinterpret_cast<BYTE*>(eid), reinterpret_cast<BYTE*>(eid) + cb);
    }
    std::lock_guard<std::mutex> dg(db_->mu);
    ULONG c = ++db_->next_conn;
    db_->sinks[c] = {std::move(key), mask, vantrel::ComPtr<IMAPIAdviseSink>(sink)};
    std::lock_guard<std::mutex> g(sink_mu_);
    mine_.insert(c);
    *conn = c;
    return S_OK;
  }
  HRESULT Unadvise(ULONG conn) override {
    std::lock_guard<std::mutex> dg(db_->mu);
    std::lock_guard<std::mutex> g(sink_mu_);
    if (!mine_.erase(conn)) return MAPI_E_NOT_FOUND;
    db_->sinks.erase(conn);
    return S_OK;
  }
  ~Store() override {
    std::lock_guard<std::mutex> dg(db_->mu);
    for (ULONG c : mine_) db_->sinks.erase(c);
  }

  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG, ULONG* result) override {
    if (!result || !e1 || !e2) return MAPI_E_INVALID_PARAMETER;
    Bytes self = StoreEntryID(db_->path);
    auto is_store = [&](ULONG cb, LPENTRYID e) {
      return cb == self.size() && std::memcmp(reinterpret_cast<BYTE*>(e) + 4, self.data() + 4, cb - 4) == 0;
    };
    int64_t a = is_store(cb1, e1) ? 0 : ParseEntryID(db_->uid, cb1, e1);
    int64_t b = is_store(cb2, e2) ? 0 : ParseEntryID(db_->uid, cb2, e2);
    if (a < 0 || b < 0) return MAPI_E_UNKNOWN_ENTRYID;
    *result = a == b;  // flag bytes do not matter
    return S_OK;
  }

  HRESULT OpenEntry(ULONG cb, LPENTRYID eid, LPCIID, ULONG flags, ULONG* type, LPUNKNOWN* out) override {
    if (!type || !out) return MAPI_E_INVALID_PARAMETER;
    if (!eid) return OpenObject(db_, kRoot, flags, type, out);
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    return OpenObject(db_, id, flags, type, out);
  }

  HRESULT SetReceiveFolder(LPSTR cls, ULONG flags, ULONG cb, LPENTRYID eid) override {
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    std::string c = ClassText(cls, flags);
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    if (!eid) {
      // Clearing the default class is refused; others fall back to their prefix.
      if (c.empty()) return MAPI_E_CALL_FAILED;
      Stmt d(*db_, "DELETE FROM receive WHERE cls = ?");
      if (!d.Text(1, c).Run() || !tx.Commit()) return MAPI_E_DISK_ERROR;
      return S_OK;
    }
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    Stmt q(*db_, "SELECT 1 FROM objects WHERE id = ? AND kind = 3");
    if (id < 0 || !q.Int(1, id).Step()) return MAPI_E_INVALID_ENTRYID;
    Stmt s(*db_, "INSERT OR REPLACE INTO receive(cls, folder) VALUES(?, ?)");
    if (!s.Text(1, c).Int(2, id).Run() || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return S_OK;
  }

  HRESULT GetReceiveFolder(LPSTR cls, ULONG flags, ULONG* cb, LPENTRYID* eid, LPSTR* explicit_cls) override {
    if (!cb || !eid) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~MAPI_UNICODE) return MAPI_E_UNKNOWN_FLAGS;
    std::string c = ClassText(cls, flags);
    Reader rd(*db_);
    // The longest registered class that is the class itself or a prefix of
    // it ending at a dot.
    std::string probe = c;
    for (;;) {
      Stmt q(rd.c(), "SELECT folder, cls FROM receive WHERE cls = ?");
      if (q.Text(1, probe).Step()) {
        HRESULT hr = CopyOut(MakeEntryID(db_->uid, q.ColInt(0)), cb, eid);
        if (FAILED(hr)) return hr;
        if (explicit_cls) {
          std::string got(reinterpret_cast<const char*>(sqlite3_column_text(q.s, 1)));
          void* m;
          if (flags & MAPI_UNICODE) {
            std::u16string w = Utf8ToUtf16(got);
            MAPIAllocateBuffer(static_cast<ULONG>((w.size() + 1) * 2), &m);
            std::memcpy(m, w.c_str(), (w.size() + 1) * 2);
          } else {
            std::string a = Utf8ToAnsi(got);
            MAPIAllocateBuffer(static_cast<ULONG>(a.size() + 1), &m);
            std::memcpy(m, a.c_str(), a.size() + 1);
          }
          *explicit_cls = static_cast<LPSTR>(m);
        }
        return S_OK;
      }
      if (probe.empty()) return MAPI_E_NOT_FOUND;
      size_t dot = probe.rfind('.');
      probe = dot == std::string::npos ? std::string() : probe.substr(0, dot);
    }
  }

  // A snapshot of the receive folders: the class, the folder's entry ID and
  // record key per row.
  HRESULT GetReceiveFolderTable(ULONG flags, LPMAPITABLE* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (flags & ~(MAPI_UNICODE | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
    LPTABLEDATA td = nullptr;
    if (HRESULT hr = NewTableData(&td); FAILED(hr)) return hr;
    auto data = vantrel::ComPtr<IMAPITableData>::Adopt(td);
    Reader rd(*db_);
    Stmt q(rd.c(), "SELECT cls, folder FROM receive ORDER BY cls");
    for (LONG n = 0; q.Step(); ++n) {
      PropMap m;
      auto* text = reinterpret_cast<const char*>(sqlite3_column_text(q.s, 0));
      SetString(m, PR_MESSAGE_CLASS, text ? text : "");
      Bytes eid = MakeEntryID(db_->uid, q.ColInt(1)), key(4);
      std::memcpy(key.data(), &n, 4);
      m[PROP_ID(PR_INSTANCE_KEY)] = {PT_BINARY, key};
      m[PROP_ID(PR_ENTRYID)] = {PT_BINARY, eid};
      m[PROP_ID(PR_RECORD_KEY)] = {PT_BINARY, eid};
      SRow row;
      if (HRESULT hr = BuildRow(m, {}, (flags & MAPI_UNICODE) != 0, row); FAILED(hr)) return hr;
      HRESULT hr = data->HrModifyRow(&row);
      MAPIFreeBuffer(row.lpProps);
      if (FAILED(hr)) return hr;
    }
    return data->HrGetView(nullptr, nullptr, 0, out);
  }
  HRESULT StoreLogoff(ULONG* flags) override {
    if (!flags) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> dg(db_->mu);
    std::lock_guard<std::mutex> g(sink_mu_);
    for (ULONG c : mine_) db_->sinks.erase(c);
    mine_.clear();
    *flags = 0;
    return S_OK;
  }
  HRESULT AbortSubmit(ULONG cb, LPENTRYID eid, ULONG) override {
    int64_t id = ParseEntryID(db_->uid, cb, eid);
    if (id < 0) return MAPI_E_INVALID_ENTRYID;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    PropMap m = LoadProps(*db_, id);
    LONG f = GetLong(m, PR_MESSAGE_FLAGS);
    if (m.empty() || !(f & MSGFLAG_SUBMIT)) return MAPI_E_NOT_IN_QUEUE;
    SetLong(m, PR_MESSAGE_FLAGS, (f & ~MSGFLAG_SUBMIT) | MSGFLAG_UNSENT);
    if (!SaveProps(*db_, id, m) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    return S_OK;
  }
  HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetLockState(LPMESSAGE, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT FinishedMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT NotifyNewMail(LPNOTIFICATION) override { return MAPI_E_NO_SUPPORT; }

 protected:
  void Computed(PropMap& all) override {
    PutLong(all, PR_OBJECT_TYPE, MAPI_STORE);
    Bytes eid = StoreEntryID(db_->path);
    PutBin(all, PR_ENTRYID, eid);
    PutBin(all, PR_STORE_ENTRYID, eid);
    Bytes uid(db_->uid.ab, db_->uid.ab + 16);
    PutBin(all, PR_RECORD_KEY, uid);
    PutBin(all, PR_STORE_RECORD_KEY, uid);
    PutBin(all, PR_MDB_PROVIDER, Bytes(kProviderUid, kProviderUid + 16));
    PutLong(all, PR_STORE_SUPPORT_MASK,
            STORE_ENTRYID_UNIQUE | STORE_MODIFY_OK | STORE_CREATE_OK | STORE_ATTACH_OK | STORE_OLE_OK |
                STORE_SUBMIT_OK | STORE_MV_PROPS_OK | STORE_ANSI_OK | STORE_UNICODE_OK);
    PutBin(all, PR_IPM_SUBTREE_ENTRYID, MakeEntryID(db_->uid, kIpmSubtree));
    PutBin(all, PR_IPM_OUTBOX_ENTRYID, MakeEntryID(db_->uid, kOutbox));
    PutBin(all, PR_IPM_SENTMAIL_ENTRYID, MakeEntryID(db_->uid, kSent));
    PutBin(all, PR_IPM_WASTEBASKET_ENTRYID, MakeEntryID(db_->uid, kDeleted));
    PutLong(all, PR_VALID_FOLDER_MASK,
            FOLDER_IPM_SUBTREE_VALID | FOLDER_IPM_INBOX_VALID | FOLDER_IPM_OUTBOX_VALID | FOLDER_IPM_WASTEBASKET_VALID |
                FOLDER_IPM_SENTMAIL_VALID);
  }
  HRESULT Flush() override {
    std::lock_guard<std::mutex> g(sink_mu_);
    PropMap next = base_;
    for (ULONG id : deleted_) next.erase(id);
    for (const auto& [id, v] : pending_) next[id] = v;
    std::lock_guard<std::mutex> dg(db_->mu);
    Tx tx(*db_);
    if (!SaveProps(*db_, 0, next) || !tx.Commit()) return MAPI_E_DISK_ERROR;
    base_ = std::move(next);
    pending_.clear();
    deleted_.clear();
    return S_OK;
  }

 private:
  static std::string ClassText(LPSTR cls, ULONG flags) {
    if (!cls) return std::string();
    return (flags & MAPI_UNICODE) ? Utf16ToUtf8(reinterpret_cast<const char16_t*>(cls)) : AnsiToUtf8(cls);
  }
  // Taken only after db_->mu, unlike mu_ (which comes before it).
  std::mutex sink_mu_;
  std::set<ULONG> mine_;  // this object's advise connections; guarded by sink_mu_
};

}  // namespace
}  // namespace vantrel::mapi

using vantrel::mapi::OpenDb;
using vantrel::mapi::Store;
using vantrel::mapi::StoreEntryID;

HRESULT OpenPstStore(const std::string& path, const std::string& display_name, ULONG, IMsgStore** out) {
  if (!out || path.empty()) return MAPI_E_INVALID_PARAMETER;
  *out = nullptr;
  try {
    HRESULT hr;
    auto db = OpenDb(path, display_name, hr);
    if (!db) return hr;
    *out = new Store(std::move(db));
  } catch (const std::bad_alloc&) {
    return MAPI_E_NOT_ENOUGH_MEMORY;
  }
  return S_OK;
}

HRESULT PstStoreEntryID(const std::string& path, std::vector<BYTE>& out) {
  if (path.empty()) return MAPI_E_INVALID_PARAMETER;
  out = StoreEntryID(path);
  return S_OK;
}

void SetPstStoreReadHook(void (*hook)()) {
  vantrel::mapi::g_read_hook.store(hook);
}
