#include "client/ClientIStream.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "client/ClientCall.h"
#include "client/ClientStatStg.h"
#include "protocol/ZelStubs.h"

namespace vantrel::client {

namespace {

// CopyTo's reads; the server answers each with at most its read area.
constexpr ULONG kCopyChunk = 65535;

// One ISTREAM_Read whose bytes land in `buffer` (room for `cb`), without a
// copy in between. `*got` is what arrived.
// Callable with the call lock held (CopyTo) or not: the lock is recursive.
HRESULT ReadOnce(RPC_BINDING_HANDLE binding, std::int32_t handle, void* buffer, ULONG cb, ULONG* got) {
  *got = 0;
  RecursiveMutexLock lock(CallLock());
  const zel::Transport& transport = detail::EnterCall(binding);
  rpc::NdrWriter w;
  zel::op::Encode(w, zel::ISTREAM_Read::Request{handle, static_cast<std::int32_t>(cb)});
  std::vector<std::uint8_t> reply;
  bool big = false;
  RPC_STATUS status = transport(zel::ISTREAM_Read::kOpnum, w.data(), reply, big);
  if (status == RPC_S_OK) {
    try {
      rpc::NdrReader r(reply, big);
      // [size_is(cb), length_is(*cbRead)]: bound, offset, length, bytes.
      std::uint32_t max = r.U32(), offset = r.U32(), actual = r.U32();
      if (offset != 0 || actual > max || actual > cb) throw rpc::NdrError("read beyond the caller's buffer");
      auto bytes = r.Bytes(actual);
      std::int32_t cb_read = r.I32();
      HRESULT result = r.I32();
      if (static_cast<std::uint32_t>(cb_read) != actual) throw rpc::NdrError("read count and bytes differ");
      if (actual) std::memcpy(buffer, bytes.data(), actual);
      *got = actual;
      return result;
    } catch (const rpc::NdrError&) {
      status = RPC_X_BAD_STUB_DATA;
    }
  }
  detail::TraceRpcError(status);
  return status;
}

}  // namespace

CClientIStream::CClientIStream(std::int32_t handle, RPC_BINDING_HANDLE binding, std::string label)
    : handle_(handle), label_(std::move(label)), binding_(binding) {}

CClientIStream::~CClientIStream() { ClientTrace(Format("Closing IStream %s", label_.c_str())); }

HRESULT CClientIStream::QueryInterface(REFIID riid, void** ppv) {
  return QueryOneInterface(static_cast<IStream*>(this), riid, IID_IStream, ppv);
}

ULONG CClientIStream::AddRef() { return static_cast<ULONG>(++refs_); }

ULONG CClientIStream::Release() {
  ClientTrace(Format("Releasing IStream %s", label_.c_str()));
  LONG n = --refs_;
  if (n > 0) return static_cast<ULONG>(n);
  FreeServerObject(binding_, handle_);
  delete this;
  return 0;
}

HRESULT CClientIStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  ObjectTrace(handle_, false, "CClientIStream::Read");
  if (pcbRead) *pcbRead = 0;
  if (!pv && cb) return STG_E_INVALIDPOINTER;
  // The server hands out at most its read area per call; a caller that asks
  // for more gets it in several calls, so a short read means the end.
  auto* p = static_cast<BYTE*>(pv);
  ULONG total = 0;
  HRESULT hr = S_OK;
  do {
    ULONG ask = std::min<ULONG>(cb - total, zel::wire::kReadAreaSize);
    ULONG got = 0;
    hr = ReadOnce(binding_, handle_, p + total, ask, &got);
    total += got;
    if (hr != S_OK || got < ask) break;
  } while (total < cb);
  if (pcbRead) *pcbRead = total;
  return hr;
}

HRESULT CClientIStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  ObjectTrace(handle_, false, "CClientIStream::Write");
  if (pcbWritten) *pcbWritten = 0;
  if (!pv && cb) return STG_E_INVALIDPOINTER;
  zel::ISTREAM_Write::Request in;
  in.hStream = handle_;
  if (cb) in.data.assign(static_cast<const BYTE*>(pv), static_cast<const BYTE*>(pv) + cb);
  zel::ISTREAM_Write::Reply out;
  HRESULT hr = CallRemote<zel::ISTREAM_Write>(binding_, in, out);
  if (pcbWritten) *pcbWritten = static_cast<ULONG>(out.cbWritten);
  return hr;
}

