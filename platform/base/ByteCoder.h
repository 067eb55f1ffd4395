// Little-endian byte coding shared by every encoder and decoder of the
// platform and the system: an appending writer, fixed-position loads and
// stores, and a bounded reader.
//
// The reader's one failure convention: a read that does not fit sets the
// reader failed, returns false and leaves its output untouched; every read
// after a failure fails too, so a decoder may read a record and test ok()
// once. Need(count, size) answers whether count items of size bytes remain,
// without overflowing, so a count read from the input is checked before
// anything is reserved for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace vantrel {

// Fixed-position forms, for headers patched in place.
inline void StoreLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void StoreLe64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t LoadLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
inline std::uint64_t LoadLe64(const std::uint8_t* p) {
  return LoadLe32(p) | (std::uint64_t{LoadLe32(p + 4)} << 32);
}

// An n-byte (n <= 8) unsigned value in either order, for formats whose
// sender names its byte order (DCE data representation).
inline std::uint64_t LoadOrdered(const std::uint8_t* p, int n, bool big_endian) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint64_t{p[i]} << (8 * (big_endian ? n - 1 - i : i));
  return v;
}

// Appends to a byte vector it does not own.
class LeWriter {
 public:
  explicit LeWriter(std::vector<std::uint8_t>& out) : out_(out) {}

  void U8(std::uint8_t v) { out_.push_back(v); }
  void U16(std::uint16_t v) { Fixed<2>(v); }
  void U32(std::uint32_t v) { Fixed<4>(v); }
  void U64(std::uint64_t v) { Fixed<8>(v); }
  void Bytes(const void* p, std::size_t n) {
    if (n) out_.insert(out_.end(), static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
  }
  std::size_t size() const { return out_.size(); }

 private:
  template <int N>
  void Fixed(std::uint64_t v) {
    for (int i = 0; i < N; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t>& out_;
};

// Reads from a span it does not own; see the failure convention above.
class LeReader {
 public:
  explicit LeReader(std::span<const std::uint8_t> in) : p_(in.data()), n_(in.size()) {}
  LeReader(const void* p, std::size_t n) : p_(static_cast<const std::uint8_t*>(p)), n_(n) {}

  bool ok() const { return ok_; }
  std::size_t left() const { return ok_ ? n_ : 0; }
  const std::uint8_t* pos() const { return p_; }

  // Whether count items of size bytes each remain; false fails the reader.
  bool Need(std::size_t count, std::size_t size) {
    if (ok_ && (size == 0 || count <= n_ / size)) return true;
    ok_ = false;
    return false;
  }

  bool U8(std::uint8_t& v) { return Fixed(v); }
  bool U16(std::uint16_t& v) { return Fixed(v); }
  bool U32(std::uint32_t& v) { return Fixed(v); }
  bool U64(std::uint64_t& v) { return Fixed(v); }
  // The next n bytes (n > 0), or nullptr (failed).
  const std::uint8_t* Take(std::size_t n) {
    if (!Need(n, 1)) return nullptr;
    const std::uint8_t* r = p_;
    p_ += n;
    n_ -= n;
    return r;
  }
  bool Skip(std::size_t n) {
    if (!Need(n, 1)) return false;
    p_ += n;
    n_ -= n;
    return true;
  }
  bool Bytes(void* dst, std::size_t n) {
    if (!Need(n, 1)) return false;
    if (n) std::memcpy(dst, p_, n);
    p_ += n;
    n_ -= n;
    return true;
  }

 private:
  template <class T>
  bool Fixed(T& v) {
    const std::uint8_t* p = Take(sizeof(T));
    if (!p) return false;
    std::uint64_t x = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) x |= std::uint64_t{p[i]} << (8 * i);
    v = static_cast<T>(x);
    return true;
  }
  const std::uint8_t* p_;
  std::size_t n_;
  bool ok_ = true;
};

}  // namespace vantrel
