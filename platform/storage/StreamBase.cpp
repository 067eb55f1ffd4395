#include "platform/storage/StreamBase.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace vantrel::storage {
namespace {

// {0c733a30-2a1c-11ce-ade5-00aa0044773d}
constexpr IID kIID_ISequentialStream = {0x0c733a30, 0x2a1c, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};

constexpr ULONG kCopyChunk = 64 * 1024;

bool ValidLockType(DWORD type) {
  return type == LOCK_WRITE || type == LOCK_EXCLUSIVE || type == LOCK_ONLYONCE;
}

bool Overlaps(ULONGLONG a, ULONGLONG acb, ULONGLONG b, ULONGLONG bcb) {
  return a < b + bcb && b < a + acb;
}

}  // namespace

StreamBase::StreamBase(std::shared_ptr<StreamData> data, bool writable, std::u16string name)
    : StreamBase(std::move(data), writable, std::move(name), 0) {}

StreamBase::StreamBase(std::shared_ptr<StreamData> data, bool writable, std::u16string name, ULONGLONG pos)
    : data_(std::move(data)), writable_(writable), name_(std::move(name)), pos_(pos) {}

HRESULT StreamBase::QueryInterface(REFIID riid, void** ppv) {
  if (ppv && riid == kIID_ISequentialStream) {
    *ppv = static_cast<ISequentialStream*>(this);
    AddRef();
    return S_OK;
  }
  return RefCounted::QueryInterface(riid, ppv);
}

HRESULT StreamBase::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (pcbRead) *pcbRead = 0;
  if (!pv && cb) return STG_E_INVALIDPOINTER;
  MutexLock g(data_->mu);
  ULONGLONG size = data_->Size();
  ULONG got = 0;
  HRESULT hr = S_OK;
  if (pos_ < size) {
    ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(cb, size - pos_));
    if (n) hr = data_->ReadAt(pos_, static_cast<BYTE*>(pv), n, &got);
  }
  pos_ += got;
  if (pcbRead) *pcbRead = got;
  return hr;
}

HRESULT StreamBase::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (pcbWritten) *pcbWritten = 0;
  if (!pv && cb) return STG_E_INVALIDPOINTER;
  if (!writable_) return STG_E_ACCESSDENIED;
  if (cb == 0) return S_OK;
  MutexLock g(data_->mu);
  if (pos_ > static_cast<ULONGLONG>(INT64_MAX) - cb) return STG_E_MEDIUMFULL;
  if (HRESULT hr = data_->WriteAt(pos_, static_cast<const BYTE*>(pv), cb); FAILED(hr)) return hr;
  pos_ += cb;
  if (pcbWritten) *pcbWritten = cb;
  return S_OK;
}

HRESULT StreamBase::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_pos) {
  MutexLock g(data_->mu);
  HRESULT hr = SeekPosition(&pos_, data_->Size(), move, origin);
  if (SUCCEEDED(hr) && new_pos) new_pos->QuadPart = pos_;
  return hr;
}

HRESULT StreamBase::SetSize(ULARGE_INTEGER size) {
  if (!writable_) return STG_E_ACCESSDENIED;
  if (size.QuadPart > static_cast<ULONGLONG>(INT64_MAX)) return STG_E_MEDIUMFULL;
  MutexLock g(data_->mu);
  if (size.QuadPart == data_->Size()) return S_OK;
  return data_->Resize(size.QuadPart);
}

