// A folder-sized table: the first page of a sorted view, a full walk in
// pages and a substring restriction, each beside plain SQLite answering the
// same question over the same rows in the same run. Each figure is the
// median of five runs (the machine is shared). Prints the figures and their
// ratios; asserts nothing.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Msg {
  LONG id;
  std::string subject, sender;
  ULONGLONG time;
  LONG size, flags, importance;
};

std::vector<Msg> MakeMessages(int n) {
  std::mt19937 rng(42);
  std::vector<Msg> out;
  out.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    out.push_back(Msg{i, "Message " + std::to_string(i) + " about topic " + std::to_string(rng() % 1000),
                      "Sender " + std::to_string(rng() % 200), 130000000000000000ULL + rng() % 100000000000ULL,
                      static_cast<LONG>(rng() % 100000), static_cast<LONG>(rng() % 2), static_cast<LONG>(rng() % 3)});
  }
  return out;
}

constexpr int kRuns = 5;

template <typename F>
double Median(F run) {
  std::vector<double> t;
  for (int i = 0; i < kRuns; ++i) t.push_back(run());
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

struct Figures {
  double first_page, walk, restrict_;
  size_t matched;
};

Figures RunTable(const std::vector<Msg>& msgs) {
  SizedSPropTagArray<8> cols;
  ULONG tags[8] = {PR_ROWID,        PR_SUBJECT,       PR_SENDER_NAME, PR_MESSAGE_DELIVERY_TIME,
                   PR_MESSAGE_SIZE, PR_MESSAGE_FLAGS, PR_IMPORTANCE,  PR_ENTRYID};
  for (int i = 0; i < 8; ++i) cols.aulPropTag[i] = tags[i];
  LPTABLEDATA data = nullptr;
  CreateTable(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, TBLTYPE_DYNAMIC, PR_ROWID,
              cols.get(), &data);
  for (const auto& m : msgs) {
    BYTE eid[24] = {};
    std::memcpy(eid + 20, &m.id, 4);
    SPropValue v[8]{};
    v[0].ulPropTag = PR_ROWID, v[0].Value.l = m.id;
    v[1].ulPropTag = PR_SUBJECT, v[1].Value.lpszA = const_cast<char*>(m.subject.c_str());
    v[2].ulPropTag = PR_SENDER_NAME, v[2].Value.lpszA = const_cast<char*>(m.sender.c_str());
    v[3].ulPropTag = PR_MESSAGE_DELIVERY_TIME, v[3].Value.ft = QuadToFileTime(m.time);
    v[4].ulPropTag = PR_MESSAGE_SIZE, v[4].Value.l = m.size;
    v[5].ulPropTag = PR_MESSAGE_FLAGS, v[5].Value.l = m.flags;
    v[6].ulPropTag = PR_IMPORTANCE, v[6].Value.l = m.importance;
    v[7].ulPropTag = PR_ENTRYID, v[7].Value.bin = {24, eid};
    SRow row{0, 8, v};
    data->HrModifyRow(&row);
  }
  Figures f{};
  SizedSSortOrderSet<1> sort;
  sort.aSort[0] = {PR_MESSAGE_DELIVERY_TIME, TABLE_SORT_DESCEND};
  auto open_sorted = [&] {
    LPMAPITABLE view = nullptr;
    data->HrGetView(nullptr, nullptr, 0, &view);
    view->SetColumns(cols.get(), TBL_BATCH);
    view->SortTable(sort.get(), 0);
    return view;
  };
  // A new view each time: opening, setting columns, sorting, first page.
  f.first_page = Median([&] {
    auto t0 = Clock::now();
    LPMAPITABLE view = open_sorted();
    LPSRowSet rows = nullptr;
    view->QueryRows(50, 0, &rows);
    FreeProws(rows);
    double ms = Ms(t0, Clock::now());
    view->Release();
    return ms;
  });
  LPMAPITABLE view = open_sorted();
  f.walk = Median([&] {
    auto t0 = Clock::now();
    view->SeekRow(BOOKMARK_BEGINNING, 0, nullptr);
    for (;;) {
      LPSRowSet rows = nullptr;
      view->QueryRows(100, 0, &rows);
      ULONG n = rows->cRows;
      FreeProws(rows);
      if (n == 0) break;
    }
    return Ms(t0, Clock::now());
  });

  SPropValue needle{};
  needle.ulPropTag = PR_SUBJECT;
  needle.Value.lpszA = const_cast<char*>("topic 7");
  SRestriction res{};
  res.rt = RES_CONTENT;
  res.res.resContent = {FL_SUBSTRING | FL_IGNORECASE, PR_SUBJECT, &needle};
  f.restrict_ = Median([&] {
    auto t0 = Clock::now();
    view->Restrict(&res, 0);
    ULONG count = 0;
    view->GetRowCount(0, &count);
    f.matched = count;
    double ms = Ms(t0, Clock::now());
    view->Restrict(nullptr, 0);
    return ms;
  });
  view->Release();
  data->Release();
  return f;
}

Figures RunSqlite(const std::vector<Msg>& msgs) {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  sqlite3_exec(db,
               "CREATE TABLE m(id INTEGER PRIMARY KEY, subject TEXT, sender TEXT, time INTEGER, size INTEGER,"
               " flags INTEGER, importance INTEGER, eid BLOB)",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO m VALUES(?,?,?,?,?,?,?,?)", -1, &ins, nullptr);
  for (const auto& m : msgs) {
    BYTE eid[24] = {};
    std::memcpy(eid + 20, &m.id, 4);
    sqlite3_bind_int(ins, 1, m.id);
    sqlite3_bind_text(ins, 2, m.subject.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(ins, 3, m.sender.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_int64(ins, 4, static_cast<sqlite3_int64>(m.time));
    sqlite3_bind_int(ins, 5, m.size);
    sqlite3_bind_int(ins, 6, m.flags);
    sqlite3_bind_int(ins, 7, m.importance);
    sqlite3_bind_blob(ins, 8, eid, 24, SQLITE_STATIC);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  auto drain = [&](const char* sql) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
    size_t n = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(st); ++c) (void)sqlite3_column_blob(st, c);
      ++n;
    }
    sqlite3_finalize(st);
    return n;
  };
  Figures f{};
  auto timed = [&](const char* sql) {
    return Median([&] {
      auto t0 = Clock::now();
      f.matched = drain(sql);
      return Ms(t0, Clock::now());
    });
  };
  f.first_page = timed("SELECT * FROM m ORDER BY time DESC LIMIT 50");
  f.walk = timed("SELECT * FROM m ORDER BY time DESC");
  f.restrict_ = timed("SELECT id FROM m WHERE subject LIKE '%topic 7%'");
  sqlite3_close(db);
  return f;
}

}  // namespace

int main() {
  std::printf("%-8s %-24s %10s %10s %7s\n", "rows", "question", "table ms", "sqlite ms", "ratio");
  for (int n : {2000, 20000, 200000}) {
    auto msgs = MakeMessages(n);
    Figures t = RunTable(msgs), s = RunSqlite(msgs);
    auto line = [&](const char* q, double a, double b) {
      std::printf("%-8d %-24s %10.2f %10.2f %7.2f\n", n, q, a, b, a / b);
    };
    line("first page of 50", t.first_page, s.first_page);
    line("full walk, pages of 100", t.walk, s.walk);
    line("substring on subject", t.restrict_, s.restrict_);
    if (t.matched != s.matched) std::printf("  (matched %zu vs %zu rows)\n", t.matched, s.matched);
  }
  return 0;
}
