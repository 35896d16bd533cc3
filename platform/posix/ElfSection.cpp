#include "platform/posix/ElfSection.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <sstream>

bool ReadElfSection(const std::string& path, const std::string& name, std::string* bytes,
                    std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  const std::string file = all.str();

  Elf64_Ehdr header;
  if (file.size() < sizeof header || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
    *error = path + " is not an ELF file";
    return false;
  }
  std::memcpy(&header, file.data(), sizeof header);
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) {
    *error = path + " is not a 64-bit little-endian ELF file";
    return false;
  }
  if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shoff == 0 ||
      header.e_shoff > file.size() ||
      static_cast<uint64_t>(header.e_shnum) * sizeof(Elf64_Shdr) > file.size() - header.e_shoff ||
      header.e_shstrndx >= header.e_shnum) {
    *error = path + " has no readable section table";
    return false;
  }
  auto section = [&](unsigned index) {
    Elf64_Shdr s;
    std::memcpy(&s, file.data() + header.e_shoff + index * sizeof(Elf64_Shdr), sizeof s);
    return s;
  };
  Elf64_Shdr names = section(header.e_shstrndx);
  if (names.sh_offset > file.size() || names.sh_size > file.size() - names.sh_offset) {
    *error = path + " has a broken section name table";
    return false;
  }
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr s = section(i);
    if (s.sh_name >= names.sh_size) continue;
    const char* sectionName = file.data() + names.sh_offset + s.sh_name;
    size_t room = names.sh_size - s.sh_name;
    if (strnlen(sectionName, room) == room || name != sectionName) continue;
    if (s.sh_type == SHT_NOBITS || s.sh_offset > file.size() || s.sh_size > file.size() - s.sh_offset) {
      *error = path + ": section " + name + " lies outside the file";
      return false;
    }
    bytes->assign(file.data() + s.sh_offset, s.sh_size);
    return true;
  }
  *error = path + " has no section " + name;
  return false;
}
