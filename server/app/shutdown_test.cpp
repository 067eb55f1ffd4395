// ZelServer always stops: SIGTERM while a call cannot end (another program
// holds the store file's write lock) exits after the configured wait, names
// the abandoned call in the log, and reports it with a non-zero status.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/mapi/MapiDefs.h"
#include "platform/mapi/MapiTags.h"
#include "platform/registry/Registry.h"
#include "server/app/ServerProcess.h"
#include "server/app/TestClient.h"

namespace vantrel {
namespace {

using testsupport::Client;
using testsupport::Mailbox;
using testsupport::Text;

TEST(Shutdown, ACallThatCannotEndDoesNotHoldTheServer) {
  std::string dir = testsupport::TestDir();
  ASSERT_TRUE(testsupport::PrepareMailboxHome(dir, MAPIPROF_BIN, ZELUSERS_BIN))
      << "run through ctest: the test needs its private registry";
  testsupport::WriteServerValues({{"StopWait", 1}});
  testsupport::ServerProcess server(ZELSERVER_BIN, dir + "/home");
  ASSERT_TRUE(server.ready());

  Client c(server.port());
  std::int32_t session = c.Logon(Mailbox::kProfile, Mailbox::kStore, Mailbox::kUser, Mailbox::kPassword);
  ASSERT_GT(session, 0);
  std::int32_t store = c.Call<zel::ZelLogon_GetMsgStore>({session}).result;
  ASSERT_GT(store, 0);
  auto ipm = c.Call<zel::MSGSTORE_OpenEntry>({store, c.Binary(store, PR_IPM_SUBTREE_ENTRYID), {}, MAPI_BEST_ACCESS});
  ASSERT_EQ(ipm.result, S_OK);
  auto message = c.Call<zel::IMAPIFOLDER_CreateMessage>({ipm.hNewObject, {}, 0});
  ASSERT_EQ(message.result, S_OK);
  ASSERT_EQ(c.SetProps(message.hMessage, {Text(PR_SUBJECT, "never saved")}), S_OK);

  // Another program takes the file's write lock and keeps it: the save
  // waits on it inside the server.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir + "/jsmith.pst").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

  std::thread saver([&] {
    zel::MAPIPROP_SaveChanges::Reply out;
    // The connection ends under it: its transport status is not checked.
    zel::Invoke<zel::MAPIPROP_SaveChanges>(c.t(), {message.hMessage, 0}, out);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // Well under the store's own five-second wait for the lock: if the
  // server waited for the call, it would be killed here and Stop say -1.
  int status = server.Stop(std::chrono::seconds(4));
  saver.join();
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);

  EXPECT_EQ(status, 3);
  std::ifstream log(dir + "/home/zelServer.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("MAPIPROP_SaveChanges (connection"), std::string::npos) << text.str();
}

}  // namespace
}  // namespace vantrel
