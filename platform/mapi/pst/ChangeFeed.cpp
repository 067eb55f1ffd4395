#include "platform/mapi/pst/ChangeFeed.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <set>
#include <thread>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/MapiTags.h"
#include "platform/mapi/pst/EntryId.h"
#include "platform/mapi/pst/Repository.h"
#include "platform/mapi/pst/TableUpkeep.h"

namespace vantrel::mapi::pst {
namespace {

// The objects whose rows an open table shows.
std::set<int64_t> Shown(Db& db, IMAPITableData* table) REQUIRES(db.mu) {
  std::set<int64_t> ids;
  for (ULONG i = 0;; ++i) {
    LPSRow row = nullptr;
    if (FAILED(table->HrEnumRow(i, &row)) || !row) break;
    for (ULONG k = 0; k < row->cValues; ++k)
      if (row->lpProps[k].ulPropTag == PR_INSTANCE_KEY) {
        const SBinary& b = row->lpProps[k].Value.bin;
        int64_t id = ParseEntryID(db.uid, b.cb, reinterpret_cast<LPENTRYID>(b.lpb));
        if (id > 0) ids.insert(id);
      }
    MAPIFreeBuffer(row);
  }
  return ids;
}

// After changes went by unread: every open table brought in line with the
// file, each row it shows or should show refreshed where its object is now.
void ReloadTables(Db& db) REQUIRES(db.mu) {
  std::vector<Change> redo;
  std::set<std::pair<int64_t, int64_t>> done;
  auto touch = [&](int64_t folder, int64_t id) REQUIRES(db.mu) {
    ObjectRow o;
    int64_t where = FindObject(db.W(), id, &o) ? o.parent : folder;
    if (done.insert({where, id}).second) redo.push_back({Change::kRow, id, where});
    if (where != folder && done.insert({folder, id}).second) redo.push_back({Change::kRow, id, folder});
  };
  for (const auto& [key, data] : db.tables) {
    int64_t folder = key.first;
    if (!IsKind(db.W(), folder, Kind::kFolder)) {
      redo.push_back({Change::kGone, folder});
      continue;
    }
    if ((key.second & ~kUnicodeTable) == 3) {
      for (const auto& [id, depth] : db.depth_rows[folder]) touch(folder, id);
      SyncDepthTable(db, folder, data.get(), 0);
      continue;
    }
    for (int64_t id : Shown(db, data.get())) touch(folder, id);
    for (const ObjectRow& o : Children(db.W(), folder))
      if (o.kind == Kind::kFolder || o.kind == Kind::kMessage) touch(folder, o.id);
  }
  Announce(db, redo);
}

// Polls every open file that has tables or sinks. Lives as long as the
// process; its owner (a static) stops it at exit.
class Poller {
 public:
  Poller() { thread_ = std::thread([this] { Run(); }); }
  ~Poller() {
    {
      MutexLock g(mu_);
      stop_ = true;
    }
    wake_.NotifyAll();
    thread_.join();
  }
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

 private:
  void Run() {
    MutexLock g(mu_);
    while (!stop_) {
      wake_.WaitFor(g, kPollPeriod);
      if (stop_) break;
      g.Unlock();  // the files' locks are never taken under ours
      PollAll();
      g.Lock();
    }
  }

  static void PollAll() {
    std::vector<std::shared_ptr<Db>> dbs;
    {
      MutexLock g(Db::open_mu);
      for (const auto& [path, weak] : Db::open)
        if (auto db = weak.lock()) dbs.push_back(std::move(db));
    }
    for (const auto& db : dbs) {
      MutexLock g(db->mu);
      if (!db->sinks.empty() || !db->tables.empty()) CatchUp(*db);
    }
    // A file closed meanwhile is let go here, under no lock.
  }

  Mutex mu_;
  CondVar wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace

bool LogCommit(Db& db, const std::vector<Change>& changes) {
  int64_t now = static_cast<int64_t>(std::time(nullptr));
  return LogChanges(db, changes, db.origin, now, now - kLogKeepSeconds);
}

void CatchUp(Db& db) {
  int64_t last = LastChange(db.W());
  if (last <= db.seen) return;
  std::vector<LoggedChange> entries = ChangesAfter(db.W(), db.seen);
  bool gap = entries.empty() || entries.front().seq != db.seen + 1;
  std::vector<Change> theirs;
  for (const LoggedChange& e : entries) {
    // Entries that went unread were pruned: the whole run is contiguous
    // otherwise, as numbers are handed out in commit order.
    if (e.known && e.origin != db.origin) theirs.push_back(e.change);
    db.seen = e.seq;
  }
  db.seen = std::max(db.seen, last);
  if (gap) ReloadTables(db);
  if (!theirs.empty()) Announce(db, theirs);
}

void FollowOtherWriters() {
  // Made after the table of open files (a static of Database.cpp), so it
  // is stopped before the latter goes at exit; the notification queue it
  // posts to is never destroyed. A child forked from the process has no
  // thread to stop and leaves the poller alone.
  struct Owner {
    Poller* poller;
    pid_t pid;
    ~Owner() {
      if (getpid() == pid) delete poller;
    }
  };
  static Owner owner{new Poller, getpid()};
}

}  // namespace vantrel::mapi::pst
