// CClientIEnumSTATSTG: the workstation's IEnumSTATSTG over the elements of a
// server storage; the server keeps the position.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/rpc/Rpc.h"
#include "platform/storage/ObjIdl.h"

namespace vantrel::client {

class CClientIEnumSTATSTG final : public IEnumSTATSTG {
 public:
  // Starts with one reference, the caller's.
  CClientIEnumSTATSTG(std::int32_t handle, RPC_BINDING_HANDLE binding);

  std::int32_t Handle() const { return handle_; }

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IEnumSTATSTG
  HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) override;
  HRESULT Skip(ULONG celt) override;
  HRESULT Reset() override;
  HRESULT Clone(IEnumSTATSTG** ppenum) override;

 private:
  ~CClientIEnumSTATSTG() override;

  std::atomic<LONG> refs_{1};
  std::int32_t handle_;
  RPC_BINDING_HANDLE binding_;
};

}  // namespace vantrel::client
