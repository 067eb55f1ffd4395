// The provider's configuration: the connection string the dialog hands back
// and the store entry ID made from it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tools/mszlf/MszlfConfig.h"
#include "tools/mszlf/MszlfProps.h"

using vantrel::mszlf::Config;

TEST(MszlfConfig, ConnectionStringFields) {
  struct Case {
    const char* text;
    const char* server;
    const char* profile;
    const char* store;
  } cases[] = {
      {"zel(mailbox_jsmith)(Mailbox - John Smith)", "zel", "mailbox_jsmith", "Mailbox - John Smith"},
      // A fourth field is ignored; a blank ends the server's name.
      {"zel main(p)(s)(ignored)", "zel", "p", "s"},
      // Missing fields keep what was configured.
      {"other", "other", "old profile", "old store"},
      {"(p2)", "old", "p2", "old store"},
  };
  for (const Case& c : cases) {
    Config config;
    config.server = "old";
    config.profile = "old profile";
    config.store = "old store";
    config.SetConnection(c.text);
    EXPECT_EQ(config.server, c.server) << c.text;
    EXPECT_EQ(config.profile, c.profile) << c.text;
    EXPECT_EQ(config.store, c.store) << c.text;
  }
}

TEST(MszlfConfig, StoreEntryIdNamesTheProviderAndTheStore) {
  Config config;
  config.SetConnection("zel(p)(s)");
  EXPECT_EQ(config.Connection(), "zel(p)(s)");
  std::vector<BYTE> id = config.StoreEntryID();
  ASSERT_EQ(id.size(), 4u + 16u + 9u + 1u);
  EXPECT_EQ(std::memcmp(id.data() + 4, vantrel::mszlf::kMszlfProviderUid.ab, 16), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(id.data() + 20)), "zel(p)(s)");
  // Another store of the same server is another ID.
  Config other = config;
  other.store = "t";
  EXPECT_NE(other.StoreEntryID(), id);
}
