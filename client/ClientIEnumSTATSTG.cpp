#include "client/ClientIEnumSTATSTG.h"

#include "client/ClientCall.h"
#include "client/ClientStatStg.h"
#include "protocol/ZelStubs.h"

namespace vantrel::client {

CClientIEnumSTATSTG::CClientIEnumSTATSTG(std::int32_t handle, RPC_BINDING_HANDLE binding)
    : handle_(handle), binding_(binding) {}

CClientIEnumSTATSTG::~CClientIEnumSTATSTG() = default;

HRESULT CClientIEnumSTATSTG::QueryInterface(REFIID riid, void** ppv) {
  return QueryOneInterface(static_cast<IEnumSTATSTG*>(this), riid, IID_IEnumSTATSTG, ppv);
}

ULONG CClientIEnumSTATSTG::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG CClientIEnumSTATSTG::Release() {
  LONG n = --refs_;
  if (n > 0) return static_cast<ULONG>(n);
  FreeServerObject(binding_, handle_);
  delete this;
  return 0;
}

HRESULT CClientIEnumSTATSTG::Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) {
  ObjectTrace(handle_, false, "CClientIEnumSTATSTG::Next");
  if (pceltFetched) *pceltFetched = 0;
  if (!rgelt || (!pceltFetched && celt != 1)) return STG_E_INVALIDPOINTER;
  zel::IEnumSTATSTG_Next::Request in{handle_, static_cast<std::int32_t>(celt)};
  zel::IEnumSTATSTG_Next::Reply out;
  HRESULT hr = CallRemote<zel::IEnumSTATSTG_Next>(binding_, in, out);
  if (FAILED(hr) || (hr != S_OK && hr != S_FALSE)) return hr;
  // The records that came must be the ones announced, and no more than asked.
  const auto& records = out.statstg.items;
  if (records.size() > celt || static_cast<std::uint32_t>(out.celtFetched) != records.size())
    return RPC_X_BAD_STUB_DATA;
  for (size_t i = 0; i < records.size(); ++i) {
    if (HRESULT conv = ConvertStatStg(records[i], STATFLAG_DEFAULT, &rgelt[i]); FAILED(conv)) {
      for (size_t k = 0; k < i; ++k) CoTaskMemFree(rgelt[k].pwcsName);
      return conv;
    }
  }
  if (pceltFetched) *pceltFetched = static_cast<ULONG>(records.size());
  return hr;
}

HRESULT CClientIEnumSTATSTG::Skip(ULONG celt) {
  ObjectTrace(handle_, false, "CClientIEnumSTATSTG::Skip");
  zel::IEnumSTATSTG_Skip::Reply out;
  return CallRemote<zel::IEnumSTATSTG_Skip>(binding_, {handle_, static_cast<std::int32_t>(celt)}, out);
}

HRESULT CClientIEnumSTATSTG::Reset() {
  ObjectTrace(handle_, false, "CClientIEnumSTATSTG::Reset");
  zel::IEnumSTATSTG_Reset::Reply out;
  return CallRemote<zel::IEnumSTATSTG_Reset>(binding_, {handle_}, out);
}

HRESULT CClientIEnumSTATSTG::Clone(IEnumSTATSTG** ppenum) {
  ObjectTrace(handle_, false, "CClientIEnumSTATSTG::Clone");
  if (!ppenum) return STG_E_INVALIDPOINTER;
  *ppenum = nullptr;
  zel::IEnumSTATSTG_Clone::Reply out;
  HRESULT hr = CallRemote<zel::IEnumSTATSTG_Clone>(binding_, {handle_}, out);
  if (SUCCEEDED(hr) && out.hClone > 0) *ppenum = new CClientIEnumSTATSTG(out.hClone, binding_);
  return hr;
}

}  // namespace vantrel::client
