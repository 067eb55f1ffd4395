#include "platform/mapi/pst/Database.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/base/CodePage.h"
#include "platform/base/Guid.h"
#include "platform/mapi/PstStore.h"
#include "platform/mapi/pst/ChangeFeed.h"
#include "platform/mapi/pst/Repository.h"
#include "platform/mapi/pst/StoreTesting.h"

namespace vantrel::mapi::pst {
namespace {

// Called inside every read transaction; tests use it to see readers overlap.
std::atomic<void (*)()> g_read_hook{nullptr};
// Asked before every commit; false makes the commit fail. For tests.
std::atomic<bool (*)()> g_commit_hook{nullptr};

std::unique_ptr<Conn> OpenReader(const std::string& path) {
  auto c = std::make_unique<Conn>();
  if (sqlite3_open_v2(path.c_str(), &c->db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
    return nullptr;
  sqlite3_busy_timeout(c->db_, 5000);
  if (!c->Exec("PRAGMA query_only=1")) return nullptr;
  return c;
}

}  // namespace

Mutex Db::open_mu;
std::map<std::string, std::weak_ptr<Db>> Db::open;

Conn::~Conn() {
  for (auto& [sql, list] : cache)
    for (sqlite3_stmt* st : list) sqlite3_finalize(st);
  if (db_) sqlite3_close(db_);
}

Stmt::Stmt(Conn& c, const char* sql) : c_(c), sql_(sql) {
  auto& free = c.cache[sql];
  if (!free.empty()) {
    s = free.back();
    free.pop_back();
  } else {
    sqlite3_prepare_v2(c.db_, sql, -1, &s, nullptr);
  }
}

Stmt::~Stmt() {
  if (!s) return;
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  c_.cache[sql_].push_back(s);
}

// ---- transactions ----

Tx::Tx(Db& db) : db_(db) {
  ok_ = db_.W().Exec("BEGIN IMMEDIATE");
}

Tx::~Tx() {
  db_.mu.AssertHeld();
  if (ok_ && !done_) db_.W().Exec("ROLLBACK");
  if (!done_ || !committed_) db_.released = false;
}

void Tx::Event(ULONG event, int64_t id, int64_t parent, ULONG type, const OldPlace* old) {
  Change c{Change::kEvent, id, parent, event, type};
  if (old) {
    c.moved = true;
    c.old = *old;
  }
  later_.push_back(c);
}

bool Tx::Commit() {
  db_.mu.AssertHeld();
  done_ = true;
  if (ok_ && db_.released) DropReleased(db_);
  auto hook = g_commit_hook.load();
  committed_ = ok_ && (later_.empty() || LogCommit(db_, later_)) && (!hook || hook()) && db_.W().Exec("COMMIT");
  if (!committed_ && ok_) db_.W().Exec("ROLLBACK");
  if (committed_ && !later_.empty()) Announce(db_, later_);
  later_.clear();
  return committed_;
}

// ---- readers ----

// The fallback holds db.mu for the reader's life, which the analysis cannot
// follow through a flag.
Reader::Reader(Db& db) NO_THREAD_SAFETY_ANALYSIS : db_(db) {
  {
    MutexLock g(db.pool_mu);
    if (!db.idle.empty()) {
      c_ = std::move(db.idle.back());
      db.idle.pop_back();
    }
  }
  if (!c_) c_ = OpenReader(db.path);
  if (!c_) {
    db.mu.lock();
    fallback_ = true;
    return;
  }
  Stmt(*c_, "BEGIN").Run();
  if (auto hook = g_read_hook.load()) hook();
}

Reader::~Reader() NO_THREAD_SAFETY_ANALYSIS {
  if (fallback_) {
    db_.mu.unlock();
    return;
  }
  Stmt(*c_, "COMMIT").Run();
  MutexLock g(db_.pool_mu);
  if (db_.idle.size() < 16) db_.idle.push_back(std::move(c_));
}

Conn& Reader::c() NO_THREAD_SAFETY_ANALYSIS {
  return fallback_ ? db_.writer : *c_;
}

Relaxed::Relaxed(Db& db) : db_(db) {
  db_.W().Exec("PRAGMA synchronous=NORMAL");
}

Relaxed::~Relaxed() {
  db_.mu.AssertHeld();  // as Tx
  db_.W().Exec("PRAGMA synchronous=FULL");
}

// ---- opening ----

std::shared_ptr<Db> OpenDb(const std::string& path, const std::string& display_name, HRESULT& hr) {
  MutexLock g(Db::open_mu);
  if (auto db = Db::open[path].lock()) return db;
  auto db = std::make_shared<Db>();
  db->path = path;
  MutexLock d(db->mu);
  Conn& w = db->W();
  if (sqlite3_open_v2(path.c_str(), &w.db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    hr = MAPI_E_DISK_ERROR;
    return nullptr;
  }
  sqlite3_busy_timeout(w.db_, 5000);
  if (!w.Exec("PRAGMA journal_mode=WAL") || !w.Exec("PRAGMA synchronous=FULL")) {
    hr = MAPI_E_CORRUPT_DATA;
    return nullptr;
  }
  Tx tx(*db);
  bool ok = tx.ok() &&
            w.Exec(
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
                "CREATE TABLE IF NOT EXISTS changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, origin INTEGER,"
                " at INTEGER, what INTEGER, id INTEGER, parent INTEGER, event INTEGER, type INTEGER, old BLOB);"
                "CREATE INDEX IF NOT EXISTS changes_at ON changes(at);") &&
            DropUnsavedBlobs(*db);
  if (!ok) {
    hr = MAPI_E_CORRUPT_DATA;
    return nullptr;
  }
  Bytes u;
  if (ReadUid(w, u)) {
    if (u.size() != 16) {
      hr = MAPI_E_CORRUPT_DATA;
      return nullptr;
    }
    std::memcpy(db->uid.ab, u.data(), 16);
  } else {
    // A new store: its UID and the standard folder tree.
    auto g16 = GuidToBytes(NewGuid());
    std::memcpy(db->uid.ab, g16.data(), 16);
    ok = CreateStore(*db, AnsiToUtf8(display_name));
  }
  if (!ok || !tx.Commit()) {
    hr = MAPI_E_DISK_ERROR;
    return nullptr;
  }
  // What other processes committed before this opening is in the file
  // already; only later entries are news.
  db->seen = LastChange(w);
  auto mark = GuidToBytes(NewGuid());
  std::memcpy(&db->origin, mark.data(), sizeof db->origin);
  Db::open[path] = db;
  hr = S_OK;
  return db;
}

}  // namespace vantrel::mapi::pst

void SetPstStoreReadHook(void (*hook)()) {
  vantrel::mapi::pst::g_read_hook.store(hook);
}

void SetPstStoreCommitHook(bool (*hook)()) {
  vantrel::mapi::pst::g_commit_hook.store(hook);
}
