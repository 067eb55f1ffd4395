// Test helper: a message store that keeps its properties in memory and
// answers the rest with MAPI_E_NO_SUPPORT.
#pragma once

#include <map>

#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/ProfSect.h"
#include "platform/mapi/ProfileStore.h"

namespace vantrel::mapi::testing {

// A store (or any property object) that keeps its properties in memory.
class FakeStore final : public vantrel::RefCounted<IMsgStore> {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv && riid == IID_IMAPIProp) {
      *ppv = static_cast<IMAPIProp*>(this);
      AddRef();
      return S_OK;
    }
    return RefCounted::QueryInterface(riid, ppv);
  }
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SaveChanges(ULONG) override { return S_OK; }
  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* n, LPSPropValue* out) override {
    ProfProps all;
    for (auto& [t, p] : props) all.push_back(p);
    HRESULT hr = SectionGetProps(all, tags, n, out);
    return hr;
  }
  HRESULT GetPropList(ULONG, LPSPropTagArray* out) override {
    MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(props.size() + 1)), reinterpret_cast<void**>(out));
    (*out)->cValues = 0;
    for (auto& [t, p] : props) (*out)->aulPropTag[(*out)->cValues++] = t;
    return S_OK;
  }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override { return MAPI_E_NO_SUPPORT; }
  HRESULT SetProps(ULONG c, LPSPropValue v, LPSPropProblemArray* problems) override {
    if (problems) *problems = nullptr;
    for (ULONG i = 0; i < c; ++i) {
      ProfProp p;
      if (FAILED(PropFromValue(v[i], &p))) return MAPI_E_BAD_VALUE;
      props[p.tag] = p;
    }
    return S_OK;
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray*) override {
    for (ULONG i = 0; i < tags->cValues; ++i) props.erase(tags->aulPropTag[i]);
    return S_OK;
  }
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG, LPSPropProblemArray*) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return MAPI_E_NO_SUPPORT;
  }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
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

  void Put(const ProfProp& p) { props[p.tag] = p; }
  std::map<ULONG, ProfProp> props;
  int advises = 0;
};

}  // namespace vantrel::mapi::testing
