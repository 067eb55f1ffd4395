#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "platform/mapi/MapiMemory.h"
#include "protocol/NotifyQueue.h"

namespace vantrel::zel {
namespace {

using Bytes = std::vector<BYTE>;

ULONG Word(const Bytes& b, size_t at) {
  return ULONG(b[at]) | ULONG(b[at + 1]) << 8 | ULONG(b[at + 2]) << 16 | ULONG(b[at + 3]) << 24;
}

struct Fixture {
  Mutex registry_lock;
  std::map<std::int32_t, std::unique_ptr<CNotifyQueue>> sessions;  // guarded by registry_lock
  CAdviseList advises{registry_lock, [this](std::int32_t s) -> CNotifyQueue* {
                        auto it = sessions.find(s);
                        return it == sessions.end() ? nullptr : it->second.get();
                      }};
  std::uint64_t now = 1000;
  std::vector<Bytes> blocks;
  ReadQueueResult Read(std::int32_t session) {
    CNotifyQueue* q = sessions.count(session) ? sessions[session].get() : nullptr;
    return ReadQueue(
        q, registry_lock, [this] { return ++now; },
        [this](Bytes b) {
          blocks.push_back(std::move(b));
          return std::int32_t(7);
        });
  }
};

NOTIFICATION Created(BYTE* id) {
  NOTIFICATION n{};
  n.ulEventType = fnevObjectCreated;
  n.info.obj.cbEntryID = 2;
  n.info.obj.lpEntryID = reinterpret_cast<LPENTRYID>(id);
  return n;
}

TEST(Advise, RecordsAndConnectionNumbers) {
  Fixture f;
  auto a = f.advises.AddAdvise(10, 1, fnevObjectCreated, 500);
  auto b = f.advises.AddAdvise(11, 1, fnevObjectCreated, 501);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->mark.load(), 123456u);
  EXPECT_EQ(a->connection, 0u);
  EXPECT_EQ(b->connection, 1u);
  EXPECT_TRUE(a->sink);
  // The same session, object key, mask and client key: the same record.
  // Another session never shares it, or its notifications would reach
  // the first session's queue.
  EXPECT_EQ(f.advises.AddAdvise(10, 1, fnevObjectCreated, 500), a);
  auto other = f.advises.AddAdvise(10, 2, fnevObjectCreated, 500);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->connection, 2u);
  EXPECT_EQ(f.advises.RemoveAdvise(0), 0);
  EXPECT_EQ(f.advises.RemoveAdvise(0), -1);
  EXPECT_EQ(f.advises.RemoveAdvise(99), -1);
  EXPECT_EQ(a->mark.load(), 0u);
  // Numbers are never reused.
  EXPECT_EQ(f.advises.AddAdvise(10, 1, fnevObjectCreated, 500)->connection, 3u);
  EXPECT_TRUE(f.advises.SetObjectKey(3, 77));
  EXPECT_EQ(f.advises.Find(3)->object_key, 77u);
}

TEST(Advise, BatchBecomesEntriesOnTheSessionQueue) {
  Fixture f;
  f.sessions[1] = std::make_unique<CNotifyQueue>(0);
  auto rec = f.advises.AddAdvise(10, 1, fnevObjectCreated | fnevNewMail, 500);
  f.advises.SetObjectKey(rec->connection, 33);
  BYTE id[] = {0xAB, 0xCD};
  NOTIFICATION batch[2] = {Created(id), Created(id)};
  batch[1].ulEventType = fnevObjectDeleted;
  // Through the sink, as MAPI calls it.
  EXPECT_EQ(rec->sink->OnNotify(2, batch), 0u);

  ReadQueueResult r = f.Read(1);
  EXPECT_EQ(r.result, S_OK);
  EXPECT_EQ(r.count, 2u);
  EXPECT_EQ(r.buffer, 7);
  ASSERT_EQ(f.blocks.size(), 1u);
  const Bytes& b = f.blocks[0];
  const ULONG L = 1 + 64 + 4 + 2 + 12;
  ASSERT_EQ(b.size(), 2 * (36 + L));
  EXPECT_EQ(r.length, b.size());
  for (size_t at : {size_t(0), size_t(36 + L)}) {
    EXPECT_EQ(Word(b, at + 0), 1u);
    EXPECT_EQ(Word(b, at + 4), L);
    EXPECT_EQ(Word(b, at + 12), 1u);
    EXPECT_EQ(Word(b, at + 16), ULONG(fnevObjectCreated | fnevNewMail));
    EXPECT_EQ(Word(b, at + 20), 0u);
    EXPECT_EQ(Word(b, at + 24), 33u);
    EXPECT_EQ(Word(b, at + 28), 500u);
    EXPECT_EQ(Word(b, at + 32), L);
    EXPECT_EQ(b[at + 36], 1);
  }
  EXPECT_EQ(Word(b, 37), fnevObjectCreated);  // oldest first
  EXPECT_EQ(Word(b, 36 + L + 37), fnevObjectDeleted);

  // The entry decodes with the codec.
  CMapiMarshal codec;
  MarshalReader rd(b.data() + 36, L);
  LPNOTIFICATION n;
  ASSERT_EQ(codec.ReadNotification(rd, nullptr, &n), S_OK);
  EXPECT_EQ(n->info.obj.cbEntryID, 2u);
  EXPECT_EQ(reinterpret_cast<BYTE*>(n->info.obj.lpEntryID)[1], 0xCD);
  MAPIFreeBuffer(n);

  // The queue is empty now.
  EXPECT_EQ(f.sessions[1]->Size(), 0u);
}

TEST(Queue, EmptyGoneAndFailingReads) {
  Fixture f;
  f.sessions[1] = std::make_unique<CNotifyQueue>(0);
  ReadQueueResult r = f.Read(1);
  EXPECT_EQ(r.result, S_OK);
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.length, 0u);
  EXPECT_EQ(r.buffer, 0);
  EXPECT_TRUE(f.blocks.empty());
  EXPECT_EQ(f.sessions[1]->LastActivity(), f.now);  // stamped all the same

  // A session that is gone: its notifications are dropped; reading it gives zeros.
  auto rec = f.advises.AddAdvise(10, 2, fnevObjectCreated, 1);
  BYTE id[] = {1, 2};
  NOTIFICATION n = Created(id);
  rec->sink->OnNotify(1, &n);
  r = f.Read(2);
  EXPECT_EQ(r.count, 0u);
  EXPECT_EQ(r.buffer, 0);

  // A removed record posts nothing even when MAPI still holds its sink.
  auto live = f.advises.AddAdvise(11, 1, fnevObjectCreated, 2);
  ComPtr<IMAPIAdviseSink> held(live->sink.get());
  f.advises.RemoveAdvise(live->connection);
  live.reset();
  held->OnNotify(1, &n);
  EXPECT_EQ(f.sessions[1]->Size(), 0u);

  // Reading fails: E_ACCESSDENIED.
  f.sessions[1]->Push(NotifyEntry{1, 2, 3, 4, Bytes{0}});
  r = ReadQueue(
      f.sessions[1].get(), f.registry_lock, [] { return std::uint64_t(5); },
      [](Bytes) -> std::int32_t { throw std::runtime_error("no room"); });
  EXPECT_EQ(r.result, E_ACCESSDENIED);
  EXPECT_EQ(r.count, 0u);
}

}  // namespace
}  // namespace vantrel::zel
