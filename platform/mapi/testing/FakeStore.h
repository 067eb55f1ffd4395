// Test helper: a message store that keeps its properties in memory and
// answers the rest with MAPI_E_NO_SUPPORT.
#pragma once

#include "platform/mapi/MemoryProp.h"

namespace vantrel::mapi::testing {

// A store (or any property object) that keeps its properties in memory.
class FakeStore final : public MemoryProp<IMsgStore> {
 public:
  HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG* c) override {
    *c = 7;
    ++advises;
    return S_OK;
  }
  HRESULT Unadvise(ULONG) override {
    --advises;
    return S_OK;
  }
  HRESULT CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override { return MAPI_E_NOT_FOUND; }
  HRESULT SetReceiveFolder(LPSTR, ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetReceiveFolder(LPSTR, ULONG, ULONG*, LPENTRYID*, LPSTR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetReceiveFolderTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT StoreLogoff(ULONG*) override { return S_OK; }
  HRESULT AbortSubmit(ULONG, LPENTRYID, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetLockState(LPMESSAGE, ULONG) override { return MAPI_E_NO_SUPPORT; }
  HRESULT FinishedMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
  HRESULT NotifyNewMail(LPNOTIFICATION) override { return MAPI_E_NO_SUPPORT; }

  int advises = 0;
};

}  // namespace vantrel::mapi::testing
