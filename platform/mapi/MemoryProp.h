// Simple property objects. MapiPropBase answers every IMAPIProp method with
// MAPI_E_NO_SUPPORT (SaveChanges with S_OK; a derived class may choose
// another answer) until a derived class overrides it, and answers
// IID_IMAPIProp for interfaces derived from IMAPIProp.
// MemoryProp keeps its properties in memory, as profile-section values.
#pragma once

#include <map>
#include <type_traits>

#include "platform/base/Unknown.h"
#include "platform/mapi/MapiMemory.h"
#include "platform/mapi/ProfSect.h"
#include "platform/mapi/ProfileStore.h"

namespace vantrel::mapi {

template <class I>
class MapiPropBase : public RefCounted<I> {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if constexpr (!std::is_same_v<I, IMAPIProp>) {
      if (ppv && riid == IID_IMAPIProp) {
        *ppv = static_cast<IMAPIProp*>(static_cast<I*>(this));
        this->AddRef();
        return S_OK;
      }
    }
    return RefCounted<I>::QueryInterface(riid, ppv);
  }
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return Unsupported(); }
  HRESULT SaveChanges(ULONG) override { return S_OK; }
  HRESULT GetProps(LPSPropTagArray, ULONG, ULONG*, LPSPropValue*) override { return Unsupported(); }
  HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return Unsupported(); }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* unk) override {
    if (unk) *unk = nullptr;
    return Unsupported();
  }
  HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override { return Unsupported(); }
  HRESULT DeleteProps(LPSPropTagArray, LPSPropProblemArray*) override { return Unsupported(); }
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) override {
    return Unsupported();
  }
  HRESULT CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG, LPSPropProblemArray*) override {
    return Unsupported();
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return Unsupported();
  }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override { return Unsupported(); }

 protected:
  // What the methods a derived class leaves alone answer.
  virtual HRESULT Unsupported() { return MAPI_E_NO_SUPPORT; }
};

// Not thread-safe: for objects one thread uses at a time.
template <class I>
class MemoryProp : public MapiPropBase<I> {
 public:
  HRESULT GetProps(LPSPropTagArray tags, ULONG, ULONG* count, LPSPropValue* values) override {
    ProfProps all;
    for (auto& [tag, p] : props) all.push_back(p);
    return SectionGetProps(all, tags, count, values);
  }
  HRESULT GetPropList(ULONG, LPSPropTagArray* out) override {
    if (!out) return MAPI_E_INVALID_PARAMETER;
    if (HRESULT hr =
            MAPIAllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(props.size() + 1)), reinterpret_cast<void**>(out));
        FAILED(hr))
      return hr;
    (*out)->cValues = 0;
    for (auto& [tag, p] : props) (*out)->aulPropTag[(*out)->cValues++] = tag;
    return S_OK;
  }
  HRESULT SetProps(ULONG c, LPSPropValue v, LPSPropProblemArray* problems) override {
    if (problems) *problems = nullptr;
    for (ULONG i = 0; i < c; ++i) {
      ProfProp p;
      if (FAILED(PropFromValue(v[i], &p))) return MAPI_E_BAD_VALUE;
      props[p.tag] = p;
    }
    return S_OK;
  }
  HRESULT DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override {
    if (problems) *problems = nullptr;
    if (!tags) return MAPI_E_INVALID_PARAMETER;
    for (ULONG i = 0; i < tags->cValues; ++i) props.erase(tags->aulPropTag[i]);
    return S_OK;
  }

  void Put(const ProfProp& p) { props[p.tag] = p; }
  std::map<ULONG, ProfProp> props;
};

}  // namespace vantrel::mapi
