// CClientMsgStore: the proxy of a logon's message store. Besides the
// property methods it keeps the advise registrations, polls the server's
// notification queue on a 2-second thread timer and hands what it finds to
// the registered sinks.
#pragma once

#include <atomic>
#include <memory>

#include "client/ClientProxy.h"
#include "client/ZelStoreContext.h"

namespace vantrel::client {

class CStorePoll;

class CClientMsgStore final : public TClientProp<IMsgStore> {
 public:
  // Count 1; enters the store in the process's store list (the first store
  // starts the notification timer on this thread).
  CClientMsgStore(std::int32_t handle, CClientLogon* logon, RPC_BINDING_HANDLE binding);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  // Deletes the store when the count falls to 1: the creation reference
  // is never released on its own.
  ULONG Release() override;

  HRESULT Advise(ULONG cb, LPENTRYID id, ULONG event_mask, LPMAPIADVISESINK sink, ULONG* connection) override;
  HRESULT Unadvise(ULONG connection) override;
  HRESULT CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG flags,
                          ULONG* result) override;
  HRESULT OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* object_type, LPUNKNOWN* out) override;
  HRESULT SetReceiveFolder(LPSTR message_class, ULONG flags, ULONG cb, LPENTRYID id) override;
  HRESULT GetReceiveFolder(LPSTR message_class, ULONG flags, ULONG* cb, LPENTRYID* id,
                           LPSTR* explicit_class) override;
  HRESULT GetReceiveFolderTable(ULONG flags, LPMAPITABLE* table) override;
  HRESULT StoreLogoff(ULONG* flags) override;
  HRESULT AbortSubmit(ULONG cb, LPENTRYID id, ULONG flags) override;
  HRESULT GetOutgoingQueue(ULONG flags, LPMAPITABLE* table) override;
  HRESULT SetLockState(LPMESSAGE message, ULONG lock_state) override;
  HRESULT FinishedMsg(ULONG flags, ULONG cb, LPENTRYID id) override;
  HRESULT NotifyNewMail(LPNOTIFICATION notification) override;

  ULONG SpoolerMode() const { return spooler_mode_.load(); }

  // One tick of the notification timer over every store of the process.
  static void PollAll();

 private:
  ~CClientMsgStore() override;

  class Context final : public IZelStoreContext {
   public:
    explicit Context(CClientMsgStore* store) : store_(store) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT SetSpoolerMode(ULONG mode) override;
    HRESULT GetSpoolerMode(ULONG* mode) override;

   private:
    CClientMsgStore* store_;
  };

  void SetSpoolerMode(ULONG mode);
  static LONG ContextNotify(void* context, ULONG count, LPNOTIFICATION notifications);
  ComPtr<IMAPIAdviseSink> context_sink_;

  Context context_{this};
  std::atomic<ULONG> subscription_{0};
  std::atomic<ULONG> spooler_mode_{0};
  std::shared_ptr<CStorePoll> poll_;
};

}  // namespace vantrel::client
