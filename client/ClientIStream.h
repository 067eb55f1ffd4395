// CClientIStream: the workstation's IStream for a stream object of the
// server. Read lands in the caller's buffer; CopyTo is a local loop of reads
// and the destination's own writes, all under the call lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/rpc/Rpc.h"
#include "platform/storage/ObjIdl.h"

namespace vantrel::client {

class CClientIStream final : public IStream {
 public:
  // `label` names the stream in the release and close traces ("OpenStream
  // NAME from IStorage N" for a storage's streams). Starts with one
  // reference, the caller's.
  CClientIStream(std::int32_t handle, RPC_BINDING_HANDLE binding, std::string label = "");

  std::int32_t Handle() const { return handle_; }

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // ISequentialStream
  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;

  // IStream
  HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override;
  HRESULT SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
  HRESULT Commit(DWORD grfCommitFlags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  HRESULT UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) override;
  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT Clone(IStream** ppstm) override;

 private:
  ~CClientIStream() override;

  std::int32_t handle_;
  std::atomic<LONG> refs_{1};
  std::string label_;
  RPC_BINDING_HANDLE binding_;
};

}  // namespace vantrel::client
