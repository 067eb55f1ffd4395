// A module read as a data file: its bytes and where a symbol's data lies in
// them, found through the ELF section headers without loading, relocating
// or running anything of it (LOAD_LIBRARY_AS_DATAFILE). Every offset and
// count of the file is checked against its size before use.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vantrel::win {

// Files beyond this size are refused rather than read.
inline constexpr std::size_t kMaxModuleImage = 64u << 20;

// Reads `path`; false with `why` when it cannot be read or is no 64-bit
// little-endian ELF shared object. `missing` tells a file that is not there.
bool ReadModuleImage(const std::string& path, std::vector<unsigned char>* image, bool* missing, std::string* why);

// The file offset and size of the data of the defined dynamic symbol
// `name`, or false with `why`.
bool FindImageSymbol(const std::vector<unsigned char>& image, const char* name, std::size_t* offset, std::size_t* size,
                     std::string* why);

}  // namespace vantrel::win
