#include "platform/win/ResourceTable.h"

#include <cstring>

namespace vantrel::win {

std::uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

namespace {

bool Fail(std::string* why, const char* text) {
  if (why != nullptr) *why = text;
  return false;
}

// A named key points at a NUL-terminated string inside the block.
bool KeyValid(const unsigned char* data, std::uint32_t size, std::uint32_t key) {
  if ((key & kNamedKey) == 0) return key <= 0xFFFF;
  const std::uint32_t at = key & ~kNamedKey;
  if (at >= size) return false;
  return std::memchr(data + at, 0, size - at) != nullptr;
}

}  // namespace

bool ResourceTable::Open(const unsigned char* data, std::size_t size, ResourceTable* out, std::string* why) {
  *out = ResourceTable();
  if (data == nullptr || size < kResourceHeaderSize) return Fail(why, "table too short");
  if (ReadLe32(data) != kResourceMagic) return Fail(why, "not a resource table");
  if (ReadLe32(data + 4) != kResourceVersion) return Fail(why, "unknown table version");
  const std::uint32_t total = ReadLe32(data + 8);
  if (total < kResourceHeaderSize || total > size) return Fail(why, "table size beyond its block");
  const std::uint32_t count = ReadLe32(data + 12);
  if (count > (total - kResourceHeaderSize) / kResourceEntrySize) return Fail(why, "entry count beyond the table");
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char* e = data + kResourceHeaderSize + std::size_t{i} * kResourceEntrySize;
    const std::uint32_t type = ReadLe32(e), name = ReadLe32(e + 4), lang = ReadLe32(e + 8);
    const std::uint32_t offset = ReadLe32(e + 12), length = ReadLe32(e + 16);
    if (!KeyValid(data, total, type) || !KeyValid(data, total, name)) return Fail(why, "bad resource key");
    if (lang > 0xFFFF) return Fail(why, "bad resource language");
    // The data and the NUL after it lie inside the table.
    if (offset > total || length >= total - offset || data[offset + length] != 0)
      return Fail(why, "resource data beyond the table");
  }
  out->data_ = data;
  out->size_ = total;
  out->count_ = count;
  return true;
}

ResourceEntry ResourceTable::entry(std::uint32_t index) const {
  const unsigned char* e = EntryAddress(index);
  return ResourceEntry{ReadLe32(e), ReadLe32(e + 4), ReadLe32(e + 8), ReadLe32(e + 12), ReadLe32(e + 16), 0};
}

ResourceKey ResourceTable::Key(std::uint32_t stored) const {
  ResourceKey key;
  if ((stored & kNamedKey) != 0) {
    key.named = true;
    key.name = reinterpret_cast<const char*>(data_ + (stored & ~kNamedKey));
  } else {
    key.id = stored;
  }
  return key;
}

bool ResourceTable::KeyMatches(std::uint32_t stored, const ResourceKey& key) const {
  if ((stored & kNamedKey) == 0) return !key.named && key.id == stored;
  return key.named && key.name == reinterpret_cast<const char*>(data_ + (stored & ~kNamedKey));
}

long ResourceTable::IndexOf(const void* p) const {
  const auto* at = static_cast<const unsigned char*>(p);
  const unsigned char* first = data_ + kResourceHeaderSize;
  if (data_ == nullptr || at < first || at >= first + std::size_t{count_} * kResourceEntrySize) return -1;
  const std::size_t delta = static_cast<std::size_t>(at - first);
  if (delta % kResourceEntrySize != 0) return -1;
  return static_cast<long>(delta / kResourceEntrySize);
}

long ResourceTable::Find(const ResourceKey& type, const ResourceKey& name, std::uint16_t lang, Miss* miss) const {
  bool typeSeen = false;
  long exact = -1, primaryDefault = -1, primary = -1, neutral = -1, english = -1, first = -1;
  const std::uint16_t wantPrimary = lang & 0x3ff;
  for (std::uint32_t i = 0; i < count_; ++i) {
    const ResourceEntry e = entry(i);
    if (!KeyMatches(e.type, type)) continue;
    typeSeen = true;
    if (!KeyMatches(e.name, name)) continue;
    const std::uint16_t have = static_cast<std::uint16_t>(e.language);
    const long at = static_cast<long>(i);
    if (first < 0) first = at;
    if (have == lang && exact < 0) exact = at;
    if ((have & 0x3ff) == wantPrimary) {
      if ((have >> 10) == 1 && primaryDefault < 0) primaryDefault = at;
      if (primary < 0) primary = at;
    }
    if ((have & 0x3ff) == 0 && neutral < 0) neutral = at;
    if (have == 0x0409 && english < 0) english = at;
  }
  for (long found : {exact, primaryDefault, primary, neutral, english, first}) {
    if (found >= 0) {
      if (miss != nullptr) *miss = Miss::kNone;
      return found;
    }
  }
  if (miss != nullptr) *miss = typeSeen ? Miss::kName : Miss::kType;
  return -1;
}

}  // namespace vantrel::win
