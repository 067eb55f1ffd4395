#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "protocol/NotifyQueue.h"
#include "protocol/NotifyRecords.h"

namespace vantrel::zel {
namespace {

using Bytes = std::vector<BYTE>;

Bytes Entry(ULONG client_key, Bytes data) {
  NotifyEntry e;
  e.event_mask = 4;
  e.connection = 9;
  e.object_key = 11;
  e.client_key = client_key;
  e.data = std::move(data);
  Bytes out;
  AppendNotifyEntry(e, out);
  return out;
}

void Put32(Bytes& b, size_t at, ULONG v) {
  for (int i = 0; i < 4; ++i) b[at + i] = BYTE(v >> (8 * i));
}

// Every entry of the block, and whether the reader stopped at damage.
std::vector<NotifyRecord> ReadAll(const Bytes& block, bool* damaged) {
  NotifyRecordReader reader(block);
  std::vector<NotifyRecord> out;
  NotifyRecord r;
  while (reader.Next(r)) out.push_back(r);
  *damaged = reader.Damaged();
  return out;
}

TEST(NotifyRecords, ReadsEntriesAsTheServerWritesThem) {
  Bytes block = Entry(5, {1, 2, 3});
  Bytes second = Entry(6, {});
  block.insert(block.end(), second.begin(), second.end());
  bool damaged = true;
  auto records = ReadAll(block, &damaged);
  EXPECT_FALSE(damaged);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].client_key, 5u);
  EXPECT_EQ(records[0].event_mask, 4u);
  EXPECT_EQ(records[0].connection, 9u);
  EXPECT_EQ(records[0].object_key, 11u);
  EXPECT_EQ(records[0].count, 1u);
  EXPECT_EQ(Bytes(records[0].data.begin(), records[0].data.end()), (Bytes{1, 2, 3}));
  EXPECT_EQ(records[1].client_key, 6u);
  EXPECT_TRUE(records[1].data.empty());
}

TEST(NotifyRecords, DamagedEntryEndsTheBlockAfterTheGoodOnes) {
  const Bytes good = Entry(5, {7, 7, 7, 7});
  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;  // applied to the second entry
  };
  const Case cases[] = {
      {"header cut short", [](Bytes& b) { b.resize(20); }},
      {"data cut short", [](Bytes& b) { b.pop_back(); }},
      {"length past the block", [](Bytes& b) { Put32(b, 4, 0xFFFFFFF0u), Put32(b, 32, 0xFFFFFFF0u); }},
      {"the two lengths disagree", [](Bytes& b) { Put32(b, 32, 3); }},
      {"leading word not 1", [](Bytes& b) { Put32(b, 0, 2); }},
  };
  for (const Case& c : cases) {
    Bytes bad = Entry(6, {1, 2, 3, 4});
    c.damage(bad);
    Bytes block = good;
    block.insert(block.end(), bad.begin(), bad.end());
    bool damaged = false;
    auto records = ReadAll(block, &damaged);
    EXPECT_TRUE(damaged) << c.name;
    ASSERT_EQ(records.size(), 1u) << c.name;
    EXPECT_EQ(records[0].client_key, 5u) << c.name;
  }
}

TEST(NotifyRecords, EmptyBlockHasNoEntries) {
  bool damaged = true;
  EXPECT_TRUE(ReadAll({}, &damaged).empty());
  EXPECT_FALSE(damaged);
}

}  // namespace
}  // namespace vantrel::zel