// Reads and writes a piece at a time without holding the lock across the
// destination's Write: the destination may be a clone of this stream.
HRESULT StreamBase::CopyTo(IStream* dst, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
  if (pcbRead) pcbRead->QuadPart = 0;
  if (pcbWritten) pcbWritten->QuadPart = 0;
  if (!dst) return STG_E_INVALIDPOINTER;
  std::vector<BYTE> buf;
  try {
    buf.resize(static_cast<size_t>(std::min<ULONGLONG>(cb.QuadPart, kCopyChunk)));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  ULONGLONG left = cb.QuadPart, read = 0, written = 0;
  HRESULT hr = S_OK;
  while (left > 0) {
    ULONG want = static_cast<ULONG>(std::min<ULONGLONG>(left, buf.size())), got = 0, put = 0;
    if (FAILED(hr = Read(buf.data(), want, &got)) || got == 0) break;
    read += got;
    hr = dst->Write(buf.data(), got, &put);
    written += put;
    if (FAILED(hr)) break;
    left -= got;
  }
  if (pcbRead) pcbRead->QuadPart = read;
  if (pcbWritten) pcbWritten->QuadPart = written;
  return hr;
}

HRESULT StreamBase::Commit(DWORD flags) { return data_->Commit(flags); }

HRESULT StreamBase::Revert() { return data_->Revert(); }

HRESULT StreamBase::LockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) {
  if (!ValidLockType(type)) return STG_E_INVALIDFUNCTION;
  MutexLock g(data_->mu);
  for (const auto& l : data_->region_locks)
    if (Overlaps(l.offset, l.cb, off.QuadPart, cb.QuadPart)) return STG_E_LOCKVIOLATION;
  data_->region_locks.push_back({off.QuadPart, cb.QuadPart, type});
  return S_OK;
}

// A region is unlocked with the offset, length and type it was locked with.
HRESULT StreamBase::UnlockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) {
  MutexLock g(data_->mu);
  auto& locks = data_->region_locks;
  for (auto it = locks.begin(); it != locks.end(); ++it) {
    if (it->offset == off.QuadPart && it->cb == cb.QuadPart && it->type == type) {
      locks.erase(it);
      return S_OK;
    }
  }
  return STG_E_LOCKVIOLATION;
}

HRESULT StreamBase::Stat(STATSTG* st, DWORD flag) {
  if (!st) return STG_E_INVALIDPOINTER;
  if (flag != STATFLAG_DEFAULT && flag != STATFLAG_NONAME) return STG_E_INVALIDFLAG;
  std::memset(st, 0, sizeof(*st));
  if (flag == STATFLAG_DEFAULT) {
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((name_.size() + 1) * sizeof(WCHAR)));
    if (!p) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(p, name_.data(), name_.size() * sizeof(WCHAR));
    p[name_.size()] = 0;
    st->pwcsName = p;
  }
  st->type = STGTY_STREAM;
  {
    MutexLock g(data_->mu);
    st->cbSize.QuadPart = data_->Size();
  }
  st->grfMode = writable_ ? STGM_READWRITE : STGM_READ;
  st->grfLocksSupported = LOCK_WRITE | LOCK_EXCLUSIVE | LOCK_ONLYONCE;
  return S_OK;
}

HRESULT StreamBase::Clone(IStream** out) {
  if (!out) return STG_E_INVALIDPOINTER;
  *out = nullptr;
  ULONGLONG pos;
  {
    MutexLock g(data_->mu);
    pos = pos_;
  }
  auto* c = new (std::nothrow) StreamBase(data_, writable_, name_, pos);
  if (!c) return E_OUTOFMEMORY;
  *out = c;
  return S_OK;
}

HRESULT SeekPosition(ULONGLONG* pos, ULONGLONG size, LARGE_INTEGER move, DWORD origin) {
  LONGLONG base;
  switch (origin) {
    case STREAM_SEEK_SET:
      base = 0;
      break;
    case STREAM_SEEK_CUR:
      base = static_cast<LONGLONG>(*pos);
      break;
    case STREAM_SEEK_END:
      base = static_cast<LONGLONG>(size);
      break;
    default:
      return STG_E_INVALIDFUNCTION;
  }
  if ((move.QuadPart < 0 && base + move.QuadPart < 0) || (move.QuadPart > 0 && base > INT64_MAX - move.QuadPart))
    return STG_E_INVALIDFUNCTION;
  *pos = static_cast<ULONGLONG>(base + move.QuadPart);
  return S_OK;
}

}  // namespace vantrel::storage
