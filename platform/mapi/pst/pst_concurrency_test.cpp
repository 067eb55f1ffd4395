// The store shared by many threads at once, and what a failed commit
// leaves behind.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/mapi/MapiTags.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/PstStore.h"
#include "platform/mapi/TableData.h"
#include "platform/mapi/pst/StoreTestUtil.h"
#include "platform/mapi/pst/StoreTesting.h"
#include "platform/win/TestChild.h"

using vantrel::ComPtr;
using namespace storetest;

namespace {

HRESULT SetLong(IMAPIProp* obj, ULONG tag, LONG value) {
  SPropValue v{};
  v.ulPropTag = tag;
  v.Value.l = value;
  return obj->SetProps(1, &v, nullptr);
}

// A saved message with PR_IMPORTANCE `tag`; null when the save failed.
ComPtr<IMessage> SaveMessage(IMAPIFolder* f, LONG tag) {
  ComPtr<IMessage> m;
  if (f->CreateMessage(nullptr, 0, m.Out()) != S_OK) return {};
  if (SetLong(m.get(), PR_IMPORTANCE, tag) != S_OK || m->SaveChanges(KEEP_OPEN_READWRITE) != S_OK) return {};
  return m;
}

ULONG Rows(IMAPITable* t) {
  ULONG n = 0;
  EXPECT_EQ(t->GetRowCount(0, &n), S_OK);
  return n;
}

// The PR_IMPORTANCE of every message a folder holds, read from the file.
std::multiset<LONG> Tags(IMAPIFolder* f) {
  ComPtr<IMAPITable> t;
  EXPECT_EQ(f->GetContentsTable(0, t.Out()), S_OK);
  SizedSPropTagArray<1> cols{1, {PR_IMPORTANCE}};
  LPSRowSet rows = nullptr;
  EXPECT_EQ(HrQueryAllRows(t.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
  std::multiset<LONG> out;
  for (ULONG i = 0; rows && i < rows->cRows; ++i) out.insert(rows->aRow[i].lpProps[0].Value.l);
  FreeProws(rows);
  return out;
}

// Runs every job on its own thread and waits for all of them a bounded
// time. A thread still running then is a hang: the test process ends with
// a failure instead of holding ctest up (the hung threads still own the
// store, so there is nothing to unwind).
void RunBounded(const std::vector<std::pair<const char*, std::function<void()>>>& jobs,
                std::chrono::seconds bound) {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<bool> done(jobs.size(), false);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < jobs.size(); ++i) {
    threads.emplace_back([&, i] {
      jobs[i].second();
      std::lock_guard<std::mutex> g(mu);
      done[i] = true;
      cv.notify_all();
    });
  }
  std::unique_lock<std::mutex> lock(mu);
  bool all = cv.wait_for(lock, bound, [&] { return std::find(done.begin(), done.end(), false) == done.end(); });
  if (!all) {
    for (size_t i = 0; i < jobs.size(); ++i)
      if (!done[i]) std::fprintf(stderr, "still running after %llds: %s\n", (long long)bound.count(), jobs[i].first);
    std::fflush(stderr);
    std::_Exit(1);
  }
  lock.unlock();
  for (auto& t : threads) t.join();
}

// Every kind of call a mail client makes on a shared mailbox, at once: the
// store's own values and its advise registrations (a save and an Advise
// used to take the store's two locks in opposite orders), folders made and
// removed, messages saved, moved and deleted, read flags and table reads.
// All finish, and every save that answered S_OK is in the file afterwards.
TEST(StoreSharing, EveryCallFinishesAndEverySaveIsKept) {
  std::string path = TmpPath("sharing.pst");
  constexpr int kRounds = 100;
  std::atomic<int> failures{0};
  std::atomic<bool> saving{true};  // the store's own saves are still running
  LONG store_value = -1;                 // the store's last value saved
  std::map<LONG, bool> saved;            // message tag -> moved to B (false: in A)
  std::mutex saved_mu;
  {
    auto store = Open(path);
    auto top = OpenAs<IMAPIFolder>(store.get(), Bin(store.get(), PR_IPM_SUBTREE_ENTRYID));
    auto a = Child(top.get(), "A");
    auto b = Child(top.get(), "B");
    std::vector<BYTE> a_eid = Bin(a.get(), PR_ENTRYID);
    LPMAPIADVISESINK sink = nullptr;
    ASSERT_EQ(HrAllocAdviseSink([](ULONG, LPNOTIFICATION) -> ULONG { return 0; }, &sink), S_OK);
    ComPtr<IMAPIAdviseSink> sink_ref = ComPtr<IMAPIAdviseSink>::Adopt(sink);

    std::vector<std::pair<const char*, std::function<void()>>> jobs;
    jobs.emplace_back("store SetProps + SaveChanges", [&] {
      for (int i = 0; i < kRounds; ++i) {
        if (SetLong(store.get(), PROP_TAG(PT_LONG, 0x6701), i) != S_OK || store->SaveChanges(KEEP_OPEN_READWRITE))
          ++failures;
        else
          store_value = i;
      }
      saving = false;
    });
    jobs.emplace_back("store Advise / Unadvise", [&] {
      // As long as the saves run (at most a bounded number of rounds), so
      // every save meets an Advise.
      for (int i = 0; i < kRounds * 1000 && saving; ++i) {
        ULONG conn = 0;
        ULONG cb = i % 2 ? static_cast<ULONG>(a_eid.size()) : 0;
        if (store->Advise(cb, cb ? (LPENTRYID)a_eid.data() : nullptr, fnevObjectCreated | fnevObjectModified |
                                                                          fnevObjectDeleted | fnevObjectMoved,
                          sink, &conn) != S_OK ||
            store->Unadvise(conn) != S_OK)
          ++failures;
      }
    });
    jobs.emplace_back("a second store object on the file, advised", [&] {
      for (int i = 0; i < kRounds; ++i) {
        auto other = Open(path);
        ULONG conn = 0;
        if (!other || other->Advise(0, nullptr, fnevObjectCreated, sink, &conn) != S_OK) ++failures;
        if (other) Long(other.get(), PROP_TAG(PT_LONG, 0x6701));
      }  // released while advised
    });
    jobs.emplace_back("folder create / delete", [&] {
      for (int i = 0; i < kRounds; ++i) {
        std::string name = "temp " + std::to_string(i);
        ComPtr<IMAPIFolder> f;
        if (top->CreateFolder(FOLDER_GENERIC, name.data(), nullptr, nullptr, 0, f.Out()) != S_OK) {
          ++failures;
          continue;
        }
        if (SetLong(f.get(), PR_IMPORTANCE, i) != S_OK) ++failures;
        std::vector<BYTE> eid = Bin(f.get(), PR_ENTRYID);
        if (top->DeleteFolder(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), 0, nullptr,
                              DEL_FOLDERS | DEL_MESSAGES) != S_OK)
          ++failures;
      }
    });
    for (int t = 0; t < 2; ++t) {
      jobs.emplace_back("message create / save / move / delete", [&, t] {
        for (int i = 0; i < kRounds; ++i) {
          LONG tag = t * 1000 + i;
          auto m = SaveMessage(a.get(), tag);
          if (!m) {
            ++failures;
            continue;
          }
          std::vector<BYTE> eid = Bin(m.get(), PR_ENTRYID);
          SBinary bin{static_cast<ULONG>(eid.size()), eid.data()};
          ENTRYLIST list{1, &bin};
          m.Reset();
          HRESULT hr = S_OK;
          bool moved = false;
          if (i % 3 == 1) {
            hr = a->CopyMessages(&list, nullptr, b.get(), 0, nullptr, MAPI_MOVE);
            moved = true;
          } else if (i % 3 == 2) {
            hr = a->DeleteMessages(&list, 0, nullptr, 0);
            if (hr == S_OK) continue;
          }
          if (hr != S_OK) ++failures;
          std::lock_guard<std::mutex> g(saved_mu);
          saved[tag] = moved;
        }
      });
    }
    jobs.emplace_back("read flags", [&] {
      for (int i = 0; i < kRounds; ++i) {
        if (a->SetReadFlags(nullptr, 0, nullptr, i % 2 ? CLEAR_READ_FLAG : 0) != S_OK) ++failures;
        auto m = SaveMessage(b.get(), 5000 + i);
        if (!m || m->SetReadFlag(i % 2 ? CLEAR_READ_FLAG : 0) != S_OK) {
          ++failures;
          continue;
        }
        std::lock_guard<std::mutex> g(saved_mu);
        saved[5000 + i] = true;
      }
    });
    jobs.emplace_back("contents tables", [&] {
      for (int i = 0; i < kRounds; ++i) {
        for (IMAPIFolder* f : {a.get(), b.get()}) {
          ComPtr<IMAPITable> t;
          LPSRowSet rows = nullptr;
          if (f->GetContentsTable(i % 2 ? MAPI_UNICODE : 0, t.Out()) != S_OK ||
              t->QueryRows(50, 0, &rows) != S_OK)
            ++failures;
          FreeProws(rows);
        }
        Long(a.get(), PR_CONTENT_UNREAD);
      }
    });
    RunBounded(jobs, std::chrono::seconds(240));
    EXPECT_EQ(failures.load(), 0);
    vantrel::mapi::NotificationThread::Instance().Flush();
  }
  // Everything released: the file is opened afresh.
  auto store = Open(path);
  EXPECT_EQ(Long(store.get(), PROP_TAG(PT_LONG, 0x6701)), store_value);
  auto top = OpenAs<IMAPIFolder>(store.get(), Bin(store.get(), PR_IPM_SUBTREE_ENTRYID));
  std::multiset<LONG> want_a, want_b;
  for (const auto& [tag, moved] : saved) (moved ? want_b : want_a).insert(tag);
  EXPECT_EQ(Tags(Child(top.get(), "A").get()), want_a);
  EXPECT_EQ(Tags(Child(top.get(), "B").get()), want_b);
  ComPtr<IMAPITable> h;
  ASSERT_EQ(top->GetHierarchyTable(0, h.Out()), S_OK);
  EXPECT_EQ(Rows(h.get()), 6u);  // the standard four, A and B: every temporary folder went
}

std::atomic<bool> g_fail_commits{false};
bool CommitAllowed() {
  return !g_fail_commits.load();
}

// A write whose commit fails answers an error and announces nothing: no
// advise sink hears of it and open tables keep the rows they had.
TEST(StoreSharing, AFailedCommitAnnouncesNothing) {
  auto store = Open(TmpPath("failed-commit.pst"));
  auto top = OpenAs<IMAPIFolder>(store.get(), Bin(store.get(), PR_IPM_SUBTREE_ENTRYID));
  auto a = Child(top.get(), "A");
  auto b = Child(top.get(), "B");
  auto sub = Child(a.get(), "Sub");
  auto m1 = SaveMessage(a.get(), 1);
  auto m2 = SaveMessage(a.get(), 2);
  ASSERT_TRUE(m1 && m2);
  std::vector<BYTE> e1 = Bin(m1.get(), PR_ENTRYID), sub_eid = Bin(sub.get(), PR_ENTRYID);
  SBinary bin{static_cast<ULONG>(e1.size()), e1.data()};
  ENTRYLIST one{1, &bin};

  std::mutex mu;
  std::vector<ULONG> events;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  std::lock_guard<std::mutex> g(mu);
                  for (ULONG i = 0; i < n; ++i) events.push_back(notes[i].ulEventType);
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(store->Advise(0, nullptr, fnevObjectCreated | fnevObjectDeleted | fnevObjectModified | fnevObjectMoved |
                                          fnevObjectCopied,
                          sink, &conn),
            S_OK);
  ComPtr<IMAPITable> contents, unread_view, hierarchy;
  ASSERT_EQ(a->GetContentsTable(0, contents.Out()), S_OK);
  ASSERT_EQ(a->GetContentsTable(MAPI_UNICODE, unread_view.Out()), S_OK);
  ASSERT_EQ(a->GetHierarchyTable(0, hierarchy.Out()), S_OK);
  ASSERT_EQ(Rows(contents.get()), 2u);
  ASSERT_EQ(Rows(hierarchy.get()), 1u);
  std::multiset<LONG> before = Tags(a.get());
  LONG flags_before = Long(m1.get(), PR_MESSAGE_FLAGS);

  struct Case {
    const char* what;
    std::function<HRESULT()> call;
  } cases[] = {
      {"save a new message", [&] { return SaveMessage(a.get(), 3) ? S_OK : MAPI_E_DISK_ERROR; }},
      {"save a changed message",
       [&] {
         SetLong(m2.get(), PR_IMPORTANCE, 20);
         return m2->SaveChanges(KEEP_OPEN_READWRITE);
       }},
      {"delete a message", [&] { return a->DeleteMessages(&one, 0, nullptr, 0); }},
      {"move a message", [&] { return a->CopyMessages(&one, nullptr, b.get(), 0, nullptr, MAPI_MOVE); }},
      {"copy a message", [&] { return a->CopyMessages(&one, nullptr, b.get(), 0, nullptr, 0); }},
      {"mark all read", [&] { return a->SetReadFlags(nullptr, 0, nullptr, 0); }},
      {"mark one read", [&] { return m1->SetReadFlag(0); }},
      {"create a folder",
       [&] {
         ComPtr<IMAPIFolder> f;
         return a->CreateFolder(FOLDER_GENERIC, const_cast<char*>("New"), nullptr, nullptr, 0, f.Out());
       }},
      {"delete a folder",
       [&] { return a->DeleteFolder(static_cast<ULONG>(sub_eid.size()), (LPENTRYID)sub_eid.data(), 0, nullptr, 0); }},
      {"change a folder", [&] { return SetLong(sub.get(), PR_IMPORTANCE, 7); }},
  };
  g_fail_commits = true;
  SetPstStoreCommitHook(CommitAllowed);
  for (const Case& c : cases) EXPECT_TRUE(FAILED(c.call())) << c.what;
  g_fail_commits = false;
  vantrel::mapi::NotificationThread::Instance().Flush();
  {
    std::lock_guard<std::mutex> g(mu);
    EXPECT_TRUE(events.empty()) << events.size() << " notifications, first " << events[0];
  }
  EXPECT_EQ(Rows(contents.get()), 2u);
  EXPECT_EQ(Rows(unread_view.get()), 2u);
  EXPECT_EQ(Rows(hierarchy.get()), 1u);
  EXPECT_EQ(Tags(a.get()), before);  // the rows' values too
  EXPECT_EQ(Tags(b.get()), std::multiset<LONG>{});
  SizedSPropTagArray<1> cols{1, {PR_MESSAGE_FLAGS}};
  LPSRowSet rows = nullptr;
  ASSERT_EQ(HrQueryAllRows(contents.get(), cols.get(), nullptr, nullptr, 0, &rows), S_OK);
  for (ULONG i = 0; i < rows->cRows; ++i) EXPECT_FALSE(rows->aRow[i].lpProps[0].Value.l & MSGFLAG_READ);
  FreeProws(rows);
  EXPECT_EQ(Long(OpenAs<IMessage>(store.get(), e1).get(), PR_MESSAGE_FLAGS), flags_before);

  // The same call committed is announced and shown.
  ASSERT_EQ(a->DeleteMessages(&one, 0, nullptr, 0), S_OK);
  vantrel::mapi::NotificationThread::Instance().Flush();
  {
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(events, std::vector<ULONG>{fnevObjectDeleted});
  }
  EXPECT_EQ(Rows(contents.get()), 1u);
  SetPstStoreCommitHook(nullptr);
  ASSERT_EQ(store->Unadvise(conn), S_OK);
  sink->Release();
}

}  // namespace

