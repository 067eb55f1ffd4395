// The one IStream of the platform. Where a stream's bytes live (a vector in
// memory, chunks in a store's file) is a StreamData; StreamBase adds what
// every stream does the same way on top: the seek pointer, access checks,
// Seek arithmetic, CopyTo, region locks, Stat and Clone.
//
// A stream and its clones share one StreamData and keep their own seek
// pointers. Every call takes the data's mutex, so clones may be used from
// several threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/base/ThreadAnnotations.h"
#include "platform/storage/ObjIdl.h"

namespace vantrel::storage {

// IStream::Seek's arithmetic for every stream: the new position from the
// current one, the stream's size, the move and the origin into `*pos`. A
// position before the start, past 2^63 or an unknown origin answers
// STG_E_INVALIDFUNCTION and leaves `*pos` alone.
HRESULT SeekPosition(ULONGLONG* pos, ULONGLONG size, LARGE_INTEGER move, DWORD origin);

// The bytes behind a stream and its clones.
class StreamData {
 public:
  StreamData() = default;
  StreamData(const StreamData&) = delete;
  StreamData& operator=(const StreamData&) = delete;
  virtual ~StreamData() = default;

  vantrel::Mutex mu;

  // `cb` bytes at `pos` into `out`; the stream asks only for bytes below
  // Size(). `*got` is what was read, also on failure.
  virtual HRESULT ReadAt(ULONGLONG pos, BYTE* out, ULONG cb, ULONG* got) REQUIRES(mu) = 0;
  // `cb` (> 0) bytes at `pos`; a gap between the old end and `pos` reads
  // as zeros afterwards. On failure the stream's pointer stays where it was.
  virtual HRESULT WriteAt(ULONGLONG pos, const BYTE* in, ULONG cb) REQUIRES(mu) = 0;
  virtual ULONGLONG Size() REQUIRES(mu) = 0;
  // Cuts the data or extends it with zeros.
  virtual HRESULT Resize(ULONGLONG size) REQUIRES(mu) = 0;

  // Transacted data keeps the last committed bytes and goes back to them
  // on Revert; direct data (the default) has nothing to commit or revert.
  // Called without the mutex: a commit hands the bytes to an owner that
  // takes its own locks, so the data decides what runs under `mu`.
  virtual HRESULT Commit(DWORD /*flags*/) EXCLUDES(mu) { return S_OK; }
  virtual HRESULT Revert() EXCLUDES(mu) { return S_OK; }

  // Regions locked through any stream of this data.
  struct RegionLock {
    ULONGLONG offset, cb;
    DWORD type;
  };
  std::vector<RegionLock> region_locks GUARDED_BY(mu);
};

class StreamBase : public vantrel::RefCounted<IStream> {
 public:
  // `writable` false makes Write and SetSize answer STG_E_ACCESSDENIED;
  // `name` is what Stat reports.
  StreamBase(std::shared_ptr<StreamData> data, bool writable, std::u16string name);

  HRESULT QueryInterface(REFIID riid, void** ppv) override;

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_pos) override;
  HRESULT SetSize(ULARGE_INTEGER size) override;
  HRESULT CopyTo(IStream* dst, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override;
  HRESULT Commit(DWORD flags) override;
  HRESULT Revert() override;
  HRESULT LockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) override;
  HRESULT UnlockRegion(ULARGE_INTEGER off, ULARGE_INTEGER cb, DWORD type) override;
  HRESULT Stat(STATSTG* st, DWORD flag) override;
  HRESULT Clone(IStream** out) override;

  const std::shared_ptr<StreamData>& data() const { return data_; }

 private:
  StreamBase(std::shared_ptr<StreamData> data, bool writable, std::u16string name, ULONGLONG pos);

  const std::shared_ptr<StreamData> data_;
  const bool writable_;
  const std::u16string name_;
  ULONGLONG pos_ GUARDED_BY(data_->mu);
};

}  // namespace vantrel::storage
