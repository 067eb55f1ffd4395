#include "server/objects/ServerIStream.h"

#include <algorithm>
#include <cstring>

#include "server/dispatch/ServerClasses.h"

namespace vantrel::server {
namespace {

constexpr std::size_t kStatNameMax = 61;

ULARGE_INTEGER Unsigned64(std::uint64_t v) {
  ULARGE_INTEGER u;
  u.QuadPart = v;
  return u;
}

}  // namespace

void FillStatRecord(const STATSTG& stat, bool with_name, zel::wire::StatStg& record) {
  record.name.fill(0);
  if (with_name && stat.pwcsName) {
    for (std::size_t i = 0; i < kStatNameMax && stat.pwcsName[i]; ++i)
      record.name[i] = static_cast<char>(static_cast<std::uint8_t>(stat.pwcsName[i] & 0xFF));
  }
  record.type = static_cast<std::int32_t>(stat.type);
  record.size = stat.cbSize.QuadPart;
  record.mtime = FileTimeToQuad(stat.mtime);
  record.ctime = FileTimeToQuad(stat.ctime);
  record.atime = FileTimeToQuad(stat.atime);
  record.mode = static_cast<std::int32_t>(stat.grfMode);
  record.locks_supported = static_cast<std::int32_t>(stat.grfLocksSupported);
  record.clsid = GuidToBytes(stat.clsid);
  record.state_bits = static_cast<std::int32_t>(stat.grfStateBits);
  record.reserved = static_cast<std::int32_t>(stat.reserved);
}

void CServerIStream::SetMapiObject(IUnknown* object) {
  ComPtr<IStream> stream;
  if (object) object->QueryInterface(IID_IStream, stream.OutVoid());
  MutexLock l(lock);
  stream_ = std::move(stream);
}

void CServerIStream::Destroy() {
  ComPtr<IStream> stream;
  {
    MutexLock l(lock);
    stream = std::move(stream_);
  }
}

#define STREAM_OR_FAIL              \
  MutexLock l(lock);          \
  IStream* stream = stream_.get();  \
  if (!stream) return MAPI_E_NO_SUPPORT;

HRESULT CServerIStream::ISTREAM_Read(std::uint8_t* into, std::uint32_t want, std::uint32_t* got) {
  STREAM_OR_FAIL
  ULONG read = 0;
  BYTE none = 0;  // a zero-byte read still passes a buffer
  HRESULT hr = stream->Read(want ? into : &none, want, &read);
  *got = std::min<ULONG>(read, want);
  return hr;
}

HRESULT CServerIStream::ISTREAM_Write(const zel::ISTREAM_Write::Request& in, zel::ISTREAM_Write::Reply& out) {
  STREAM_OR_FAIL
  ULONG written = 0;
  const BYTE none = 0;
  HRESULT hr = stream->Write(in.data.empty() ? &none : in.data.data(), static_cast<ULONG>(in.data.size()), &written);
  out.cbWritten = static_cast<std::int32_t>(written);
  return hr;
}

HRESULT CServerIStream::ISTREAM_Seek(const zel::ISTREAM_Seek::Request& in, zel::ISTREAM_Seek::Reply& out) {
  STREAM_OR_FAIL
  LARGE_INTEGER move;
  move.QuadPart = static_cast<LONGLONG>(in.dlibMove);
  ULARGE_INTEGER position{};
  HRESULT hr = stream->Seek(move, static_cast<DWORD>(in.dwOrigin), &position);
  out.libNewPosition = position.QuadPart;
  return hr;
}

HRESULT CServerIStream::ISTREAM_SetSize(const zel::ISTREAM_SetSize::Request& in, zel::ISTREAM_SetSize::Reply&) {
  STREAM_OR_FAIL
  return stream->SetSize(Unsigned64(in.libNewSize));
}

HRESULT CServerIStream::ISTREAM_Commit(const zel::ISTREAM_Commit::Request& in, zel::ISTREAM_Commit::Reply&) {
  STREAM_OR_FAIL
  return stream->Commit(static_cast<DWORD>(in.grfCommitFlags));
}

HRESULT CServerIStream::ISTREAM_Revert(const zel::ISTREAM_Revert::Request&, zel::ISTREAM_Revert::Reply&) {
  STREAM_OR_FAIL
  return stream->Revert();
}

HRESULT CServerIStream::ISTREAM_LockRegion(const zel::ISTREAM_LockRegion::Request& in,
                                           zel::ISTREAM_LockRegion::Reply&) {
  STREAM_OR_FAIL
  return stream->LockRegion(Unsigned64(in.libOffset), Unsigned64(in.cb), static_cast<DWORD>(in.dwLockType));
}

HRESULT CServerIStream::ISTREAM_UnlockRegion(const zel::ISTREAM_UnlockRegion::Request& in,
                                             zel::ISTREAM_UnlockRegion::Reply&) {
  STREAM_OR_FAIL
  return stream->UnlockRegion(Unsigned64(in.libOffset), Unsigned64(in.cb), static_cast<DWORD>(in.dwLockType));
}

HRESULT CServerIStream::ISTREAM_Stat(const zel::ISTREAM_Stat::Request& in, zel::ISTREAM_Stat::Reply& out) {
  STREAM_OR_FAIL
  STATSTG stat{};
  const DWORD flags = static_cast<DWORD>(in.grfStatFlag);
  HRESULT hr = stream->Stat(&stat, flags);
  FillStatRecord(stat, flags != STATFLAG_NONAME, out.statstg);
  if (stat.pwcsName) CoTaskMemFree(stat.pwcsName);
  return hr;
}

HRESULT CServerIStream::ISTREAM_Clone(const zel::ISTREAM_Clone::Request&, zel::ISTREAM_Clone::Reply& out) {
  STREAM_OR_FAIL
  ComPtr<IStream> clone;
  HRESULT hr = stream->Clone(clone.Out());
  if (clone) {
    // The registry lock is taken inside this object's lock, as the lock
    // order wants.
    out.hClone = registry->CreateObject(kMapiStream, store.lock(), parent.lock(), clone.get(), owner.load(),
                                        description.c_str());
  }
  return hr;
}

#undef STREAM_OR_FAIL

}  // namespace vantrel::server
