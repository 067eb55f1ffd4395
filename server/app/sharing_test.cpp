// Many clients on one mailbox at once, end to end: each on its own
// connection to a real ZelServer, each call with a communication time-out,
// so a server that stops answering fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiTags.h"
#include "server/app/ServerProcess.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using testsupport::Client;
using testsupport::FreeRows;
using testsupport::Mailbox;
using testsupport::Text;

constexpr int kRounds = 25;
// Level 3: eight seconds for a call; every call here takes milliseconds.
constexpr unsigned kCallTimeoutLevel = 3;

// Stops a client's rounds at the first failure anywhere: a server that
// stopped answering costs one time-out, not one per remaining call.
bool Going(int round) { return round < kRounds && !::testing::Test::HasFailure(); }

std::vector<std::uint8_t> EntryList(const zel::CMapiMarshal& codec, const std::vector<std::uint8_t>& id) {
  SBinary bin{static_cast<ULONG>(id.size()), const_cast<LPBYTE>(id.data())};
  ENTRYLIST list{1, &bin};
  return codec.Encode([&] { return codec.SizeEntryList(&list); },
                      [&](zel::MarshalWriter& w) { codec.WriteEntryList(w, &list); });
}

// One workstation: its own connection and logon on the shared mailbox.
struct Workstation {
  explicit Workstation(const std::string& port) : c(port) {
    RpcMgmtSetComTimeout(c.binding(), kCallTimeoutLevel);
    session = c.Logon(Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword);
    EXPECT_GT(session, 0);
    store = c.Call<zel::ZelLogon_GetMsgStore>({session}).result;
    EXPECT_GT(store, 0);
  }
  ~Workstation() { c.Call<zel::FreeHObject>({session}); }

  std::int32_t Open(const std::vector<std::uint8_t>& id) {
    auto r = c.Call<zel::MSGSTORE_OpenEntry>({store, id, {}, MAPI_BEST_ACCESS});
    EXPECT_EQ(r.result, S_OK);
    return r.hNewObject;
  }

  Client c;
  std::int32_t session = 0;
  std::int32_t store = 0;
};

class Sharing : public testsupport::ServerSuite {};

