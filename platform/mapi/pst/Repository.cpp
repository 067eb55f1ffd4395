#include "platform/mapi/pst/Repository.h"

#include <algorithm>
#include <cstring>

#include "platform/base/CodePage.h"
#include "platform/base/Guid.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/pst/ChunkedValue.h"

namespace vantrel::mapi::pst {

// ---- the store ----

bool ReadUid(Conn& c, Bytes& uid) {
  Stmt q(c, "SELECT value FROM meta WHERE key = 'uid'");
  if (!q.Step()) return false;
  uid = q.ColBlob(0);
  return true;
}

bool CreateStore(Db& db, const std::string& display_name_utf8) {
  Stmt a(db.W(), "INSERT INTO meta(key, value) VALUES('uid', ?)");
  Stmt b(db.W(), "INSERT INTO meta(key, value) VALUES('next_id', 100)");
  bool ok = a.Blob(1, db.uid.ab, 16).Run() && b.Run();
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
    ok = ok && InsertObject(db, f.id, f.parent, Kind::kFolder, false, 0) && SaveProps(db, f.id, m);
  }
  PropMap store;
  SetString(store, PR_DISPLAY_NAME, display_name_utf8);
  ok = ok && SaveProps(db, 0, store);
  // Mail of any class, and of the IPM classes, is received in the Inbox.
  Stmt r(db.W(), "INSERT INTO receive(cls, folder) VALUES('', ?), ('IPM', ?)");
  return ok && r.Int(1, kInbox).Int(2, kInbox).Run();
}

// ---- objects ----

bool FindObject(Conn& c, int64_t id, ObjectRow* out) {
  Stmt q(c, "SELECT parent, kind, assoc, num FROM objects WHERE id = ?");
  if (!q.Int(1, id).Step()) return false;
  out->id = id;
  out->parent = q.ColInt(0);
  out->kind = static_cast<Kind>(q.ColInt(1));
  out->assoc = q.ColInt(2) != 0;
  out->num = q.ColInt(3);
  return true;
}

bool IsChild(Conn& c, int64_t id, int64_t parent, Kind kind) {
  Stmt q(c, "SELECT 1 FROM objects WHERE id = ? AND parent = ? AND kind = ?");
  return q.Int(1, id).Int(2, parent).Kind(3, kind).Step();
}

bool IsKind(Conn& c, int64_t id, Kind kind) {
  Stmt q(c, "SELECT 1 FROM objects WHERE id = ? AND kind = ?");
  return q.Int(1, id).Kind(2, kind).Step();
}

std::vector<ObjectRow> Children(Conn& c, int64_t parent) {
  std::vector<ObjectRow> out;
  Stmt q(c, "SELECT id, kind, assoc, num FROM objects WHERE parent = ?");
  q.Int(1, parent);
  while (q.Step()) out.push_back({q.ColInt(0), parent, static_cast<Kind>(q.ColInt(1)), q.ColInt(2) != 0, q.ColInt(3)});
  return out;
}

std::vector<int64_t> ChildIds(Conn& c, int64_t parent, Kind kind, bool assoc) {
  std::vector<int64_t> out;
  Stmt q(c, "SELECT id FROM objects WHERE parent = ? AND kind = ? AND assoc = ? ORDER BY id");
  q.Int(1, parent).Kind(2, kind).Int(3, assoc);
  while (q.Step()) out.push_back(q.ColInt(0));
  return out;
}

ChildCounts CountChildren(Conn& c, int64_t parent) {
  Stmt q(c,
         "SELECT COUNT(*) FILTER (WHERE kind = ?1), COUNT(*) FILTER (WHERE kind = ?2),"
         " COUNT(*) FILTER (WHERE kind = ?2 AND assoc = 0) FROM objects WHERE parent = ?3");
  ChildCounts n;
  if (q.Kind(1, Kind::kFolder).Kind(2, Kind::kMessage).Int(3, parent).Step()) {
    n.folders = q.ColInt(0);
    n.messages = q.ColInt(1);
    n.normal_messages = q.ColInt(2);
  }
  return n;
}

int64_t CountUnread(Conn& c, int64_t folder) {
  int64_t n = 0;
  Stmt f(c, "SELECT value FROM props WHERE obj = ? AND id = ?");
  for (int64_t id : ChildIds(c, folder, Kind::kMessage)) {
    f.Int(1, id).Int(2, PROP_ID(PR_MESSAGE_FLAGS));
    LONG v = 0;
    if (f.Step()) {
      Bytes b = f.ColBlob(0);
      if (b.size() == 4) std::memcpy(&v, b.data(), 4);
    }
    f.Reset();
    if (!(v & MSGFLAG_READ)) ++n;
  }
  return n;
}

