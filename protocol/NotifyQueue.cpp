#include "protocol/NotifyQueue.h"

#include "platform/mapi/MapiUtil.h"

namespace vantrel::zel {
namespace {
void Put32(std::vector<BYTE>& out, ULONG v) {
  BYTE b[4] = {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)};
  out.insert(out.end(), b, b + 4);
}
}  // namespace

void AppendNotifyEntry(const NotifyEntry& e, std::vector<BYTE>& out) {
  const ULONG len = static_cast<ULONG>(e.data.size());
  Put32(out, 1);
  Put32(out, len);
  Put32(out, 0);  // the sender's data pointer: meaningless to the peer
  Put32(out, 1);
  Put32(out, e.event_mask);
  Put32(out, e.connection);
  Put32(out, e.object_key);
  Put32(out, e.client_key);
  Put32(out, len);
  out.insert(out.end(), e.data.begin(), e.data.end());
}

void CNotifyQueue::Push(NotifyEntry entry) {
  MutexLock l(lock_);
  entries_.push_back(std::move(entry));
}

ULONG CNotifyQueue::Drain(std::vector<BYTE>& block) {
  MutexLock l(lock_);
  size_t total = 0;
  for (const auto& e : entries_) total += kNotifyEntryHeader + e.data.size();
  block.reserve(block.size() + total);
  ULONG count = 0;
  while (!entries_.empty()) {
    AppendNotifyEntry(entries_.front(), block);
    entries_.pop_front();
    ++count;
  }
  return count;
}

size_t CNotifyQueue::Size() const {
  MutexLock l(lock_);
  return entries_.size();
}

ReadQueueResult ReadQueue(CNotifyQueue* queue, Mutex& registry_lock, const std::function<std::uint64_t()>& clock,
                          const ResultBlockMaker& make_block) {
  ReadQueueResult out;
  if (!queue) return out;
  try {
    std::vector<BYTE> block;
    {
      MutexLock l(registry_lock);
      queue->Stamp(clock());
      out.count = queue->Drain(block);
    }
    if (out.count) {
      out.length = static_cast<ULONG>(block.size());
      out.buffer = make_block(std::move(block));
    }
    queue->Stamp(clock());
  } catch (...) {
    return ReadQueueResult{E_ACCESSDENIED, 0, 0, 0};
  }
  return out;
}

CAdviseList::CAdviseList(Mutex& registry_lock, QueueLookup lookup)
    : lock_(registry_lock), lookup_(std::move(lookup)) {}

CAdviseList::~CAdviseList() {
  for (auto& r : records_)
    if (r) r->mark.store(0);
}

std::shared_ptr<CAdviseList::Record> CAdviseList::AddAdvise(ULONG object_key, std::int32_t session, ULONG event_mask,
                                                            ULONG client_key) {
  MutexLock l(lock_);
  for (auto& r : records_)
    // Only a record of the same session: another session's record would
    // carry this advise's notifications into that session's queue.
    if (r && r->session == session && r->object_key == object_key && r->event_mask == event_mask &&
        r->client_key == client_key)
      return r;
  auto record = std::make_shared<Record>();
  record->event_mask = event_mask;
  record->session = session;
  record->connection = static_cast<ULONG>(records_.size());
  record->object_key = object_key;
  record->client_key = client_key;
  // The sink sees the record weakly: MAPI may hold the sink past RemoveAdvise.
  std::weak_ptr<Record> weak = record;
  HRESULT hr = HrAllocAdviseSink(
      [this, weak](ULONG count, LPNOTIFICATION notifications) -> ULONG {
        auto r = weak.lock();
        return r ? OnNotify(*r, count, notifications) : 0;
      },
      record->sink.Out());
  if (FAILED(hr)) return nullptr;
  records_.push_back(record);
  return record;
}

LONG CAdviseList::RemoveAdvise(ULONG connection) {
  std::shared_ptr<Record> victim;
  {
    MutexLock l(lock_);
    if (connection >= records_.size() || !records_[connection]) return -1;
    victim = std::move(records_[connection]);
    records_[connection].reset();
    victim->mark.store(0);
  }
  victim->sink.Reset();  // released outside the lock
  return static_cast<LONG>(connection);
}

bool CAdviseList::SetObjectKey(ULONG connection, ULONG object_key) {
  MutexLock l(lock_);
  if (connection >= records_.size() || !records_[connection]) return false;
  records_[connection]->object_key = object_key;
  return true;
}

std::shared_ptr<CAdviseList::Record> CAdviseList::Find(ULONG connection) {
  MutexLock l(lock_);
  return connection < records_.size() ? records_[connection] : nullptr;
}

ULONG CAdviseList::OnNotify(Record& record, ULONG count, const NOTIFICATION* notifications) {
  if (record.mark.load() != kMark || !notifications) return 0;
  for (ULONG i = 0; i < count; ++i) {
    NotifyEntry entry;
    try {
      entry.data.resize(codec_.SizeNotification(&notifications[i]));
      MarshalWriter w(entry.data.data(), entry.data.size());
      codec_.WriteNotification(w, &notifications[i]);
    } catch (...) {
      break;  // an encoding failure ends the batch
    }
    MutexLock l(lock_);
    entry.event_mask = record.event_mask;
    entry.connection = record.connection;
    entry.object_key = record.object_key;
    entry.client_key = record.client_key;
    // A session that has ended drops the notification.
    if (CNotifyQueue* queue = lookup_(record.session)) queue->Push(std::move(entry));
  }
  return 0;
}

}  // namespace vantrel::zel
