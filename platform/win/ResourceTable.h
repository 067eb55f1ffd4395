// The resource table a module carries, as the resource compiler lays it out
// and the loader reads it. The table is one block of bytes in the module
// (the C symbol vantrel_resource_table), so it holds no pointers and can be
// checked whole before anything reads it.
//
// Layout, all numbers 32-bit little-endian:
//   header   magic "VRS1", format version, total size, entry count
//   entries  count x { type key, name key, language, data offset, data size, 0 }
//   strings  the names of named keys, upper case, each ending in NUL
//   data     each resource's bytes, each followed by a NUL not counted in
//            its size (so a string or a text resource can be used in place)
// A key with kNamedKey set names a string at (key & ~kNamedKey); otherwise
// it is a number up to 0xFFFF. String tables are stored one entry per
// string: type RT_STRING, name the string's identifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::win {

inline constexpr std::uint32_t kResourceMagic = 0x31535256;  // "VRS1"
inline constexpr std::uint32_t kResourceVersion = 1;
inline constexpr std::uint32_t kNamedKey = 0x80000000u;
inline constexpr std::size_t kResourceHeaderSize = 16;
inline constexpr std::size_t kResourceEntrySize = 24;

// A resource type or name: a number, or a string compared without case.
struct ResourceKey {
  bool named = false;
  std::uint32_t id = 0;
  std::string name;  // upper case when named
};

struct ResourceEntry {
  std::uint32_t type;
  std::uint32_t name;
  std::uint32_t language;
  std::uint32_t offset;
  std::uint32_t size;
  std::uint32_t reserved;
};

// A checked view of a table. Open refuses a damaged table (bad magic or
// version, counts or offsets outside the block, names without an end), so
// the lookups below never read outside it.
class ResourceTable {
 public:
  ResourceTable() = default;

  // `size` is how many bytes the module really holds for the table.
  static bool Open(const unsigned char* data, std::size_t size, ResourceTable* out, std::string* why);

  bool valid() const { return data_ != nullptr; }
  std::uint32_t count() const { return count_; }
  ResourceEntry entry(std::uint32_t index) const;
  bool KeyMatches(std::uint32_t stored, const ResourceKey& key) const;
  ResourceKey Key(std::uint32_t stored) const;
  const unsigned char* Data(const ResourceEntry& e) const { return data_ + e.offset; }
  // The index of the entry whose bytes start at `p` in the entry array, or -1.
  long IndexOf(const void* p) const;
  const unsigned char* EntryAddress(std::uint32_t index) const {
    return data_ + kResourceHeaderSize + index * kResourceEntrySize;
  }

  // What a lookup found: the entry's index, or why nothing was found.
  enum class Miss { kNone, kType, kName };
  // The entry of (type, name) in the language chosen for `lang`: `lang`
  // itself, then its primary language (its default sublanguage first),
  // then a neutral one, then 1033, then the first the table lists.
  long Find(const ResourceKey& type, const ResourceKey& name, std::uint16_t lang, Miss* miss) const;

 private:
  const unsigned char* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t count_ = 0;
};

std::uint32_t ReadLe32(const unsigned char* p);

}  // namespace vantrel::win