std::vector<std::pair<int64_t, Bytes>> SubfolderNames(Conn& c, int64_t parent) {
  std::vector<std::pair<int64_t, Bytes>> out;
  Stmt q(c,
         "SELECT o.id, p.value FROM objects o JOIN props p ON p.obj = o.id AND p.id = ? WHERE o.parent = ?"
         " AND o.kind = ?");
  q.Int(1, PROP_ID(PR_DISPLAY_NAME)).Int(2, parent).Kind(3, Kind::kFolder);
  while (q.Step()) out.emplace_back(q.ColInt(0), q.ColBlob(1));
  return out;
}

bool InsertObject(Db& db, int64_t id, int64_t parent, Kind kind, bool assoc, int64_t num) {
  Stmt q(db.W(), "INSERT OR REPLACE INTO objects(id, parent, kind, assoc, num) VALUES(?, ?, ?, ?, ?)");
  return q.Int(1, id).Int(2, parent).Kind(3, kind).Int(4, assoc).Int(5, num).Run();
}

bool MoveObject(Db& db, int64_t id, int64_t parent) {
  Stmt m(db.W(), "UPDATE objects SET parent = ? WHERE id = ?");
  return m.Int(1, parent).Int(2, id).Run();
}

bool DeleteTree(Db& db, int64_t obj) {
  std::vector<int64_t> kids;
  {
    Stmt q(db.W(), "SELECT id FROM objects WHERE parent = ?");
    q.Int(1, obj);
    while (q.Step()) kids.push_back(q.ColInt(0));
  }
  for (int64_t k : kids)
    if (!DeleteTree(db, k)) return false;
  Stmt a(db.W(), "DELETE FROM props WHERE obj = ?");
  Stmt b(db.W(), "DELETE FROM objects WHERE id = ?");
  return a.Int(1, obj).Run() && b.Int(1, obj).Run() && ReleaseBlobs(db, obj);
}

namespace {

// The first of `n` new ids.
int64_t TakeIds(Db& db, int64_t n) REQUIRES(db.mu) {
  Stmt q(db.W(), "UPDATE meta SET value = value + ? WHERE key = 'next_id' RETURNING value - ?");
  return q.Int(1, n).Int(2, n).Step() ? q.ColInt(0) : 0;
}

}  // namespace

int64_t NextId(Db& db) {
  return TakeIds(db, 1);
}

int64_t ReserveMessageId(Db& db) {
  if (db.block_next == db.block_end) {
    constexpr int64_t kBlock = 64;
    Tx tx(db);
    int64_t first = tx.ok() ? TakeIds(db, kBlock) : 0;
    if (!first || !tx.Commit()) return 0;
    db.block_next = first;
    db.block_end = first + kBlock;
  }
  return db.block_next++;
}

// ---- properties ----

PropMap LoadProps(Conn& c, int64_t obj) {
  PropMap m;
  Stmt q(c, "SELECT id, type, value FROM props WHERE obj = ?");
  q.Int(1, obj);
  while (q.Step()) m[static_cast<ULONG>(q.ColInt(0))] = {static_cast<ULONG>(q.ColInt(1)), q.ColBlob(2)};
  return m;
}

