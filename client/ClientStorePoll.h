// The notification poll: every live store proxy of the process has a
// CStorePoll in the store list; a 2-second thread timer, started on the
// thread that made the first store, polls the server's queue of each
// store's logon and hands the notifications to the registered sinks.
#pragma once

#include <atomic>
#include <memory>

#include "client/ClientLogon.h"
#include "protocol/MapiMarshal.h"

namespace vantrel::client {

// Whether a tick polls: always while advise registrations exist; otherwise
// every twelfth tick (24 seconds), counted in `counter`.
bool ShouldPoll(bool has_advises, int& counter);

class CStorePoll {
 public:
  // Holds a reference on `logon` for as long as a tick may use it.
  explicit CStorePoll(CClientLogon* logon);
  ~CStorePoll();
  CStorePoll(const CStorePoll&) = delete;
  CStorePoll& operator=(const CStorePoll&) = delete;

  // One tick for this store. Runs on the timer's thread only.
  void Tick();
  // Decodes a polled block and delivers each notification to the sinks
  // registered under its client key; returns the notifications delivered.
  size_t Dispatch(std::span<const BYTE> block);

 private:
  CClientLogon* logon_;
  zel::CMapiMarshal codec_;
  int counter_ = 0;  // touched by the timer's thread only
};

// The process's store list. Register starts the timer on the calling
// thread the first time.
void RegisterStorePoll(const std::shared_ptr<CStorePoll>& poll);
void UnregisterStorePoll(const std::shared_ptr<CStorePoll>& poll);
// One tick over every registered store.
void PollAllStores();

}  // namespace vantrel::client
