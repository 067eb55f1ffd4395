#include "platform/mapi/pst/ChunkedValue.h"

#include <cstring>

#include "platform/base/CodePage.h"
#include "platform/mapi/pst/Repository.h"

namespace vantrel::mapi::pst {

Bytes EncodeRef(const ValueRef& r) {
  Bytes b(20);
  std::memcpy(b.data(), &r.blob, 8);
  std::memcpy(b.data() + 8, &r.size, 8);
  std::memcpy(b.data() + 16, &r.enc, 4);
  return b;
}
bool DecodeRef(const Bytes& b, ValueRef& r) {
  if (b.size() != 20) return false;
  std::memcpy(&r.blob, b.data(), 8);
  std::memcpy(&r.size, b.data() + 8, 8);
  std::memcpy(&r.enc, b.data() + 16, 4);
  return r.blob > 0 && r.enc <= kEncAnsi;
}

// The size of a stored value as the object reports it.
uint64_t ValueSize(const std::pair<ULONG, Bytes>& v) {
  ValueRef r;
  if (IsRef(v.first) && DecodeRef(v.second, r)) return r.size;
  return v.second.size();
}

Bytes Transcoder::Feed(const BYTE* p, size_t n, bool last) {
  if (from_ == to_) return Bytes(p, p + n);
  carry_.insert(carry_.end(), p, p + n);
  size_t take = carry_.size();
  std::u16string w = wcarry_;
  wcarry_.clear();
  if (from_ == kEncUtf16) {
    take &= ~size_t{1};
    for (size_t i = 0; i < take; i += 2) w.push_back(static_cast<char16_t>(carry_[i] | (carry_[i + 1] << 8)));
  } else if (from_ == kEncAnsi) {
    w += AnsiToUtf16({reinterpret_cast<const char*>(carry_.data()), take});
  } else {
    // Hold back a UTF-8 sequence cut at the end.
    if (!last) {
      for (size_t back = 1; back <= 3 && back <= take; ++back) {
        BYTE c = carry_[take - back];
        if ((c & 0xC0) == 0x80) continue;
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (len > back) take -= back;
        break;
      }
    }
    w += Utf8ToUtf16({reinterpret_cast<const char*>(carry_.data()), take});
  }
  carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(take));
  if (!last && !w.empty() && w.back() >= 0xD800 && w.back() < 0xDC00) {
    wcarry_ = w.substr(w.size() - 1);
    w.pop_back();
  }
  Bytes out;
  if (to_ == kEncUtf16) {
    out.resize(w.size() * 2);
    std::memcpy(out.data(), w.data(), out.size());
  } else {
    std::string t = to_ == kEncAnsi ? Utf16ToAnsi(w) : Utf16ToUtf8(w);
    out.assign(t.begin(), t.end());
  }
  return out;
}

bool Materialize(Db& db, const ValueRef& r, bool text, Bytes& out) {
  Reader rd(db);
  Transcoder tc(text ? r.enc : kEncRaw, kEncRaw);
  out.clear();
  uint64_t got = 0;
  ForEachChunk(rd.c(), r.blob, [&](int64_t, const BYTE* p, size_t n) {
    got += n;
    Bytes piece = tc.Feed(p, n, false);
    out.insert(out.end(), piece.begin(), piece.end());
    return true;
  });
  Bytes tail = tc.Feed(nullptr, 0, true);
  out.insert(out.end(), tail.begin(), tail.end());
  return got == r.size;
}

int64_t CopyBlob(Conn& src, Db& dst, int64_t blob) {
  int64_t nb = NewBlob(dst, kStaging);
  if (!nb) return 0;
  if (&src == &dst.W()) return CopyChunks(dst, blob, nb) ? nb : 0;
  bool ok = ForEachChunk(src, blob, [&](int64_t seq, const BYTE* p, size_t n)
                                        REQUIRES(dst.mu) { return PutChunk(dst.W(), nb, seq, p, n); });
  return ok ? nb : 0;
}

bool CopyRefs(Conn& src, Db& dst, PropMap& m) {
  for (auto& [id, v] : m) {
    ValueRef r;
    if (!IsRef(v.first)) continue;
    if (!DecodeRef(v.second, r) || !(r.blob = CopyBlob(src, dst, r.blob))) return false;
    v.second = EncodeRef(r);
  }
  return true;
}

int64_t ConvertBlob(Db& db, const ValueRef& r, uint32_t to, uint64_t& size) {
  Relaxed relaxed(db);
  int64_t nb = NewBlob(db, kStaging);
  if (!nb) return 0;
  Transcoder tc(r.enc, to);
  Bytes pending, piece;
  int64_t out_seq = 0;
  size = 0;
  auto emit = [&](bool last) REQUIRES(db.mu) {
    size_t off = 0;
    while (pending.size() - off >= kChunk || (last && off < pending.size())) {
      size_t n = std::min(kChunk, pending.size() - off);
      if (!PutChunk(db.W(), nb, out_seq++, pending.data() + off, n)) return false;
      size += n;
      off += n;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(off));
    return true;
  };
  bool ok = true;
  for (int64_t seq = 0; ok && GetChunk(db.W(), r.blob, seq, piece); ++seq) {
    Bytes b = tc.Feed(piece.data(), piece.size(), false);
    pending.insert(pending.end(), b.begin(), b.end());
    ok = emit(false);
  }
  Bytes tail = tc.Feed(nullptr, 0, true);
  pending.insert(pending.end(), tail.begin(), tail.end());
  if (!ok || !emit(true)) {
    DropStaged(db, nb);
    return 0;
  }
  return nb;
}

}  // namespace vantrel::mapi::pst