bool SaveProps(Db& db, int64_t obj, const PropMap& m) {
  Stmt del(db.W(), "DELETE FROM props WHERE obj = ?");
  if (!del.Int(1, obj).Run() || !ReleaseBlobs(db, obj)) return false;
  Stmt ins(db.W(), "INSERT INTO props(obj, id, type, value) VALUES(?, ?, ?, ?)");
  Stmt own(db.W(), "UPDATE blobs SET obj = ? WHERE id = ? AND obj IN (?, ?)");
  for (const auto& [id, v] : m) {
    const Bytes* value = &v.second;
    ULONG type = v.first;
    Bytes ref;
    ValueRef r;
    if (IsRef(type)) {
      if (!DecodeRef(v.second, r)) return false;
      own.Int(1, obj).Int(2, r.blob).Int(3, kStaging).Int(4, kReleased);
      if (!own.Run() || sqlite3_changes(db.W().db_) != 1) return false;
    } else if (v.second.size() > kChunk) {
      r.blob = NewBlob(db, obj);
      r.size = v.second.size();
      if (!r.blob) return false;
      for (size_t off = 0; off < v.second.size(); off += kChunk)
        if (!PutChunk(db.W(), r.blob, static_cast<int64_t>(off / kChunk), v.second.data() + off,
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

bool PutProp(Db& db, int64_t obj, ULONG id, ULONG type, const Bytes& value) {
  Stmt q(db.W(), "INSERT OR REPLACE INTO props(obj, id, type, value) VALUES(?, ?, ?, ?)");
  return q.Int(1, obj).Int(2, id).Int(3, type).Blob(4, value.data(), value.size()).Run();
}

// ---- blobs and chunks ----

int64_t NewBlob(Db& db, int64_t owner) {
  Stmt q(db.W(), "INSERT INTO blobs(obj) VALUES(?) RETURNING id");
  return q.Int(1, owner).Step() ? q.ColInt(0) : 0;
}

bool PutChunk(Conn& c, int64_t blob, int64_t seq, const BYTE* p, size_t n) {
  Stmt q(c, "INSERT OR REPLACE INTO chunks(blob, seq, data) VALUES(?, ?, ?)");
  return q.Int(1, blob).Int(2, seq).Blob(3, p, n).Run();
}

bool GetChunk(Conn& c, int64_t blob, int64_t seq, Bytes& out) {
  Stmt q(c, "SELECT data FROM chunks WHERE blob = ? AND seq = ?");
  if (!q.Int(1, blob).Int(2, seq).Step()) return false;
  out = q.ColBlob(0);
  return true;
}

bool ForEachChunk(Conn& c, int64_t blob, const std::function<bool(int64_t, const BYTE*, size_t)>& fn) {
  Stmt q(c, "SELECT seq, data FROM chunks WHERE blob = ? ORDER BY seq");
  q.Int(1, blob);
  while (q.Step()) {
    auto* p = static_cast<const BYTE*>(sqlite3_column_blob(q.s, 1));
    if (!fn(q.ColInt(0), p, static_cast<size_t>(sqlite3_column_bytes(q.s, 1)))) return false;
  }
  return true;
}

bool CopyChunks(Db& db, int64_t from, int64_t to) {
  Stmt q(db.W(), "INSERT INTO chunks(blob, seq, data) SELECT ?, seq, data FROM chunks WHERE blob = ?");
  return q.Int(1, to).Int(2, from).Run();
}

bool TruncateChunks(Db& db, int64_t blob, int64_t keep) {
  Stmt q(db.W(), "DELETE FROM chunks WHERE blob = ? AND seq > ?");
  return q.Int(1, blob).Int(2, keep).Run();
}

void DropStaged(Db& db, int64_t blob) {
  Stmt a(db.W(), "DELETE FROM chunks WHERE blob = ? AND EXISTS (SELECT 1 FROM blobs WHERE id = ? AND obj = ?)");
  Stmt b(db.W(), "DELETE FROM blobs WHERE id = ? AND obj = ?");
  a.Int(1, blob).Int(2, blob).Int(3, kStaging).Run();
  b.Int(1, blob).Int(2, kStaging).Run();
}

void DropReleased(Db& db) {
  Stmt a(db.W(), "DELETE FROM chunks WHERE blob IN (SELECT id FROM blobs WHERE obj = ?)");
  Stmt b(db.W(), "DELETE FROM blobs WHERE obj = ?");
  a.Int(1, kReleased).Run();
  b.Int(1, kReleased).Run();
  db.released = false;
}

bool DropUnsavedBlobs(Db& db) {
  return db.W().Exec(
      "DELETE FROM chunks WHERE blob IN (SELECT id FROM blobs WHERE obj < 0);"
      "DELETE FROM blobs WHERE obj < 0;");
}

bool ReleaseBlobs(Db& db, int64_t obj) {
  Stmt q(db.W(), "UPDATE blobs SET obj = ? WHERE obj = ?");
  if (!q.Int(1, kReleased).Int(2, obj).Run()) return false;
  if (sqlite3_changes(db.W().db_) > 0) db.released = true;
  return true;
}

// ---- named properties ----

std::vector<ULONG> NameIds(Conn& c) {
  std::vector<ULONG> ids;
  Stmt q(c, "SELECT id FROM names ORDER BY id");
  while (q.Step()) ids.push_back(static_cast<ULONG>(q.ColInt(0)));
  return ids;
}

bool NameOf(Conn& c, ULONG id, Bytes& guid, ULONG& kind, Bytes& name) {
  Stmt q(c, "SELECT guid, kind, name FROM names WHERE id = ?");
  if (!q.Int(1, id).Step()) return false;
  guid = q.ColBlob(0);
  kind = static_cast<ULONG>(q.ColInt(1));
  name = q.ColBlob(2);
  return true;
}

ULONG FindName(Conn& c, const GUID& guid, ULONG kind, const Bytes& name) {
  Stmt q(c, "SELECT id FROM names WHERE guid = ? AND kind = ? AND name = ?");
  q.Blob(1, &guid, 16).Int(2, kind).Blob(3, name.data(), name.size());
  return q.Step() ? static_cast<ULONG>(q.ColInt(0)) : 0;
}

ULONG CreateName(Db& db, const GUID& guid, ULONG kind, const Bytes& name) {
  Stmt ins(db.W(),
           "INSERT INTO names(id, guid, kind, name) VALUES((SELECT MAX(COALESCE((SELECT MAX(id) + 1 FROM names),"
           " 32768), 32768)), ?, ?, ?) RETURNING id");
  ins.Blob(1, &guid, 16).Int(2, kind).Blob(3, name.data(), name.size());
  if (!ins.Step() || ins.ColInt(0) >= 0xFFFF) return 0;
  return static_cast<ULONG>(ins.ColInt(0));
}

// ---- receive folders ----

bool SetReceive(Db& db, const std::string& cls, int64_t folder) {
  Stmt s(db.W(), "INSERT OR REPLACE INTO receive(cls, folder) VALUES(?, ?)");
  return s.Text(1, cls).Int(2, folder).Run();
}

bool ClearReceive(Db& db, const std::string& cls) {
  Stmt d(db.W(), "DELETE FROM receive WHERE cls = ?");
  return d.Text(1, cls).Run();
}

bool FindReceive(Conn& c, const std::string& cls, int64_t* folder, std::string* registered) {
  Stmt q(c, "SELECT folder, cls FROM receive WHERE cls = ?");
  if (!q.Text(1, cls).Step()) return false;
  *folder = q.ColInt(0);
  *registered = q.ColText(1);
  return true;
}

std::vector<std::pair<std::string, int64_t>> ReceiveRows(Conn& c) {
  std::vector<std::pair<std::string, int64_t>> out;
  Stmt q(c, "SELECT cls, folder FROM receive ORDER BY cls");
  while (q.Step()) out.emplace_back(q.ColText(0), q.ColInt(1));
  return out;
}

// ---- the change log ----

bool LogChanges(Db& db, const std::vector<Change>& changes, int64_t origin, int64_t now, int64_t keep_from) {
  Stmt prune(db.W(), "DELETE FROM changes WHERE at < ?");
  if (!prune.Int(1, keep_from).Run()) return false;
  Stmt ins(db.W(),
           "INSERT INTO changes(origin, at, what, id, parent, event, type, old) VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
  for (const Change& c : changes) {
    ins.Int(1, origin).Int(2, now).Int(3, c.what).Int(4, c.id).Int(5, c.parent).Int(6, c.event).Int(7, c.type);
    if (c.moved) {
      BYTE old[32];
      std::memcpy(old, c.old.uid.ab, 16);
      std::memcpy(old + 16, &c.old.id, 8);
      std::memcpy(old + 24, &c.old.parent, 8);
      ins.Blob(8, old, sizeof old);
    } else {
      sqlite3_bind_null(ins.s, 8);
    }
    if (!ins.Run()) return false;
  }
  return true;
}

std::vector<LoggedChange> ChangesAfter(Conn& c, int64_t seq) {
  std::vector<LoggedChange> out;
  Stmt q(c, "SELECT seq, origin, what, id, parent, event, type, old FROM changes WHERE seq > ? ORDER BY seq");
  q.Int(1, seq);
  while (q.Step()) {
    LoggedChange e;
    e.seq = q.ColInt(0);
    e.origin = q.ColInt(1);
    int64_t what = q.ColInt(2);
    e.known = what >= Change::kRow && what <= Change::kGone;
    if (e.known) e.change.what = static_cast<Change::What>(what);
    e.change.id = q.ColInt(3);
    e.change.parent = q.ColInt(4);
    e.change.event = static_cast<ULONG>(q.ColInt(5));
    e.change.type = static_cast<ULONG>(q.ColInt(6));
    Bytes old = q.ColBlob(7);
    if (old.size() == 32) {
      e.change.moved = true;
      std::memcpy(e.change.old.uid.ab, old.data(), 16);
      std::memcpy(&e.change.old.id, old.data() + 16, 8);
      std::memcpy(&e.change.old.parent, old.data() + 24, 8);
    }
    out.push_back(e);
  }
  return out;
}

int64_t LastChange(Conn& c) {
  // The counter outlives the entries, so numbers never go back once the
  // log has been pruned empty.
  Stmt q(c, "SELECT seq FROM sqlite_sequence WHERE name = 'changes'");
  return q.Step() ? q.ColInt(0) : 0;
}

}  // namespace vantrel::mapi::pst
