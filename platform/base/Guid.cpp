#include "platform/base/Guid.h"

#include <cstdio>
#include <random>

#include "platform/base/ByteCoder.h"

namespace vantrel {

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
bool ReadHex(std::string_view s, size_t pos, size_t n, std::uint32_t& out) {
  out = 0;
  for (size_t i = 0; i < n; ++i) {
    int d = HexDigit(s[pos + i]);
    if (d < 0) return false;
    out = (out << 4) | static_cast<std::uint32_t>(d);
  }
  return true;
}
}  // namespace

std::optional<GUID> GuidFromString(std::string_view s) {
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return std::nullopt;
  GUID g{};
  std::uint32_t v;
  if (!ReadHex(s, 0, 8, v)) return std::nullopt;
  g.Data1 = v;
  if (!ReadHex(s, 9, 4, v)) return std::nullopt;
  g.Data2 = static_cast<std::uint16_t>(v);
  if (!ReadHex(s, 14, 4, v)) return std::nullopt;
  g.Data3 = static_cast<std::uint16_t>(v);
  static constexpr size_t kPos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(s, kPos[i], 2, v)) return std::nullopt;
    g.Data4[i] = static_cast<std::uint8_t>(v);
  }
  return g;
}

std::array<std::uint8_t, 16> GuidToBytes(const GUID& g) {
  std::array<std::uint8_t, 16> b{};
  StoreLe32(&b[0], g.Data1);
  StoreLe16(&b[4], g.Data2);
  StoreLe16(&b[6], g.Data3);
  for (int i = 0; i < 8; ++i) b[8 + i] = g.Data4[i];
  return b;
}

GUID GuidFromBytes(const std::uint8_t* b) {
  GUID g{};
  g.Data1 = LoadLe32(b);
  g.Data2 = LoadLe16(b + 4);
  g.Data3 = LoadLe16(b + 6);
  for (int i = 0; i < 8; ++i) g.Data4[i] = b[8 + i];
  return g;
}

GUID NewGuid() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  std::uint8_t b[16];
  for (int i = 0; i < 16; i += 8) {
    std::uint64_t r = rng();
    for (int j = 0; j < 8; ++j) b[i + j] = static_cast<std::uint8_t>(r >> (8 * j));
  }
  b[7] = static_cast<std::uint8_t>((b[7] & 0x0F) | 0x40);
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);
  return GuidFromBytes(b);
}

}  // namespace vantrel