// Seven clients: the store's own properties, store advise with the
// notification queue, folders made and removed, messages made and kept,
// messages made and deleted, read flags, and table reads, all at once on
// one mailbox. Every save that answered S_OK is there afterwards.
TEST_F(Sharing, SevenClientsOnOneMailbox) {
  std::vector<std::uint8_t> shared_id;
  {
    Workstation w(server_->port());
    std::int32_t ipm = w.Open(w.c.Binary(w.store, PR_IPM_SUBTREE_ENTRYID));
    auto f = w.c.Call<zel::IMAPIFOLDER_CreateFolder>({ipm, FOLDER_GENERIC, "Shared", "", {}, OPEN_IF_EXISTS});
    ASSERT_EQ(f.result, S_OK);
    shared_id = w.c.Binary(f.hNewFolder, PR_ENTRYID);
    ASSERT_FALSE(shared_id.empty());
  }

  std::mutex kept_mu;
  std::set<std::string> kept;  // subjects saved with S_OK and never deleted
  std::atomic<std::int32_t> last_comment{-1};
  std::atomic<int> notifications{0};

  auto keep = [&](const std::string& subject) {
    std::lock_guard<std::mutex> l(kept_mu);
    kept.insert(subject);
  };

  std::vector<std::function<void(Workstation&)>> roles = {
      // The store's own properties.
      [&](Workstation& w) {
        for (int i = 0; Going(i); ++i) {
          std::string text = "round " + std::to_string(i);
          ASSERT_EQ(w.c.SetProps(w.store, {Text(PR_COMMENT, text.c_str())}), S_OK);
          if (w.c.Call<zel::MAPIPROP_SaveChanges>({w.store, KEEP_OPEN_READWRITE}).result == S_OK) last_comment = i;
        }
      },
      // Store advise, the queue polled, unadvise: what every mail client does.
      [&](Workstation& w) {
        for (int i = 0; Going(i); ++i) {
          auto a = w.c.Call<zel::MSGSTORE_Advise>(
              {w.store, w.session, {}, fnevObjectCreated | fnevObjectDeleted | fnevObjectModified | fnevNewMail, 100 + i});
          ASSERT_EQ(a.result, S_OK);
          auto q = w.c.Call<zel::GetNotifyQuere>({w.session});
          EXPECT_EQ(q.result, S_OK);
          if (q.cNotifications > 0) {
            notifications += q.cNotifications;
            w.c.Block(q.cb, q.hBuffer, q.inlineData);
          }
          EXPECT_EQ(w.c.Call<zel::MSGSTORE_Unadvise>({w.store, a.ulConnection}).result, S_OK);
        }
      },
      // Folders made and removed.
      [&](Workstation& w) {
        std::int32_t ipm = w.Open(w.c.Binary(w.store, PR_IPM_SUBTREE_ENTRYID));
        for (int i = 0; Going(i); ++i) {
          auto f = w.c.Call<zel::IMAPIFOLDER_CreateFolder>(
              {ipm, FOLDER_GENERIC, "Scratch " + std::to_string(i), "", {}, 0});
          ASSERT_EQ(f.result, S_OK);
          auto id = w.c.Binary(f.hNewFolder, PR_ENTRYID);
          w.c.Call<zel::FreeHObject>({f.hNewFolder});
          EXPECT_EQ(w.c.Call<zel::IMAPIFOLDER_DeleteFolder>({ipm, id, 0, 0, DEL_FOLDERS | DEL_MESSAGES}).result, S_OK);
        }
      },
      // Messages made and kept.
      [&](Workstation& w) {
        std::int32_t folder = w.Open(shared_id);
        for (int i = 0; Going(i); ++i) {
          std::string subject = "kept " + std::to_string(i);
          auto m = w.c.Call<zel::IMAPIFOLDER_CreateMessage>({folder, {}, 0});
          ASSERT_EQ(m.result, S_OK);
          ASSERT_EQ(w.c.SetProps(m.hMessage, {Text(PR_SUBJECT, subject.c_str())}), S_OK);
          if (w.c.Call<zel::MAPIPROP_SaveChanges>({m.hMessage, 0}).result == S_OK) keep(subject);
          w.c.Call<zel::FreeHObject>({m.hMessage});
        }
      },
      // Messages made and deleted again.
      [&](Workstation& w) {
        std::int32_t folder = w.Open(shared_id);
        for (int i = 0; Going(i); ++i) {
          auto m = w.c.Call<zel::IMAPIFOLDER_CreateMessage>({folder, {}, 0});
          ASSERT_EQ(m.result, S_OK);
          ASSERT_EQ(w.c.SetProps(m.hMessage, {Text(PR_SUBJECT, "short-lived")}), S_OK);
          ASSERT_EQ(w.c.Call<zel::MAPIPROP_SaveChanges>({m.hMessage, KEEP_OPEN_READWRITE}).result, S_OK);
          auto id = w.c.Binary(m.hMessage, PR_ENTRYID);
          w.c.Call<zel::FreeHObject>({m.hMessage});
          EXPECT_EQ(w.c.Call<zel::IMAPIFOLDER_DeleteMessages>({folder, EntryList(w.c.codec(), id), 0, 0, 0}).result,
                    S_OK);
        }
      },
      // Read flags on a message of its own.
      [&](Workstation& w) {
        std::int32_t folder = w.Open(shared_id);
        auto m = w.c.Call<zel::IMAPIFOLDER_CreateMessage>({folder, {}, 0});
        ASSERT_EQ(m.result, S_OK);
        ASSERT_EQ(w.c.SetProps(m.hMessage, {Text(PR_SUBJECT, "flagged")}), S_OK);
        ASSERT_EQ(w.c.Call<zel::MAPIPROP_SaveChanges>({m.hMessage, KEEP_OPEN_READWRITE}).result, S_OK);
        keep("flagged");
        auto id = w.c.Binary(m.hMessage, PR_ENTRYID);
        for (int i = 0; Going(i); ++i) {
          ULONG flags = (i % 2) ? CLEAR_READ_FLAG : 0;
          EXPECT_EQ(w.c.Call<zel::IMAPIFOLDER_SetReadFlags>({folder, EntryList(w.c.codec(), id), 0, 0,
                                                             static_cast<std::int32_t>(flags)})
                        .result,
                    S_OK);
        }
      },
      // The shared folder's contents read again and again.
      [&](Workstation& w) {
        std::int32_t folder = w.Open(shared_id);
        for (int i = 0; Going(i); ++i) {
          auto t = w.c.Call<zel::IMAPICONTAIENR_GetContentsTable>({folder, 0});
          ASSERT_EQ(t.result, S_OK);
          auto rows = w.c.Rows(t.hTable, {PR_SUBJECT_A, PR_ENTRYID});
          if (rows) FreeRows(rows.get());
          w.c.Call<zel::FreeHObject>({t.hTable});
        }
      },
  };

  std::vector<std::thread> threads;
  for (auto& role : roles)
    threads.emplace_back([&, role] {
      Workstation w(server_->port());
      role(w);
    });
  for (auto& t : threads) t.join();

  // A new client sees every save that was answered S_OK.
  Workstation check(server_->port());
  std::int32_t folder = check.Open(shared_id);
  auto t = check.c.Call<zel::IMAPICONTAIENR_GetContentsTable>({folder, 0});
  ASSERT_EQ(t.result, S_OK);
  auto rows = check.c.Rows(t.hTable, {PR_SUBJECT_A});
  ASSERT_TRUE(rows);
  std::set<std::string> found;
  for (ULONG i = 0; i < rows->cRows; ++i)
    if (PROP_TYPE(rows->aRow[i].lpProps[0].ulPropTag) == PT_STRING8) found.insert(rows->aRow[i].lpProps[0].Value.lpszA);
  FreeRows(rows.get());
  for (const auto& s : kept) EXPECT_TRUE(found.count(s)) << s;
  EXPECT_FALSE(found.count("short-lived"));
  ASSERT_GE(last_comment.load(), 0);
  EXPECT_EQ(check.c.Text(check.store, PR_COMMENT), "round " + std::to_string(last_comment.load()));
}

}  // namespace
}  // namespace vantrel
