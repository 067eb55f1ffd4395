// Store throughput beside plain SQLite: N messages of 10 properties, one
// SaveChanges (one transaction) each, then every property read back.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PstStore.h"

using vantrel::ComPtr;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Fresh(const std::string& dir, const char* name) {
  std::string p = dir + "/" + name;
  for (const char* s : {"", "-wal", "-shm"}) std::filesystem::remove(p + s);
  return p;
}

constexpr ULONG kTags[10] = {PR_IMPORTANCE,
                             PR_PRIORITY,
                             PR_SENSITIVITY,
                             PR_SUBJECT,
                             PR_BODY,
                             PR_MESSAGE_CLASS,
                             PR_SENDER_NAME,
                             PR_DISPLAY_TO,
                             PR_CLIENT_SUBMIT_TIME,
                             PR_MESSAGE_DELIVERY_TIME};

void Fill(SPropValue* v, int i, std::string& text) {
  text = "message number " + std::to_string(i);
  for (int k = 0; k < 10; ++k) {
    v[k] = SPropValue{};
    v[k].ulPropTag = kTags[k];
  }
  v[0].Value.l = i % 3;
  v[1].Value.l = 0;
  v[2].Value.l = 0;
  v[3].Value.lpszA = text.data();
  v[4].Value.lpszA = text.data();
  v[5].Value.lpszA = const_cast<char*>("IPM.Note");
  v[6].Value.lpszA = const_cast<char*>("Ann Example");
  v[7].Value.lpszA = const_cast<char*>("Bob Example");
  v[8].Value.ft = {static_cast<DWORD>(i), 30000000};
  v[9].Value.ft = {static_cast<DWORD>(i), 30000000};
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 10000;
  std::string dir = std::filesystem::temp_directory_path() / "mapi_store_bench";
  std::filesystem::create_directories(dir);

  // The store.
  std::string path = Fresh(dir, "bench.pst");
  ComPtr<IMsgStore> store;
  if (OpenPstStore(path, "Bench", MDB_WRITE, store.Out()) != S_OK) return 1;
  LPSPropValue sub = nullptr;
  HrGetOneProp(store.get(), PR_IPM_SUBTREE_ENTRYID, &sub);
  ULONG type;
  ComPtr<IUnknown> unk;
  store->OpenEntry(sub->Value.bin.cb, (LPENTRYID)sub->Value.bin.lpb, nullptr, MAPI_MODIFY, &type, unk.Out());
  MAPIFreeBuffer(sub);
  auto* folder = static_cast<IMAPIFolder*>(unk.get());
  std::vector<std::vector<BYTE>> eids;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    ComPtr<IMessage> m;
    folder->CreateMessage(nullptr, 0, m.Out());
    SPropValue v[10];
    std::string text;
    Fill(v, i, text);
    m->SetProps(10, v, nullptr);
    if (m->SaveChanges(0) != S_OK) return 2;
    LPSPropValue e = nullptr;
    HrGetOneProp(m.get(), PR_ENTRYID, &e);
    eids.emplace_back(e->Value.bin.lpb, e->Value.bin.lpb + e->Value.bin.cb);
    MAPIFreeBuffer(e);
  }
  double store_write = Seconds(t0);
  // Reads are short and the machine is shared: each read-back runs five
  // times and the best round counts, for the store and the baseline alike.
  constexpr int kRounds = 5;
  SizedSPropTagArray<10> tags;
  std::copy(kTags, kTags + 10, tags.aulPropTag);
  size_t values = 0;
  double store_read = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    values = 0;
    t0 = std::chrono::steady_clock::now();
    for (const auto& e : eids) {
      ComPtr<IUnknown> u;
      store->OpenEntry(static_cast<ULONG>(e.size()), (LPENTRYID)e.data(), nullptr, 0, &type, u.Out());
      ULONG c = 0;
      LPSPropValue v = nullptr;
      static_cast<IMessage*>(u.get())->GetProps(tags.get(), 0, &c, &v);
      values += c;
      MAPIFreeBuffer(v);
    }
    store_read = std::min(store_read, Seconds(t0));
  }

  // Plain SQLite: the same rows, one transaction per message.
  std::string raw = Fresh(dir, "raw.db");
  sqlite3* db;
  sqlite3_open(raw.c_str(), &db);
  sqlite3_exec(
      db,
      "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
      "CREATE TABLE props(obj INTEGER, id INTEGER, type INTEGER, value BLOB, PRIMARY KEY(obj, id)) WITHOUT ROWID",
      nullptr, nullptr, nullptr);
  sqlite3_stmt* ins;
  sqlite3_prepare_v2(db, "INSERT INTO props VALUES(?, ?, ?, ?)", -1, &ins, nullptr);
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) {
    std::string text = "message number " + std::to_string(i);
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    for (int k = 0; k < 10; ++k) {
      sqlite3_bind_int(ins, 1, i);
      sqlite3_bind_int(ins, 2, static_cast<int>(PROP_ID(kTags[k])));
      sqlite3_bind_int(ins, 3, static_cast<int>(PROP_TYPE(kTags[k])));
      sqlite3_bind_blob(ins, 4, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  double raw_write = Seconds(t0);
  sqlite3_stmt* sel;
  sqlite3_prepare_v2(db, "SELECT id, type, value FROM props WHERE obj = ?", -1, &sel, nullptr);
  size_t raw_values = 0;
  double raw_read = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    raw_values = 0;
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
      sqlite3_bind_int(sel, 1, i);
      while (sqlite3_step(sel) == SQLITE_ROW) raw_values += sqlite3_column_bytes(sel, 2) > 0;
      sqlite3_reset(sel);
    }
    raw_read = std::min(raw_read, Seconds(t0));
  }
  sqlite3_finalize(ins);
  sqlite3_finalize(sel);
  sqlite3_close(db);

  std::printf("messages %d, 10 properties each, one transaction per message\n", n);
  std::printf("write: store %.3f s (%.0f msg/s), plain SQLite %.3f s (%.0f msg/s), ratio %.2f\n", store_write,
              n / store_write, raw_write, n / raw_write, store_write / raw_write);
  std::printf("read (best of %d): store %.3f s (%zu values), plain SQLite %.3f s (%zu values), ratio %.2f\n", kRounds,
              store_read, values, raw_read, raw_values, store_read / raw_read);
  return 0;
}
