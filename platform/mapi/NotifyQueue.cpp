// The notification thread: one per process, started by the first post,
// delivering every batch in the order posted.
#include <cstdint>
#include <cstring>
#include <deque>
#include <thread>

#include "platform/base/ThreadAnnotations.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/TableData.h"

namespace vantrel::mapi {
namespace {

struct Delivery {
  ComPtr<IMAPIAdviseSink> sink;
  LPNOTIFICATION batch = nullptr;
  ULONG count = 0;
};

struct QueueState {
  vantrel::Mutex mu;
  vantrel::CondVar wake;  // items arrived
  vantrel::CondVar done;  // `delivered` moved
  std::deque<Delivery> items GUARDED_BY(mu);
  std::uint64_t posted GUARDED_BY(mu) = 0;
  std::uint64_t delivered GUARDED_BY(mu) = 0;
  bool started GUARDED_BY(mu) = false;
  std::thread::id worker GUARDED_BY(mu);
};

QueueState& Queue() {
  static auto* q = new QueueState;  // lives to the end of the process, as its thread does
  return *q;
}

// Waits for work for as long as the process lives: nothing stops the
// thread, and no one waits for it to end.
void Worker() {
  QueueState& q = Queue();
  MutexLock lock(q.mu);
  for (;;) {
    while (q.items.empty()) q.wake.Wait(lock);
    Delivery d = std::move(q.items.front());
    q.items.pop_front();
    lock.Unlock();  // sinks run under no lock of ours
    d.sink->OnNotify(d.count, d.batch);
    MAPIFreeBuffer(d.batch);
    d.sink.Reset();
    lock.Lock();
    ++q.delivered;
    q.done.NotifyAll();
  }
}

SCODE CopyBytes(void* parent, const void* src, ULONG n, LPENTRYID& dst) {
  dst = nullptr;
  if (!src || !n) return S_OK;
  void* p = nullptr;
  if (SCODE sc = MAPIAllocateMore(n, parent, &p); sc != S_OK) return sc;
  std::memcpy(p, src, n);
  dst = static_cast<LPENTRYID>(p);
  return S_OK;
}

}  // namespace

NotifyQueue& NotifyQueue::Instance() {
  static NotifyQueue queue;
  return queue;
}

void NotifyQueue::Post(IMAPIAdviseSink* sink, const std::vector<NOTIFICATION>& batch) {
  if (!sink || batch.empty()) return;
  LPNOTIFICATION copy = nullptr;
  if (CopyNotifications(static_cast<ULONG>(batch.size()), batch.data(), &copy) != S_OK) return;
  QueueState& q = Queue();
  MutexLock lock(q.mu);
  if (!q.started) {
    std::thread t(Worker);
    q.worker = t.get_id();
    t.detach();
    q.started = true;
  }
  q.items.push_back(Delivery{ComPtr<IMAPIAdviseSink>(sink), copy, static_cast<ULONG>(batch.size())});
  ++q.posted;
  q.wake.NotifyOne();
}

// A sink that flushes from its OnNotify would wait for itself: on the
// notification thread, Flush returns at once.
void NotifyQueue::Flush() {
  QueueState& q = Queue();
  MutexLock lock(q.mu);
  if (q.started && q.worker == std::this_thread::get_id()) return;
  const std::uint64_t target = q.posted;
  while (q.delivered < target) q.done.Wait(lock);
}

SCODE CopyNotifications(ULONG count, const NOTIFICATION* src, LPNOTIFICATION* out) {
  if (!out || (count && !src)) return MAPI_E_INVALID_PARAMETER;
  void* root = nullptr;
  if (SCODE sc = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(NOTIFICATION) * std::max<ULONG>(count, 1)), &root);
      sc != S_OK)
    return sc;
  auto* dst = static_cast<LPNOTIFICATION>(root);
  SCODE sc = S_OK;
  auto value = [&](const SPropValue& from, SPropValue& to) {
    if (sc == S_OK) sc = PropCopyMore(&to, const_cast<LPSPropValue>(&from), MAPIAllocateMore, root);
  };
  auto values = [&](const SPropValue* from, ULONG n, LPSPropValue& to) {
    to = nullptr;
    if (!from || !n || sc != S_OK) return;
    void* p = nullptr;
    if ((sc = MAPIAllocateMore(static_cast<ULONG>(sizeof(SPropValue) * n), root, &p)) != S_OK) return;
    to = static_cast<LPSPropValue>(p);
    for (ULONG i = 0; i < n; ++i) value(from[i], to[i]);
  };
  auto bytes = [&](const void* from, ULONG n, LPENTRYID& to) {
    if (sc == S_OK) sc = CopyBytes(root, from, n, to);
  };
  auto text = [&](const char* from, LPSTR& to) {
    to = nullptr;
    if (!from || sc != S_OK) return;
    LPENTRYID p = nullptr;
    bytes(from, static_cast<ULONG>(std::strlen(from) + 1), p);
    to = reinterpret_cast<LPSTR>(p);
  };
  for (ULONG i = 0; i < count && sc == S_OK; ++i) {
    dst[i] = src[i];
    auto& d = dst[i].info;
    const auto& s = src[i].info;
    switch (src[i].ulEventType) {
      case fnevCriticalError:
        bytes(s.err.lpEntryID, s.err.cbEntryID, d.err.lpEntryID);
        if (s.err.lpMAPIError) {
          void* p = nullptr;
          if ((sc = MAPIAllocateMore(sizeof(MAPIERROR), root, &p)) == S_OK) {
            auto* e = static_cast<LPMAPIERROR>(p);
            *e = *s.err.lpMAPIError;
            text(s.err.lpMAPIError->lpszError, e->lpszError);
            text(s.err.lpMAPIError->lpszComponent, e->lpszComponent);
            d.err.lpMAPIError = e;
          }
        }
        break;
      case fnevNewMail:
        bytes(s.newmail.lpEntryID, s.newmail.cbEntryID, d.newmail.lpEntryID);
        bytes(s.newmail.lpParentID, s.newmail.cbParentID, d.newmail.lpParentID);
        text(s.newmail.lpszMessageClass, d.newmail.lpszMessageClass);
        break;
      case fnevObjectCreated:
      case fnevObjectDeleted:
      case fnevObjectModified:
      case fnevObjectMoved:
      case fnevObjectCopied:
      case fnevSearchComplete:
        bytes(s.obj.lpEntryID, s.obj.cbEntryID, d.obj.lpEntryID);
        bytes(s.obj.lpParentID, s.obj.cbParentID, d.obj.lpParentID);
        bytes(s.obj.lpOldID, s.obj.cbOldID, d.obj.lpOldID);
        bytes(s.obj.lpOldParentID, s.obj.cbOldParentID, d.obj.lpOldParentID);
        if (s.obj.lpPropTagArray) {
          LPENTRYID p = nullptr;
          bytes(s.obj.lpPropTagArray, static_cast<ULONG>(CbSPropTagArray(s.obj.lpPropTagArray)), p);
          d.obj.lpPropTagArray = reinterpret_cast<LPSPropTagArray>(p);
        }
        break;
      case fnevTableModified:
        value(s.tab.propIndex, d.tab.propIndex);
        value(s.tab.propPrior, d.tab.propPrior);
        values(s.tab.row.lpProps, s.tab.row.cValues, d.tab.row.lpProps);
        break;
      case fnevExtended: {
        LPENTRYID p = nullptr;
        bytes(s.ext.pbEventParameters, s.ext.cb, p);
        d.ext.pbEventParameters = reinterpret_cast<LPBYTE>(p);
        break;
      }
      case fnevStatusObjectModified:
        bytes(s.statobj.lpEntryID, s.statobj.cbEntryID, d.statobj.lpEntryID);
        values(s.statobj.lpPropVals, s.statobj.cValues, d.statobj.lpPropVals);
        break;
      default:
        break;
    }
  }
  if (sc != S_OK) {
    MAPIFreeBuffer(root);
    return sc;
  }
  *out = dst;
  return S_OK;
}

}  // namespace vantrel::mapi
