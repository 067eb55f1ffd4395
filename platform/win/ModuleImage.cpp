#include "platform/win/ModuleImage.h"

#include <elf.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace vantrel::win {

namespace {

bool Fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

template <class T>
bool ReadAt(const std::vector<unsigned char>& image, std::size_t offset, T* out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(out, image.data() + offset, sizeof(T));
  return true;
}

// [offset, offset + size) lies inside the image.
bool Inside(const std::vector<unsigned char>& image, std::uint64_t offset, std::uint64_t size) {
  return offset <= image.size() && size <= image.size() - offset;
}

}  // namespace

bool ReadModuleImage(const std::string& path, std::vector<unsigned char>* image, bool* missing, std::string* why) {
  *missing = false;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    *missing = errno == ENOENT || errno == ENOTDIR;
    return Fail(why, path + ": " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) return Fail(why, path + ": not a file");
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return Fail(why, path + ": cannot open");
  const std::streamoff length = in.tellg();
  if (length < 0 || static_cast<std::uint64_t>(length) > kMaxModuleImage)
    return Fail(why, path + ": not a module (size)");
  image->resize(static_cast<std::size_t>(length));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(image->data()), length)) return Fail(why, path + ": cannot read");
  Elf64_Ehdr header;
  if (!ReadAt(*image, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return Fail(why, path + ": not a shared object");
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_type != ET_DYN)
    return Fail(why, path + ": not a 64-bit little-endian shared object");
  return true;
}

bool FindImageSymbol(const std::vector<unsigned char>& image, const char* name, std::size_t* offset, std::size_t* size,
                     std::string* why) {
  Elf64_Ehdr header;
  if (!ReadAt(image, 0, &header)) return Fail(why, "not a shared object");
  if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shnum == 0 ||
      !Inside(image, header.e_shoff, std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr)))
    return Fail(why, "no section headers");
  auto section = [&](std::size_t index, Elf64_Shdr* out) {
    return index < header.e_shnum && ReadAt(image, header.e_shoff + index * sizeof(Elf64_Shdr), out);
  };
  for (std::size_t s = 0; s < header.e_shnum; ++s) {
    Elf64_Shdr symbols, strings;
    if (!section(s, &symbols) || symbols.sh_type != SHT_DYNSYM) continue;
    if (symbols.sh_entsize != sizeof(Elf64_Sym) || !Inside(image, symbols.sh_offset, symbols.sh_size) ||
        !section(symbols.sh_link, &strings) || !Inside(image, strings.sh_offset, strings.sh_size))
      return Fail(why, "damaged symbol table");
    const char* names = reinterpret_cast<const char*>(image.data() + strings.sh_offset);
    const std::size_t want = std::strlen(name);
    for (std::uint64_t i = 0; i < symbols.sh_size / sizeof(Elf64_Sym); ++i) {
      Elf64_Sym sym;
      if (!ReadAt(image, symbols.sh_offset + i * sizeof(Elf64_Sym), &sym)) break;
      // The name and its NUL inside the string table.
      if (sym.st_name >= strings.sh_size || strings.sh_size - sym.st_name <= want) continue;
      if (std::memcmp(names + sym.st_name, name, want + 1) != 0) continue;
      Elf64_Shdr holder;
      if (sym.st_shndx == SHN_UNDEF || !section(sym.st_shndx, &holder)) return Fail(why, std::string(name) + " not defined");
      if (holder.sh_type == SHT_NOBITS || !Inside(image, holder.sh_offset, holder.sh_size) || sym.st_value < holder.sh_addr ||
          sym.st_value - holder.sh_addr > holder.sh_size || sym.st_size > holder.sh_size - (sym.st_value - holder.sh_addr))
        return Fail(why, std::string(name) + " outside its section");
      const std::uint64_t at = holder.sh_offset + (sym.st_value - holder.sh_addr);
      if (!Inside(image, at, sym.st_size)) return Fail(why, std::string(name) + " beyond the file");
      *offset = static_cast<std::size_t>(at);
      *size = static_cast<std::size_t>(sym.st_size);
      return true;
    }
  }
  return Fail(why, std::string("no ") + name);
}

}  // namespace vantrel::win