namespace {

// The other process of StoreAcrossProcesses: opens the file named in
// PST_PEER_FILE and, for each command read on its input, changes the
// store and answers "done" (or "failed").
TEST(StoreAcrossProcesses, DISABLED_Peer) {
  const char* path = std::getenv("PST_PEER_FILE");
  ASSERT_NE(path, nullptr);
  auto store = Open(path);
  auto top = Subtree(store.get());
  auto a = Child(top.get(), "A");
  auto b = Child(top.get(), "B");
  ComPtr<IMessage> m;
  std::vector<BYTE> eid;
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    std::string cmd(line, std::strcspn(line, "\n"));
    SBinary bin{static_cast<ULONG>(eid.size()), eid.data()};
    ENTRYLIST one{1, &bin};
    HRESULT hr = E_FAIL;
    if (cmd == "new") {
      m = SaveMessage(a.get(), 1);
      if (m) eid = Bin(m.get(), PR_ENTRYID), hr = S_OK;
    } else if (cmd == "modify") {
      hr = SetLong(m.get(), PR_IMPORTANCE, 2);
      if (hr == S_OK) hr = m->SaveChanges(KEEP_OPEN_READWRITE);
    } else if (cmd == "read") {
      hr = a->SetReadFlags(&one, 0, nullptr, 0);
    } else if (cmd == "move") {
      hr = a->CopyMessages(&one, nullptr, b.get(), 0, nullptr, MAPI_MOVE);
    } else if (cmd == "delete") {
      hr = b->DeleteMessages(&one, 0, nullptr, 0);
    } else if (cmd == "new, log pruned") {
      // As if the other process had not read the log for longer than it
      // is kept.
      m = SaveMessage(a.get(), 3);
      sqlite3* raw = nullptr;
      if (m && sqlite3_open(path, &raw) == SQLITE_OK && sqlite3_exec(raw, "DELETE FROM changes", nullptr, nullptr,
                                                                     nullptr) == SQLITE_OK)
        hr = S_OK;
      sqlite3_close(raw);
    }
    std::printf("%s\n", hr == S_OK ? "done" : "failed");
    std::fflush(stdout);
  }
}

