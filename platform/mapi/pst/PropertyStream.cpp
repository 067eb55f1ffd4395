#include "platform/mapi/pst/PropertyStream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/base/CodePage.h"
#include "platform/mapi/MapiUtil.h"
#include "platform/mapi/pst/Repository.h"
#include "platform/storage/StreamBase.h"

namespace vantrel::mapi::pst {
namespace {

// The value behind a property stream and its clones. The committed value
// is `base_mem` or the blob `base_blob`; changes go to `mem` while the value
// fits one chunk, then to the staging blob `work` one chunk at a time, so
// neither side of a large value is ever whole in memory.
class StreamState final : public storage::StreamData {
 public:
  StreamState(std::shared_ptr<Db> db, bool writable, uint32_t enc, size_t unit, StreamHook hook, StreamStart start)
      : db_(std::move(db)), writable_(writable), enc_(enc), unit_(unit), hook_(std::move(hook)) {
    if (start.blob) {
      base_blob_ = start.blob;
      base_size_ = size_ = start.size;
      base_owned_ = start.owned;
      in_mem_ = false;
    } else {
      base_mem_ = std::move(start.bytes);
      mem_ = base_mem_;
      size_ = mem_.size();
    }
  }
  ~StreamState() {
    if (!work_ && !base_owned_) return;
    MutexLock dg(db_->mu);
    if (work_) DropStaged(*db_, work_);
    if (base_owned_) DropStaged(*db_, base_blob_);
  }

  // `mu` (StreamData's) is held by every call on the stream or a clone;
  // it is taken before the object's lock (a commit hands the value over)
  // and the file's.
  ULONGLONG Size() override REQUIRES(mu) { return size_; }

  HRESULT ReadAt(ULONGLONG pos, BYTE* out, ULONG cb, ULONG* got) override REQUIRES(mu) {
    *got = 0;
    if (pos >= size_) return S_OK;
    ULONG n = static_cast<ULONG>(std::min<uint64_t>(cb, size_ - pos));
    if (in_mem_) {
      std::memcpy(out, mem_.data() + pos, n);
      *got = n;
      return S_OK;
    }
    while (*got < n) {
      uint64_t p = pos + *got;
      if (!Load(static_cast<int64_t>(p / kChunk))) return STG_E_READFAULT;
      size_t off = static_cast<size_t>(p % kChunk);
      size_t take = std::min<size_t>(n - *got, kChunk - off);
      // A chunk short of its length (never written) reads as zeros.
      size_t have = cache_.size() > off ? std::min(take, cache_.size() - off) : 0;
      std::memcpy(out + *got, cache_.data() + off, have);
      std::memset(out + *got + have, 0, take - have);
      *got += static_cast<ULONG>(take);
    }
    return S_OK;
  }

  HRESULT WriteAt(ULONGLONG pos, const BYTE* p, ULONG cb) override REQUIRES(mu) {
    if (cb == 0) return S_OK;
    if (pos + cb < pos) return STG_E_MEDIUMFULL;
    if (in_mem_ && pos + cb <= kChunk) {
      if (mem_.size() < pos + cb) mem_.resize(static_cast<size_t>(pos + cb));
      std::memcpy(mem_.data() + pos, p, cb);
      size_ = mem_.size();
      dirty_ = true;
      return S_OK;
    }
    if (HRESULT hr = MakeWork(); FAILED(hr)) return hr;
    if (pos > size_) {
      static const BYTE zeros[kChunk] = {};
      while (size_ < pos)
        if (HRESULT hr = Put(size_, zeros, static_cast<ULONG>(std::min<uint64_t>(kChunk, pos - size_))); FAILED(hr))
          return hr;
    }
    return Put(pos, p, cb);
  }

  HRESULT Resize(ULONGLONG n) override REQUIRES(mu) {
    if (n == size_) return S_OK;
    if (in_mem_ && n <= kChunk) {
      mem_.resize(static_cast<size_t>(n));
      size_ = n;
      dirty_ = true;
      return S_OK;
    }
    if (HRESULT hr = MakeWork(); FAILED(hr)) return hr;
    if (n > size_) {
      BYTE zero = 0;
      return WriteAt(n - 1, &zero, 1);
    }
    if (!FlushCache()) return STG_E_WRITEFAULT;
    cache_seq_ = -1;
    int64_t keep = n ? static_cast<int64_t>((n - 1) / kChunk) : -1;
    {
      MutexLock dg(db_->mu);
      if (!TruncateChunks(*db_, work_, keep)) return STG_E_WRITEFAULT;
    }
    size_ = n;
    if (keep >= 0) {
      if (!Load(keep)) return STG_E_READFAULT;
      cache_.resize(static_cast<size_t>(n - static_cast<uint64_t>(keep) * kChunk));
      cache_dirty_ = true;
    }
    return S_OK;
  }

