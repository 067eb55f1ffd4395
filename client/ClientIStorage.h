// CClientIStorage: the workstation's IStorage for a storage object of the
// server. Element names leave as ANSI text; CopyTo walks the elements here
// and copies them through the destination's own methods.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/rpc/Rpc.h"
#include "platform/storage/ObjIdl.h"

namespace vantrel::client {

class CClientIStorage final : public IStorage {
 public:
  // Starts with one reference, the caller's.
  CClientIStorage(std::int32_t handle, RPC_BINDING_HANDLE binding);

  std::int32_t Handle() const { return handle_; }

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IStorage
  HRESULT CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2, IStream** ppstm) override;
  HRESULT OpenStream(LPCOLESTR pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2, IStream** ppstm) override;
  HRESULT CreateStorage(LPCOLESTR pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                        IStorage** ppstg) override;
  HRESULT OpenStorage(LPCOLESTR pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude, DWORD reserved,
                      IStorage** ppstg) override;
  HRESULT CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* pstgDest) override;
  HRESULT MoveElementTo(LPCOLESTR pwcsName, IStorage* pstgDest, LPCOLESTR pwcsNewName, DWORD grfFlags) override;
  HRESULT Commit(DWORD grfCommitFlags) override;
  HRESULT Revert() override;
  HRESULT EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** ppenum) override;
  HRESULT DestroyElement(LPCOLESTR pwcsName) override;
  HRESULT RenameElement(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) override;
  HRESULT SetElementTimes(LPCOLESTR pwcsName, const FILETIME* pctime, const FILETIME* patime,
                          const FILETIME* pmtime) override;
  HRESULT SetClass(REFCLSID clsid) override;
  HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) override;
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;

 private:
  ~CClientIStorage() override;
  HRESULT CopyInto(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* dest, int depth);

  std::int32_t handle_;
  RPC_BINDING_HANDLE binding_;
  std::atomic<LONG> refs_{1};
};

}  // namespace vantrel::client