// What another process commits reaches this process's open tables and
// advise sinks within a polling period: new, changed, moved and deleted.
TEST(StoreAcrossProcesses, OtherProcessesChangesReachTablesAndSinks) {
  std::string path = TmpPath("across.pst");
  auto store = Open(path);
  auto top = Subtree(store.get());
  auto a = Child(top.get(), "A");
  auto b = Child(top.get(), "B");
  std::vector<BYTE> a_eid = Bin(a.get(), PR_ENTRYID), b_eid = Bin(b.get(), PR_ENTRYID);

  struct Seen {
    ULONG event;
    std::vector<BYTE> parent;
  };
  std::mutex mu;
  std::condition_variable arrived;
  std::vector<Seen> events;
  LPMAPIADVISESINK sink = nullptr;
  ASSERT_EQ(HrAllocAdviseSink(
                [&](ULONG n, LPNOTIFICATION notes) -> ULONG {
                  std::lock_guard<std::mutex> g(mu);
                  for (ULONG i = 0; i < n; ++i) {
                    const auto& o = notes[i].info.obj;
                    if (o.ulObjType != MAPI_MESSAGE) continue;
                    auto* p = reinterpret_cast<BYTE*>(o.lpParentID);
                    events.push_back({notes[i].ulEventType, std::vector<BYTE>(p, p + o.cbParentID)});
                  }
                  arrived.notify_all();
                  return 0;
                },
                &sink),
            S_OK);
  ULONG conn = 0;
  ASSERT_EQ(store->Advise(0, nullptr, fnevObjectCreated | fnevObjectDeleted | fnevObjectModified | fnevObjectMoved,
                          sink, &conn),
            S_OK);
  ComPtr<IMAPITable> in_a, in_b;
  ASSERT_EQ(a->GetContentsTable(0, in_a.Out()), S_OK);
  ASSERT_EQ(b->GetContentsTable(MAPI_UNICODE, in_b.Out()), S_OK);

  setenv("PST_PEER_FILE", path.c_str(), 1);
  vantrel::win::TestChild peer({"/proc/self/exe", "--gtest_filter=StoreAcrossProcesses.DISABLED_Peer",
                                "--gtest_also_run_disabled_tests"});
  ASSERT_TRUE(peer.started());
  auto answer = [&](const std::string& cmd) {
    peer.WriteLine(cmd);
    for (std::string l = peer.Line(); !l.empty(); l = peer.Line())  // past the test runner's own lines
      if (l == "done" || l == "failed") return l;
    return std::string("no answer");
  };
  struct Step {
    const char* cmd;
    ULONG event;
    const std::vector<BYTE>& parent;
    ULONG rows_a, rows_b;
  } steps[] = {
      {"new", fnevObjectCreated, a_eid, 1, 0},    {"modify", fnevObjectModified, a_eid, 1, 0},
      {"read", fnevObjectModified, a_eid, 1, 0},  {"move", fnevObjectMoved, b_eid, 0, 1},
      {"delete", fnevObjectDeleted, b_eid, 0, 0},
  };
  auto same_folder = [](const std::vector<BYTE>& x, const std::vector<BYTE>& y) {
    return x.size() == y.size() && x.size() > 4 && std::equal(x.begin() + 4, x.end(), y.begin() + 4);
  };
  for (const Step& s : steps) {
    {
      std::lock_guard<std::mutex> g(mu);
      events.clear();
    }
    ASSERT_EQ(answer(s.cmd), "done") << s.cmd;
    std::unique_lock<std::mutex> g(mu);
    // Bounded only so that a lost notification fails instead of hanging.
    bool heard = arrived.wait_for(g, std::chrono::seconds(20), [&] {
      return std::any_of(events.begin(), events.end(),
                         [&](const Seen& e) { return e.event == s.event && same_folder(e.parent, s.parent); });
    });
    EXPECT_TRUE(heard) << s.cmd << ": " << events.size() << " other notifications";
    g.unlock();
    // The tables were brought up to date before the sinks were told.
    EXPECT_EQ(Rows(in_a.get()), s.rows_a) << s.cmd;
    EXPECT_EQ(Rows(in_b.get()), s.rows_b) << s.cmd;
    if (std::string(s.cmd) == "modify") {
      EXPECT_EQ(Tags(a.get()), std::multiset<LONG>{2});
    }
  }

  // Entries gone before this process read them: its tables are brought in
  // line with the file all the same.
  ASSERT_EQ(answer("new, log pruned"), "done");
  bool shown = false;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       !shown && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    shown = Rows(in_a.get()) == 1;
  EXPECT_TRUE(shown);
  EXPECT_EQ(Tags(a.get()), std::multiset<LONG>{3});
  ASSERT_EQ(store->Unadvise(conn), S_OK);
  sink->Release();
}

}  // namespace