  // The hook runs under `mu`: clones see the value change at once.
  HRESULT Commit(DWORD) override EXCLUDES(mu) {
    MutexLock g(mu);
    return CommitLocked();
  }
  HRESULT Revert() override EXCLUDES(mu) {
    MutexLock g(mu);
    RevertLocked();
    return S_OK;
  }

 private:
  HRESULT CommitLocked() REQUIRES(mu) {
    if (!hook_) return S_OK;
    if (!in_mem_ && !work_) return S_OK;  // the committed blob is unchanged
    // A string stream may carry its terminator; the value does not.
    while (unit_ > 1 && size_ >= unit_) {
      BYTE last[2] = {1, 1};
      ULONG got = 0;
      if (FAILED(ReadAt(size_ - unit_, last, static_cast<ULONG>(unit_), &got)) || got != unit_) break;
      if (last[0] || (unit_ == 2 && last[1])) break;
      if (HRESULT hr = Resize(size_ - unit_); FAILED(hr)) return hr;
    }
    if (!in_mem_ && size_ <= kChunk) {
      // Small again: back to memory, so the value is kept inline.
      Bytes all(static_cast<size_t>(size_));
      ULONG got = 0;
      if (FAILED(ReadAt(0, all.data(), static_cast<ULONG>(all.size()), &got))) return STG_E_READFAULT;
      DropWork();
      mem_ = std::move(all);
      in_mem_ = true;
    }
    StreamValue v;
    if (in_mem_) {
      v.bytes = mem_;
      if (HRESULT hr = hook_(v); FAILED(hr)) return hr;
      base_mem_ = mem_;
      if (base_owned_) DropBase();
      base_blob_ = 0;
      dirty_ = false;
      return S_OK;
    }
    if (!FlushCache()) return STG_E_WRITEFAULT;
    v.chunked = true;
    v.ref = {work_, size_, enc_};
    if (HRESULT hr = hook_(v); FAILED(hr)) return hr;
    // The blob is the object's now; this stream reads it until it writes again.
    if (base_owned_) DropBase();
    base_blob_ = work_;
    base_size_ = size_;
    base_owned_ = false;
    work_ = 0;
    dirty_ = false;
    return S_OK;
  }

  void RevertLocked() REQUIRES(mu) {
    if (work_) DropWork();
    cache_seq_ = -1;
    cache_dirty_ = false;
    if (base_blob_) {
      in_mem_ = false;
      size_ = base_size_;
    } else {
      mem_ = base_mem_;
      in_mem_ = true;
      size_ = mem_.size();
    }
    dirty_ = false;
  }

  // The blob reads come from: the working copy once there is one.
  int64_t Source() const REQUIRES(mu) { return work_ ? work_ : base_blob_; }

  bool Load(int64_t seq) REQUIRES(mu) {
    if (cache_seq_ == seq && cache_blob_ == Source()) return true;
    if (!FlushCache()) return false;
    cache_.clear();
    cache_blob_ = Source();
    cache_seq_ = seq;
    Reader rd(*db_);
    GetChunk(rd.c(), cache_blob_, seq, cache_);  // missing: a new chunk at the end
    return true;
  }

  bool FlushCache() REQUIRES(mu) {
    if (!cache_dirty_) return true;
    MutexLock dg(db_->mu);
    Relaxed relaxed(*db_);
    if (!PutChunk(db_->W(), cache_blob_, cache_seq_, cache_.data(), cache_.size())) return false;
    cache_dirty_ = false;
    return true;
  }

  // Gives the stream a staging blob of its own holding the current value.
  HRESULT MakeWork() REQUIRES(mu) {
    if (work_) return S_OK;
    if (!writable_) return STG_E_ACCESSDENIED;
    if (!FlushCache()) return STG_E_WRITEFAULT;
    MutexLock dg(db_->mu);
    Relaxed relaxed(*db_);
    int64_t w = NewBlob(*db_, kStaging);
    if (!w) return STG_E_MEDIUMFULL;
    bool ok = true;
    if (in_mem_) {
      for (size_t off = 0; ok && off < mem_.size(); off += kChunk)
        ok = PutChunk(db_->W(), w, static_cast<int64_t>(off / kChunk), mem_.data() + off,
                      std::min(kChunk, mem_.size() - off));
    } else if (base_blob_) {
      ok = CopyChunks(*db_, base_blob_, w);
    }
    if (!ok) {
      DropStaged(*db_, w);
      return STG_E_MEDIUMFULL;
    }
    work_ = w;
    in_mem_ = false;
    mem_.clear();
    cache_seq_ = -1;
    dirty_ = true;
    return S_OK;
  }

