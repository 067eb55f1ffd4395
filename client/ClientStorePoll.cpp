#include "client/ClientStorePoll.h"

#include <algorithm>
#include <vector>

#include "client/ClientCall.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/win/WinUser.h"
#include "protocol/NotifyRecords.h"

namespace vantrel::client {

namespace {

constexpr UINT kPollPeriodMs = 2000;
constexpr int kIdleTicks = 10;  // ticks skipped after a poll while no one listens, less one

Mutex g_stores_lock;
std::vector<std::shared_ptr<CStorePoll>>& Stores() REQUIRES(g_stores_lock) {
  static auto* stores = new std::vector<std::shared_ptr<CStorePoll>>;  // outlives static destruction
  return *stores;
}
bool g_timer_started GUARDED_BY(g_stores_lock) = false;

void TimerProc(HWND, UINT, UINT_PTR, DWORD) { PollAllStores(); }

}  // namespace

bool ShouldPoll(bool has_advises, int& counter) {
  if (!has_advises && counter++ <= kIdleTicks) return false;
  counter = 0;
  return true;
}

CStorePoll::CStorePoll(CClientLogon* logon) : logon_(logon) {
  if (logon_) {
    logon_->AddRef();
    logon_->BindMarshal(codec_);
  }
}

CStorePoll::~CStorePoll() {
  if (logon_) logon_->Release();
}

void CStorePoll::Tick() {
  if (!logon_ || !logon_->Binding()) return;
  if (!ShouldPoll(logon_->HasAdvises(), counter_)) return;
  zel::GetNotifyQuere::Request in{logon_->LogonHandle()};
  zel::GetNotifyQuere::Reply out;
  // The call lock is held for the call alone; decoding and the sinks run
  // outside it.
  if (CallRemote<zel::GetNotifyQuere>(logon_->Binding(), in, out) != S_OK) return;
  if (out.cb <= 0) return;
  std::vector<BYTE> block;
  if (FAILED(BulkRead(logon_->Binding(), out.cb, out.hBuffer, out.inlineData, block))) return;
  Dispatch(block);
}

size_t CStorePoll::Dispatch(std::span<const BYTE> block) {
  size_t delivered = 0;
  zel::NotifyRecordReader reader(block);
  zel::NotifyRecord record;
  while (reader.Next(record)) {
    std::vector<ComPtr<IMAPIAdviseSink>> sinks = logon_->SinksFor(record.client_key);
    if (sinks.empty()) continue;
    zel::MarshalReader r(record.data);
    LPNOTIFICATION notification = nullptr;
    if (codec_.ReadNotification(r, nullptr, &notification) != S_OK || !notification) continue;
    // An entry holds one notification whatever its count field says.
    for (auto& sink : sinks) {
      try {
        sink->OnNotify(1, notification);
        ++delivered;
      } catch (...) {
      }
    }
    MAPIFreeBuffer(notification);
  }
  return delivered;
}

void RegisterStorePoll(const std::shared_ptr<CStorePoll>& poll) {
  MutexLock lock(g_stores_lock);
  Stores().push_back(poll);
  if (!g_timer_started) {
    // A thread timer without a window: the thread's message loop runs it.
    g_timer_started = SetTimer(nullptr, 0, kPollPeriodMs, TimerProc) != 0;
  }
}

void UnregisterStorePoll(const std::shared_ptr<CStorePoll>& poll) {
  MutexLock lock(g_stores_lock);
  auto& stores = Stores();
  stores.erase(std::remove(stores.begin(), stores.end(), poll), stores.end());
}

void PollAllStores() {
  std::vector<std::shared_ptr<CStorePoll>> snapshot;
  {
    MutexLock lock(g_stores_lock);
    snapshot = Stores();
  }
  for (auto& poll : snapshot) {
    try {
      poll->Tick();
    } catch (...) {
    }
  }
}

}  // namespace vantrel::client