HRESULT CClientIStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) {
  ObjectTrace(handle_, false, "CClientIStream::Seek");
  zel::ISTREAM_Seek::Request in{handle_, static_cast<std::uint64_t>(dlibMove.QuadPart),
                                static_cast<std::int32_t>(dwOrigin)};
  zel::ISTREAM_Seek::Reply out;
  HRESULT hr = CallRemote<zel::ISTREAM_Seek>(binding_, in, out);
  if (plibNewPosition) plibNewPosition->QuadPart = out.libNewPosition;
  return hr;
}

HRESULT CClientIStream::SetSize(ULARGE_INTEGER libNewSize) {
  ObjectTrace(handle_, false, "CClientIStream::SetSize");
  zel::ISTREAM_SetSize::Reply out;
  return CallRemote<zel::ISTREAM_SetSize>(binding_, {handle_, libNewSize.QuadPart}, out);
}

HRESULT CClientIStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                               ULARGE_INTEGER* pcbWritten) {
  ObjectTrace(handle_, false, "CClientIStream::CopyTo");
  if (!pstm) return STG_E_INVALIDPOINTER;
  // The whole copy is one call of the process: the destination's Write runs
  // inside it (and takes the lock again when it is one of ours).
  RecursiveMutexLock lock(CallLock());
  std::vector<BYTE> buffer(64 * 1024);
  std::uint64_t read_total = 0, written_total = 0;
  if (pcbRead) pcbRead->QuadPart = 0;
  if (pcbWritten) pcbWritten->QuadPart = 0;
  HRESULT hr = S_OK;
  while (read_total < cb.QuadPart) {
    ULONG ask = static_cast<ULONG>(std::min<std::uint64_t>(kCopyChunk, cb.QuadPart - read_total));
    ULONG got = 0;
    hr = ReadOnce(binding_, handle_, buffer.data(), ask, &got);
    if (got == 0) break;
    read_total += got;
    ULONG written = 0;
    HRESULT write = pstm->Write(buffer.data(), got, &written);
    written_total += written;
    // A destination that refused bytes ends the copy with its error.
    if (FAILED(write)) {
      hr = write;
      break;
    }
  }
  if (pcbRead) pcbRead->QuadPart = read_total;
  if (pcbWritten) pcbWritten->QuadPart = written_total;
  return hr;
}

HRESULT CClientIStream::Commit(DWORD grfCommitFlags) {
  ObjectTrace(handle_, false, "CClientIStream::Commit");
  zel::ISTREAM_Commit::Reply out;
  return CallRemote<zel::ISTREAM_Commit>(binding_, {handle_, static_cast<std::int32_t>(grfCommitFlags)}, out);
}

HRESULT CClientIStream::Revert() {
  ObjectTrace(handle_, false, "CClientIStream::Revert");
  zel::ISTREAM_Revert::Reply out;
  return CallRemote<zel::ISTREAM_Revert>(binding_, {handle_}, out);
}

HRESULT CClientIStream::LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) {
  ObjectTrace(handle_, false, "CClientIStream::LockRegion");
  zel::ISTREAM_LockRegion::Reply out;
  return CallRemote<zel::ISTREAM_LockRegion>(
      binding_, {handle_, libOffset.QuadPart, cb.QuadPart, static_cast<std::int32_t>(dwLockType)}, out);
}

HRESULT CClientIStream::UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb, DWORD dwLockType) {
  ObjectTrace(handle_, false, "CClientIStream::UnlockRegion");
  zel::ISTREAM_UnlockRegion::Reply out;
  return CallRemote<zel::ISTREAM_UnlockRegion>(
      binding_, {handle_, libOffset.QuadPart, cb.QuadPart, static_cast<std::int32_t>(dwLockType)}, out);
}

HRESULT CClientIStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  ObjectTrace(handle_, false, "CClientIStream::Stat");
  if (!pstatstg) return STG_E_INVALIDPOINTER;
  zel::ISTREAM_Stat::Request in{handle_, static_cast<std::int32_t>(grfStatFlag)};
  zel::ISTREAM_Stat::Reply out;
  HRESULT hr = CallRemote<zel::ISTREAM_Stat>(binding_, in, out);
  // A stream's status never carries its name.
  ConvertStatStg(out.statstg, STATFLAG_NONAME, pstatstg);
  return hr;
}

HRESULT CClientIStream::Clone(IStream** ppstm) {
  ObjectTrace(handle_, false, "CClientIStream::Clone");
  if (!ppstm) return STG_E_INVALIDPOINTER;
  *ppstm = nullptr;
  zel::ISTREAM_Clone::Reply out;
  HRESULT hr = CallRemote<zel::ISTREAM_Clone>(binding_, {handle_}, out);
  if (SUCCEEDED(hr) && out.hClone > 0) *ppstm = new CClientIStream(out.hClone, binding_);
  return hr;
}

}  // namespace vantrel::client
