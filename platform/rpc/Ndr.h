// NDR 2.0 marshalling of the stub data of one call: alignment relative to
// the start of the stub data, both byte orders on receive, little-endian
// on send. Readers check every count against the bytes that remain before
// they allocate; a short or malformed buffer throws NdrError, which the
// runtime answers with the fault RPC_X_BAD_STUB_DATA.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::rpc {

class NdrError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class NdrWriter {
 public:
  NdrWriter() = default;
  void Align(size_t n) {
    if (size_t r = buf_.size() % n) buf_.resize(buf_.size() + n - r);
  }
  void U8(std::uint8_t v) { buf_.push_back(v); }
  void U16(std::uint16_t v) {
    Align(2);
    Raw(v, 2);
  }
  void U32(std::uint32_t v) {
    Align(4);
    Raw(v, 4);
  }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void U64(std::uint64_t v) {
    Align(8);
    Raw(v, 8);
  }
  // The 64-bit value of the interface: a structure of two longs, low half
  // first.
  void LongPair(std::uint64_t v) {
    U32(static_cast<std::uint32_t>(v));
    U32(static_cast<std::uint32_t>(v >> 32));
  }
  void Bytes(const void* p, size_t n) {
    if (n == 0) return;
    const auto* b = static_cast<const std::uint8_t*>(p);
    buf_.insert(buf_.end(), b, b + n);
  }
  // A fixed array of n bytes: no count, no alignment.
  void Fixed(const void* p, size_t n) { Bytes(p, n); }
  // Conformant varying string of 8-bit characters: max count, offset,
  // actual count (all including the NUL), the bytes and the NUL.
  void String(std::string_view s) {
    auto n = static_cast<std::uint32_t>(s.size() + 1);
    U32(n);
    U32(0);
    U32(n);
    Bytes(s.data(), s.size());
    U8(0);
  }
  // Conformant array of bytes whose size was sent as a separate parameter:
  // max count, then the bytes.
  void ConformantBytes(const void* p, std::uint32_t n) {
    U32(n);
    Bytes(p, n);
  }
  // Conformant array of 32-bit values.
  void ConformantLongs(std::span<const std::uint32_t> v) {
    U32(static_cast<std::uint32_t>(v.size()));
    for (auto x : v) U32(x);
  }
  // Varying array (fixed maximum, offset and actual count).
  void VaryingBytes(const void* p, std::uint32_t n) {
    U32(0);
    U32(n);
    Bytes(p, n);
  }
  // Conformant varying array: max count, offset, actual count, bytes.
  void ConformantVaryingBytes(const void* p, std::uint32_t max, std::uint32_t n) {
    U32(max);
    U32(0);
    U32(n);
    Bytes(p, n);
  }
  const std::vector<std::uint8_t>& data() const { return buf_; }
  std::vector<std::uint8_t>& mutable_data() { return buf_; }
  // Empties the writer for the next call; storage above `keep` bytes is
  // given back, the rest is reused.
  void Reset(size_t keep) {
    if (buf_.capacity() > keep)
      std::vector<std::uint8_t>().swap(buf_);
    else
      buf_.clear();
  }
  size_t size() const { return buf_.size(); }

 private:
  void Raw(std::uint64_t v, int n) {
    size_t at = buf_.size();
    buf_.resize(at + static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) buf_[at + static_cast<size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::vector<std::uint8_t> buf_;
};

class NdrReader {
 public:
  NdrReader(std::span<const std::uint8_t> data, bool big_endian) : data_(data), big_(big_endian) {}

  void Align(size_t n) {
    size_t to = (pos_ + n - 1) / n * n;
    Need(to - pos_);
    pos_ = to;
  }
  std::uint8_t U8() {
    Need(1);
    return data_[pos_++];
  }
  std::uint16_t U16() {
    Align(2);
    return static_cast<std::uint16_t>(Raw(2));
  }
  std::uint32_t U32() {
    Align(4);
    return static_cast<std::uint32_t>(Raw(4));
  }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::uint64_t U64() {
    Align(8);
    return Raw(8);
  }
  std::uint64_t LongPair() {
    std::uint64_t lo = U32();
    return lo | static_cast<std::uint64_t>(U32()) << 32;
  }
  std::span<const std::uint8_t> Bytes(size_t n) {
    Need(n);
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  void Fixed(void* out, size_t n) {
    auto s = Bytes(n);
    std::memcpy(out, s.data(), n);
  }
  // Conformant varying string; the NUL must be present and be the last
  // character sent. Returns the text without it.
  std::string String() {
    std::uint32_t max = U32(), offset = U32(), actual = U32();
    if (offset != 0 || actual == 0 || actual > max) throw NdrError("bad string counts");
    auto s = Bytes(actual);
    if (s[actual - 1] != 0) throw NdrError("string without terminator");
    return std::string(reinterpret_cast<const char*>(s.data()), actual - 1);
  }
  // Conformant byte array that must hold exactly `expected` bytes (the
  // size parameter sent before it).
  std::span<const std::uint8_t> ConformantBytes(std::uint32_t expected) {
    std::uint32_t max = U32();
    if (max != expected) throw NdrError("conformance does not match its size parameter");
    return Bytes(max);
  }
  std::vector<std::uint32_t> ConformantLongs(std::uint32_t expected) {
    std::uint32_t max = U32();
    if (max != expected) throw NdrError("conformance does not match its size parameter");
    Need(static_cast<size_t>(max) * 4);
    std::vector<std::uint32_t> v(max);
    for (auto& x : v) x = U32();
    return v;
  }
  std::span<const std::uint8_t> VaryingBytes(std::uint32_t capacity) {
    std::uint32_t offset = U32(), actual = U32();
    if (offset != 0 || actual > capacity) throw NdrError("bad varying counts");
    return Bytes(actual);
  }
  std::span<const std::uint8_t> ConformantVaryingBytes() {
    std::uint32_t max = U32(), offset = U32(), actual = U32();
    if (offset != 0 || actual > max) throw NdrError("bad varying counts");
    return Bytes(actual);
  }
  size_t remaining() const { return data_.size() - pos_; }
  size_t position() const { return pos_; }
  bool big_endian() const { return big_; }

 private:
  void Need(size_t n) const {
    if (n > data_.size() - pos_) throw NdrError("stub data too short");
  }
  std::uint64_t Raw(int n) {
    Need(static_cast<size_t>(n));
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
      std::uint64_t b = data_[pos_ + static_cast<size_t>(i)];
      v |= big_ ? b << (8 * (n - 1 - i)) : b << (8 * i);
    }
    pos_ += static_cast<size_t>(n);
    return v;
  }
  std::span<const std::uint8_t> data_;
  size_t pos_ = 0;
  bool big_;
};

}  // namespace vantrel::rpc
