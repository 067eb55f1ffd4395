// The ordinal table a module carries (the C symbol vantrel_export_table),
// generated from the module's export list by vantrel_module_exports(). ELF
// knows exported names only; this table gives them their numbers.
#pragma once

#include <cstdint>

namespace vantrel::win {

inline constexpr std::uint32_t kExportMagic = 0x31505845;  // "EXP1"
// More is a damaged table: an export list never comes close.
inline constexpr std::uint32_t kMaxExports = 65535;

struct ExportEntry {
  std::uint32_t ordinal;
  const char* name;
  const void* address;
};

struct ExportTable {
  std::uint32_t magic;
  std::uint32_t count;
  const ExportEntry* entries;  // in the order of the list
};

}  // namespace vantrel::win
