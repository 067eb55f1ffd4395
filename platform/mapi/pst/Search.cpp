#include "platform/mapi/pst/Search.h"

#include <deque>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/Restriction.h"
#include "platform/mapi/TableData.h"

namespace vantrel::mapi::pst {

struct SearchFolders::Search {
  LPSRestriction res = nullptr;
  std::set<int64_t> listed;
  bool recursive = false;
  bool running = false;
  std::uint64_t rebuilding = 0;  // the generation being built, 0 when none
  std::set<int64_t> hits;
  ~Search() { MAPIFreeBuffer(res); }
};

namespace {

constexpr int kMaxDepth = 256;  // a damaged file's loop of parents ends here

void DropRow(SearchHost& host, IMAPITableData* table, int64_t id) {
  std::vector<BYTE> key = host.RowKey(id);
  SPropValue v{};
  v.ulPropTag = PR_INSTANCE_KEY;
  v.Value.bin = {static_cast<ULONG>(key.size()), key.data()};
  table->HrDeleteRow(&v);
}

}  // namespace

SearchFolders::SearchFolders() = default;
SearchFolders::~SearchFolders() = default;

bool SearchFolders::Known(int64_t folder) const {
  return searches_.count(folder) != 0;
}

bool SearchFolders::Rebuilding(int64_t folder) const {
  auto it = searches_.find(folder);
  return it != searches_.end() && it->second->rebuilding != 0;
}

std::uint64_t SearchFolders::Set(int64_t folder, LPSRestriction res, std::vector<int64_t> listed, bool recursive,
                                 bool running, bool rebuild) {
  auto& s = searches_[folder];
  if (!s) s = std::make_unique<Search>();
  MAPIFreeBuffer(s->res);
  s->res = res;
  s->listed = std::set<int64_t>(listed.begin(), listed.end());
  s->recursive = recursive;
  s->running = running;
  if (!running) s->rebuilding = 0;  // a stopped search keeps what it found
  if (!running || !rebuild) return 0;
  s->rebuilding = ++next_generation_;
  return s->rebuilding;
}

bool SearchFolders::Matches(SearchHost& host, const Search& s, int64_t id, SRow* row) const {
  int64_t folder = 0;
  bool message = false;
  if (!host.Locate(id, &folder, &message) || !message) return false;
  bool in_scope = false;
  for (int depth = 0; depth < kMaxDepth && !in_scope; ++depth) {
    if (s.listed.count(folder)) {
      in_scope = true;
      break;
    }
    int64_t parent = 0;
    bool is_message = false;
    if (!s.recursive || !host.Locate(folder, &parent, &is_message) || parent == folder || parent <= 0) break;
    folder = parent;
  }
  if (!in_scope || !host.MessageRow(id, row)) return false;
  if (EvaluateRestriction(s.res, row->lpProps, row->cValues)) return true;
  MAPIFreeBuffer(row->lpProps);
  row->lpProps = nullptr;
  return false;
}

void SearchFolders::Rebuild(SearchHost& host, int64_t folder, std::uint64_t generation, bool notify) {
  auto it = searches_.find(folder);
  if (it == searches_.end()) return;
  Search& s = *it->second;
  if (generation && s.rebuilding != generation) return;  // superseded or stopped
  // Every message of the listed folders (and their subfolders when recursive).
  std::vector<int64_t> messages;
  std::set<int64_t> seen;
  std::deque<std::pair<int64_t, int>> todo;
  for (int64_t f : s.listed) todo.emplace_back(f, 0);
  while (!todo.empty()) {
    auto [f, depth] = todo.front();
    todo.pop_front();
    if (!seen.insert(f).second) continue;
    for (int64_t m : host.Children(f, false)) messages.push_back(m);
    if (s.recursive && depth < kMaxDepth)
      for (int64_t sub : host.Children(f, true)) todo.emplace_back(sub, depth + 1);
  }
  IMAPITableData* table = host.Contents(folder);
  if (table) table->HrModifyRows(TAD_ALL_ROWS, nullptr);
  s.hits.clear();
  for (int64_t m : messages) {
    SRow row{};
    if (!Matches(host, s, m, &row)) continue;
    s.hits.insert(m);
    if (table) table->HrModifyRow(&row);
    MAPIFreeBuffer(row.lpProps);
  }
  s.rebuilding = 0;
  if (notify) host.Complete(folder);
}

void SearchFolders::Touch(SearchHost& host, int64_t id) {
  for (auto& [folder, sp] : searches_) {
    Search& s = *sp;
    bool had = s.hits.count(id) != 0;
    if (!had && (!s.running || s.rebuilding)) continue;  // a rebuild to come will find it
    SRow row{};
    bool match = false;
    if (s.running) {
      match = Matches(host, s, id, &row);
    } else {
      // Stopped: the results stay as they were, but a message that is gone
      // or no longer a message of this store cannot stay listed.
      int64_t parent = 0;
      bool message = false;
      match = host.Locate(id, &parent, &message) && message && host.MessageRow(id, &row);
    }
    IMAPITableData* table = host.Contents(folder);
    if (match) {
      s.hits.insert(id);
      if (table) table->HrModifyRow(&row);
      MAPIFreeBuffer(row.lpProps);
    } else if (had) {
      s.hits.erase(id);
      if (table) DropRow(host, table, id);
    }
  }
}

void SearchFolders::Fill(SearchHost& host, int64_t folder, IMAPITableData* table) const {
  auto it = searches_.find(folder);
  if (it == searches_.end() || !table) return;
  for (int64_t m : it->second->hits) {
    SRow row{};
    if (!host.MessageRow(m, &row)) continue;
    table->HrModifyRow(&row);
    MAPIFreeBuffer(row.lpProps);
  }
}

void SearchFolders::Forget(int64_t folder) {
  searches_.erase(folder);
}

}  // namespace vantrel::mapi::pst
