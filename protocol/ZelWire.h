// Wire types of the remote interface, each laid out in NDR as MIDL lays out
// the matching IDL declaration (see zel.idl). A type knows how to write and
// read its value and how it is declared in the IDL; the operation table
// (ZelOperations.inc) combines them into requests and replies.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rpc/Ndr.h"

namespace vantrel::zel::wire {

using rpc::NdrError;
using rpc::NdrReader;
using rpc::NdrWriter;

inline std::string UpperFirst(const char* name) {
  std::string s(name);
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

// A 32-bit signed integer: handles, flags, counts, tags, results.
struct Long {
  using Value = std::int32_t;
  static void Encode(NdrWriter& w, Value v) { w.I32(v); }
  static Value Decode(NdrReader& r) { return r.I32(); }
  static std::string Idl(bool out, const char* n) { return out ? std::string("long* ") + n : std::string("long ") + n; }
};

// A NUL-terminated 8-bit string (conformant varying string); never null.
struct String {
  using Value = std::string;
  static void Encode(NdrWriter& w, const Value& v) { w.String(v); }
  static Value Decode(NdrReader& r) { return r.String(); }
  static std::string Idl(bool, const char* n) { return std::string("[string] char* ") + n; }
};

// A count parameter followed by a conformant byte array of that size.
struct Block {
  using Value = std::vector<std::uint8_t>;
  static void Encode(NdrWriter& w, const Value& v) {
    w.I32(static_cast<std::int32_t>(v.size()));
    w.ConformantBytes(v.data(), static_cast<std::uint32_t>(v.size()));
  }
  static Value Decode(NdrReader& r) {
    auto n = static_cast<std::uint32_t>(r.I32());
    auto s = r.ConformantBytes(n);
    return Value(s.begin(), s.end());
  }
  static std::string Idl(bool, const char* n) {
    std::string cb = "cb" + UpperFirst(n);
    return "long " + cb + ", [size_is(" + cb + ")] byte* " + n;
  }
};

// A count parameter followed by a conformant array of that many longs.
struct Tags {
  using Value = std::vector<std::uint32_t>;
  static void Encode(NdrWriter& w, const Value& v) {
    w.I32(static_cast<std::int32_t>(v.size()));
    w.ConformantLongs(v);
  }
  static Value Decode(NdrReader& r) {
    auto n = static_cast<std::uint32_t>(r.I32());
    return r.ConformantLongs(n);
  }
  static std::string Idl(bool, const char* n) {
    std::string c = "c" + UpperFirst(n);
    return "long " + c + ", [size_is(" + c + ")] long* " + n;
  }
};

using Bytes16 = std::array<std::uint8_t, 16>;

// A fixed 16-byte array: a class identifier, a GUID, a provider UID.
struct Guid {
  using Value = Bytes16;
  static void Encode(NdrWriter& w, const Value& v) { w.Fixed(v.data(), v.size()); }
  static Value Decode(NdrReader& r) {
    Value v{};
    r.Fixed(v.data(), v.size());
    return v;
  }
  static std::string Idl(bool, const char* n) { return std::string("byte ") + n + "[16]"; }
};

// Interface selector: a presence flag and 16 bytes that count only when the
// flag is non-zero.
struct Selector {
  std::uint16_t flag = 0;
  Bytes16 id{};
};

// Selector whose flag travels as 16 bits.
struct Selector16 {
  using Value = Selector;
  static void Encode(NdrWriter& w, const Value& v) {
    w.U16(v.flag);
    w.Fixed(v.id.data(), v.id.size());
  }
  static Value Decode(NdrReader& r) {
    Value v;
    v.flag = r.U16();
    r.Fixed(v.id.data(), v.id.size());
    return v;
  }
  static std::string Idl(bool, const char* n) { return "short f" + UpperFirst(n) + ", byte " + n + "[16]"; }
};

// Selector whose flag travels as one byte.
struct Selector8 {
  using Value = Selector;
  static void Encode(NdrWriter& w, const Value& v) {
    w.U8(static_cast<std::uint8_t>(v.flag));
    w.Fixed(v.id.data(), v.id.size());
  }
  static Value Decode(NdrReader& r) {
    Value v;
    v.flag = r.U8();
    r.Fixed(v.id.data(), v.id.size());
    return v;
  }
  static std::string Idl(bool, const char* n) { return "byte f" + UpperFirst(n) + ", byte " + n + "[16]"; }
};

// A 64-bit value as a structure of two longs, low half first.
struct Long64 {
  using Value = std::uint64_t;
  static void Encode(NdrWriter& w, Value v) {
    w.U32(static_cast<std::uint32_t>(v));
    w.U32(static_cast<std::uint32_t>(v >> 32));
  }
  static Value Decode(NdrReader& r) {
    std::uint64_t lo = r.U32();
    std::uint64_t hi = r.U32();
    return lo | (hi << 32);
  }
  static std::string Idl(bool out, const char* n) { return std::string(out ? "ZEL_LONG64* " : "ZEL_LONG64 ") + n; }
};

// The inline area of a result block: a fixed 512-byte output.
inline constexpr std::size_t kInlineSize = 512;
struct Inline {
  using Value = std::array<std::uint8_t, kInlineSize>;
  static void Encode(NdrWriter& w, const Value& v) { w.Fixed(v.data(), v.size()); }
  static Value Decode(NdrReader& r) {
    Value v{};
    r.Fixed(v.data(), v.size());
    return v;
  }
  static std::string Idl(bool, const char* n) { return std::string("byte ") + n + "[512]"; }
};

// The read area of ReadBuffer: a varying array of at most 32768 bytes whose
// length is the cbRead output.
inline constexpr std::uint32_t kReadAreaSize = 32768;
struct ReadArea {
  using Value = std::vector<std::uint8_t>;
  static void Encode(NdrWriter& w, const Value& v) {
    if (v.size() > kReadAreaSize) throw NdrError("read area overflow");
    w.VaryingBytes(v.data(), static_cast<std::uint32_t>(v.size()));
  }
  static Value Decode(NdrReader& r) {
    auto s = r.VaryingBytes(kReadAreaSize);
    return Value(s.begin(), s.end());
  }
  static std::string Idl(bool, const char* n) { return std::string("[length_is(*cbRead)] byte ") + n + "[32768]"; }
};

// An output array sized by an input (size_is) of which a count output says
// how much is valid (length_is): a conformant varying array.
template <class T>
struct Bounded {
  std::uint32_t max = 0;  // the size_is bound, set from the input
  std::vector<T> items;
};

struct ByteArea {
  using Value = Bounded<std::uint8_t>;
  static void Encode(NdrWriter& w, const Value& v) {
    if (v.items.size() > v.max) throw NdrError("array beyond its bound");
    w.ConformantVaryingBytes(v.items.data(), v.max, static_cast<std::uint32_t>(v.items.size()));
  }
  static Value Decode(NdrReader& r) {
    Value v;
    v.max = r.U32();
    std::uint32_t offset = r.U32(), actual = r.U32();
    if (offset != 0 || actual > v.max) throw NdrError("bad varying counts");
    auto s = r.Bytes(actual);
    v.items.assign(s.begin(), s.end());
    return v;
  }
};

// ISTREAM_Read: size_is(cb), length_is(*cbRead).
struct StreamData : ByteArea {
  static std::string Idl(bool, const char* n) { return std::string("[size_is(cb), length_is(*cbRead)] byte* ") + n; }
};

// ReadBufferEx: size_is(cbMax), length_is(*cbRead).
struct ReadExData : ByteArea {
  static std::string Idl(bool, const char* n) { return std::string("[size_is(cbMax), length_is(*cbRead)] byte* ") + n; }
};

// The 132-byte storage element record.
struct StatStg {
  std::array<char, 64> name{};  // NUL-terminated 8-bit text
  std::int32_t type = 0;
  std::uint64_t size = 0;
  std::uint64_t mtime = 0;
  std::uint64_t ctime = 0;
  std::uint64_t atime = 0;
  std::int32_t mode = 0;
  std::int32_t locks_supported = 0;
  Bytes16 clsid{};
  std::int32_t state_bits = 0;
  std::int32_t reserved = 0;
};
inline constexpr std::size_t kStatStgSize = 132;

struct StatRecord {
  using Value = StatStg;
  static void Encode(NdrWriter& w, const Value& v) {
    w.Align(4);
    w.Fixed(v.name.data(), v.name.size());
    w.I32(v.type);
    Long64::Encode(w, v.size);
    Long64::Encode(w, v.mtime);
    Long64::Encode(w, v.ctime);
    Long64::Encode(w, v.atime);
    w.I32(v.mode);
    w.I32(v.locks_supported);
    w.Fixed(v.clsid.data(), v.clsid.size());
    w.I32(v.state_bits);
    w.I32(v.reserved);
  }
  static Value Decode(NdrReader& r) {
    Value v;
    r.Align(4);
    r.Fixed(v.name.data(), v.name.size());
    v.type = r.I32();
    v.size = Long64::Decode(r);
    v.mtime = Long64::Decode(r);
    v.ctime = Long64::Decode(r);
    v.atime = Long64::Decode(r);
    v.mode = r.I32();
    v.locks_supported = r.I32();
    r.Fixed(v.clsid.data(), v.clsid.size());
    v.state_bits = r.I32();
    v.reserved = r.I32();
    return v;
  }
  static std::string Idl(bool, const char* n) { return std::string("ZEL_STATSTG* ") + n; }
};

// IEnumSTATSTG_Next: size_is(celt), length_is(*celtFetched) records.
struct StatRecords {
  using Value = Bounded<StatStg>;
  static void Encode(NdrWriter& w, const Value& v) {
    if (v.items.size() > v.max) throw NdrError("array beyond its bound");
    w.U32(v.max);
    w.U32(0);
    w.U32(static_cast<std::uint32_t>(v.items.size()));
    for (const auto& s : v.items) StatRecord::Encode(w, s);
  }
  static Value Decode(NdrReader& r) {
    Value v;
    v.max = r.U32();
    std::uint32_t offset = r.U32(), actual = r.U32();
    if (offset != 0 || actual > v.max) throw NdrError("bad varying counts");
    if (static_cast<std::uint64_t>(actual) * kStatStgSize > r.remaining()) throw NdrError("stub data too short");
    v.items.reserve(actual);
    for (std::uint32_t i = 0; i < actual; ++i) v.items.push_back(StatRecord::Decode(r));
    return v;
  }
  static std::string Idl(bool, const char* n) {
    return std::string("[size_is(celt), length_is(*celtFetched)] ZEL_STATSTG* ") + n;
  }
};

// Marks an operation without a result.
struct Void {};

}  // namespace vantrel::zel::wire
