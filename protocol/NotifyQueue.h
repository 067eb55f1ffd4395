// Notifications from MAPI advise sinks to the queue of the logon session that
// asked for them, collected by the client's GetNotifyQuere polls.
//
// Lock order: the registry lock (owned by the handle registry and lent to
// CAdviseList), then a session's queue lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/base/Unknown.h"
#include "platform/mapi/MapiInterfaces.h"
#include "protocol/MapiMarshal.h"

namespace vantrel::zel {

inline constexpr size_t kNotifyEntryHeader = 36;

// One queued notification: the advise record's keys and one encoded
// NOTIFICATION (presence byte, image, payload).
struct NotifyEntry {
  ULONG event_mask = 0;
  ULONG connection = 0;
  ULONG object_key = 0;
  ULONG client_key = 0;
  std::vector<BYTE> data;
};

// Appends the entry as sent: 1, L, filler, 1, mask, connection, object key,
// client key, L, then the L bytes.
void AppendNotifyEntry(const NotifyEntry& entry, std::vector<BYTE>& out);

// A session's queue, its lock and its last-activity stamp; the session
// object holds one.
class CNotifyQueue {
 public:
  explicit CNotifyQueue(std::uint64_t now_ms = 0) : last_activity_(now_ms) {}
  void Push(NotifyEntry entry) EXCLUDES(lock_);
  // Moves every entry, oldest first, into `block`; returns how many.
  ULONG Drain(std::vector<BYTE>& block) EXCLUDES(lock_);
  size_t Size() const EXCLUDES(lock_);
  void Stamp(std::uint64_t now_ms) { last_activity_.store(now_ms); }
  std::uint64_t LastActivity() const { return last_activity_.load(); }

 private:
  // The session queue lock: last in the order (object, registry, queue).
  mutable Mutex lock_;
  std::deque<NotifyEntry> entries_ GUARDED_BY(lock_);
  std::atomic<std::uint64_t> last_activity_;
};

struct ReadQueueResult {
  HRESULT result = S_OK;
  ULONG count = 0;
  ULONG length = 0;
  std::int32_t buffer = 0;
};

// Serves GetNotifyQuere. `queue` null (the handle names no session): all
// zero. Otherwise stamps the session (under the registry lock), drains the
// queue into one block, hands a non-empty block to `make_block` (the
// registry's MakeResultBlock, which fills the inline area and returns the
// buffer handle) and stamps again. An empty queue answers buffer 0. A failure
// while reading answers E_ACCESSDENIED.
using ResultBlockMaker = std::function<std::int32_t(std::vector<BYTE> block)>;
ReadQueueResult ReadQueue(CNotifyQueue* queue, Mutex& registry_lock, const std::function<std::uint64_t()>& clock,
                          const ResultBlockMaker& make_block);

// The advise records. Records never move: a removed one leaves an empty
// slot, so connection numbers count up from 0 and are never reused.
class CAdviseList {
 public:
  static constexpr ULONG kMark = 123456;

  struct Record {
    std::atomic<ULONG> mark{kMark};
    ULONG event_mask = 0;
    std::int32_t session = 0;
    ULONG connection = 0;
    ULONG object_key = 0;  // guarded by the registry lock (CAdviseList::lock_)
    ULONG client_key = 0;
    ComPtr<IMAPIAdviseSink> sink;  // made with HrAllocAdviseSink
  };

  // Finds a session's queue; called with the registry lock held (the
  // lookup asserts it). nullptr when the session is gone.
  using QueueLookup = std::function<CNotifyQueue*(std::int32_t session)>;

  CAdviseList(Mutex& registry_lock, QueueLookup lookup);
  ~CAdviseList();
  CAdviseList(const CAdviseList&) = delete;
  CAdviseList& operator=(const CAdviseList&) = delete;

  // The existing record of the same session with the same object key, mask
  // and client key, or a new one. Takes the registry lock. nullptr only when no sink can be made.
  std::shared_ptr<Record> AddAdvise(ULONG object_key, std::int32_t session, ULONG event_mask, ULONG client_key)
      EXCLUDES(lock_);
  // The connection number, or -1 when no record has it. Takes the registry lock.
  LONG RemoveAdvise(ULONG connection) EXCLUDES(lock_);
  // The advising object stores the connection number MAPI gave it here.
  bool SetObjectKey(ULONG connection, ULONG object_key) EXCLUDES(lock_);
  std::shared_ptr<Record> Find(ULONG connection) EXCLUDES(lock_);

  // The sink callback: each notification of the batch becomes one queue entry.
  ULONG OnNotify(Record& record, ULONG count, const NOTIFICATION* notifications) EXCLUDES(lock_);

 private:
  Mutex& lock_;  // the registry's lock, lent
  QueueLookup lookup_;
  std::vector<std::shared_ptr<Record>> records_ GUARDED_BY(lock_);
  CMapiMarshal codec_;                            // stateless apart from the process allocator
};

}  // namespace vantrel::zel