  // Writes into the working blob, within or at the end of the value.
  HRESULT Put(uint64_t pos, const BYTE* p, ULONG cb) REQUIRES(mu) {
    ULONG done = 0;
    while (done < cb) {
      uint64_t at = pos + done;
      int64_t seq = static_cast<int64_t>(at / kChunk);
      if (!Load(seq)) return STG_E_READFAULT;
      size_t off = static_cast<size_t>(at % kChunk);
      size_t take = std::min<size_t>(cb - done, kChunk - off);
      if (cache_.size() < off + take) cache_.resize(off + take);
      std::memcpy(cache_.data() + off, p + done, take);
      cache_dirty_ = true;
      done += static_cast<ULONG>(take);
      size_ = std::max<uint64_t>(size_, at + take);
    }
    return S_OK;
  }

  void DropWork() REQUIRES(mu) {
    MutexLock dg(db_->mu);
    DropStaged(*db_, work_);
    work_ = 0;
    cache_seq_ = -1;
    cache_dirty_ = false;
  }
  void DropBase() REQUIRES(mu) {
    MutexLock dg(db_->mu);
    DropStaged(*db_, base_blob_);
    base_owned_ = false;
  }

  const std::shared_ptr<Db> db_;
  const bool writable_;
  const uint32_t enc_;  // how a chunked value of this stream is kept
  const size_t unit_;   // 1 or 2 for string streams (terminator), 0 for binary
  const StreamHook hook_;
  Bytes base_mem_ GUARDED_BY(mu);
  int64_t base_blob_ GUARDED_BY(mu) = 0;
  uint64_t base_size_ GUARDED_BY(mu) = 0;
  bool base_owned_ GUARDED_BY(mu) = false;
  bool in_mem_ GUARDED_BY(mu) = true, dirty_ GUARDED_BY(mu) = false;
  Bytes mem_ GUARDED_BY(mu);
  int64_t work_ GUARDED_BY(mu) = 0;
  uint64_t size_ GUARDED_BY(mu) = 0;
  int64_t cache_blob_ GUARDED_BY(mu) = 0, cache_seq_ GUARDED_BY(mu) = -1;
  Bytes cache_ GUARDED_BY(mu);
  bool cache_dirty_ GUARDED_BY(mu) = false;
};

}  // namespace


// A kept string (UTF-8) in the width a stream of `type` shows it in;
// binaries as they are.
Bytes ToStreamWidth(const Bytes& stored, ULONG type) {
  std::string_view u(reinterpret_cast<const char*>(stored.data()), stored.size());
  if (type == PT_UNICODE) {
    std::u16string w = Utf8ToUtf16(u);
    return Bytes(reinterpret_cast<const BYTE*>(w.data()), reinterpret_cast<const BYTE*>(w.data()) + w.size() * 2);
  }
  if (type == PT_STRING8) {
    std::string a = Utf8ToAnsi(u);
    return Bytes(a.begin(), a.end());
  }
  return stored;
}

// The reverse; `trim` drops a terminator the writer may have included.
Bytes FromStreamWidth(const Bytes& b, ULONG type, bool trim) {
  if (type == PT_UNICODE) {
    std::u16string w(b.size() / 2, u'\0');
    std::memcpy(w.data(), b.data(), w.size() * 2);
    while (trim && !w.empty() && w.back() == 0) w.pop_back();
    std::string u = Utf16ToUtf8(w);
    return Bytes(u.begin(), u.end());
  }
  if (type == PT_STRING8) {
    std::string a(b.begin(), b.end());
    while (trim && !a.empty() && a.back() == 0) a.pop_back();
    std::string u = AnsiToUtf8(a);
    return Bytes(u.begin(), u.end());
  }
  return b;
}

HRESULT NewPropertyStream(std::shared_ptr<Db> db, bool writable, uint32_t enc, size_t unit, StreamHook hook,
                          StreamStart start, IStream** out) {
  auto st = std::make_shared<StreamState>(std::move(db), writable, enc, unit, std::move(hook), std::move(start));
  auto* s = new (std::nothrow) storage::StreamBase(std::move(st), writable, u"");
  if (!s) return MAPI_E_NOT_ENOUGH_MEMORY;
  *out = s;
  return S_OK;
}

}  // namespace vantrel::mapi::pst
