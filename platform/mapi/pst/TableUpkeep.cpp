#include "platform/mapi/pst/TableUpkeep.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PropCodec.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/pst/ChunkedValue.h"
#include "platform/mapi/pst/EntryId.h"
#include "platform/mapi/pst/Repository.h"

namespace vantrel::mapi::pst {

void NotifyObject(Db& db, ULONG event, int64_t id, int64_t parent, ULONG type, const OldPlace* old) {
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
    oid = MakeEntryID(old->uid, old->id);
    opid = MakeEntryID(old->uid, old->parent);
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
    NotificationThread::Instance().Post(s.sink.get(), {n});
  }
}

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

PropMap KeyColumns(const MAPIUID& uid, int64_t id, int64_t parent, Kind kind) {
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

namespace {

// The folders below `root`, depth first, each followed by its subfolders
// (in order of creation), with their depth: 1 for root's own subfolders.
std::vector<std::pair<int64_t, int>> Descendants(Db& db, int64_t root) REQUIRES(db.mu) {
  std::vector<std::pair<int64_t, int>> out;
  std::function<void(int64_t, int)> walk = [&](int64_t folder, int depth) REQUIRES(db.mu) {
    if (depth > 256) return;  // a damaged file's loop
    for (int64_t k : ChildIds(db.W(), folder, Kind::kFolder)) {
      out.emplace_back(k, depth);
      walk(k, depth + 1);
    }
  };
  walk(root, 1);
  return out;
}

}  // namespace

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
    ObjectRow o;
    int64_t parent = FindObject(db.W(), id, &o) ? o.parent : root;
    PropMap extra = KeyColumns(db.uid, id, parent, Kind::kFolder);
    SetLong(extra, PR_DEPTH, depth);
    SRow row;
    if (FAILED(BuildRow(LoadProps(db.W(), id), extra, false, row))) continue;
    if (here)
      table->HrModifyRow(&row);
    else
      table->HrInsertRow(static_cast<ULONG>(i), &row);
    MAPIFreeBuffer(row.lpProps);
  }
  shown = std::move(now);
}

namespace {

// Refreshes the CONVENIENT_DEPTH tables after a change to object `id`,
// when it is (or was) a folder.
void SyncDepthTables(Db& db, int64_t id) REQUIRES(db.mu) {
  if (db.depth_rows.empty()) return;
  bool folder = IsKind(db.W(), id, Kind::kFolder);
  for (auto& [root, rows] : db.depth_rows) {
    bool listed = std::any_of(rows.begin(), rows.end(), [&](const auto& r) { return r.first == id; });
    if (!folder && !listed) continue;
    auto it = db.tables.find({root, 3});
    if (it != db.tables.end()) SyncDepthTable(db, root, it->second.get(), id);
  }
}

}  // namespace

bool DbSearchHost::Locate(int64_t id, int64_t* parent, bool* message) {
  ObjectRow o;
  if (!FindObject(db_.W(), id, &o)) return false;
  *parent = o.parent;
  *message = o.kind == Kind::kMessage && !o.assoc;
  return true;
}

std::vector<int64_t> DbSearchHost::Children(int64_t folder, bool folders) {
  return ChildIds(db_.W(), folder, folders ? Kind::kFolder : Kind::kMessage);
}

bool DbSearchHost::MessageRow(int64_t id, SRow* row) {
  int64_t parent = 0;
  bool message = false;
  if (!Locate(id, &parent, &message)) return false;
  return SUCCEEDED(BuildRow(LoadProps(db_.W(), id), KeyColumns(db_.uid, id, parent, Kind::kMessage), false, *row));
}

std::vector<BYTE> DbSearchHost::RowKey(int64_t id) {
  return MakeEntryID(db_.uid, id);
}

IMAPITableData* DbSearchHost::Contents(int64_t folder) {
  auto it = db_.tables.find({folder, 0});
  return it == db_.tables.end() ? nullptr : it->second.get();
}

void DbSearchHost::Complete(int64_t folder) {
  int64_t parent = 0;
  bool message = false;
  if (Locate(folder, &parent, &message)) NotifyObject(db_, fnevSearchComplete, folder, parent, MAPI_FOLDER);
}

namespace {

// Brings the row of object `id` up to date in the open tables of folder
// `parent`: changed, added, or removed when the object is gone from there.
void TouchRow(Db& db, int64_t parent, int64_t id) REQUIRES(db.mu) {
  if (db.searches.Any()) {
    DbSearchHost host(db);
    db.searches.Touch(host, id);
  }
  if (db.tables.empty()) return;
  SyncDepthTables(db, id);
  ObjectRow o;
  bool here = FindObject(db.W(), id, &o) && o.parent == parent;
  int which = !here ? -1 : o.kind == Kind::kFolder ? 2 : o.assoc ? 1 : 0;
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
    if (!loaded) props = LoadProps(db.W(), id);
    loaded = true;
    SRow row;
    if (SUCCEEDED(BuildRow(props, KeyColumns(db.uid, id, parent, o.kind), (t & kUnicodeTable) != 0, row))) {
      it->second->HrModifyRow(&row);
      MAPIFreeBuffer(row.lpProps);
    }
  }
}

// Forgets the tables of a folder that is gone.
void DropTables(Db& db, int64_t folder) REQUIRES(db.mu) {
  // Contents, associated, hierarchy and depth tables, in both widths.
  for (int t = 0; t < 4 + kUnicodeTable; ++t) db.tables.erase({folder, t});
  db.depth_rows.erase(folder);
  db.searches.Forget(folder);
}

}  // namespace

void Announce(Db& db, const std::vector<Change>& changes) {
  // Tables first, so that a sink that reads one on hearing of a change
  // finds the change there.
  for (const Change& c : changes) {
    if (c.what == Change::kRow)
      TouchRow(db, c.parent, c.id);
    else if (c.what == Change::kGone)
      DropTables(db, c.id);
  }
  for (const Change& c : changes)
    if (c.what == Change::kEvent) NotifyObject(db, c.event, c.id, c.parent, c.type, c.moved ? &c.old : nullptr);
}

}  // namespace vantrel::mapi::pst
