// What the bench and the host library read from ELF files (the plug-in, a
// controller program and its libraries): the header and MIPS ABI flags, the
// notes, the dynamic section and the dynamic symbols with their versions.
// Read with elfutils' libelf, for either class and either byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxelf {

/// One note of a PT_NOTE segment.
struct Note {
  std::string owner;  ///< the name without its terminating zero
  std::uint32_t type = 0;
  std::vector<unsigned char> desc;
};

/// One dynamic symbol, with the version it is bound to or defines.
struct Symbol {
  std::string name;
  std::string version;  ///< empty: unversioned
  std::string
      library;  ///< for an undefined versioned symbol: the library its version is needed from
  bool defined = false;
  bool weak = false;
  bool default_version = true;  ///< false for a defined symbol's hidden (@, not @@) version
};

/// A symbol version the file needs, and from which library.
struct VersionNeed {
  std::string library;  ///< e.g. libstdc++.so.6
  std::string version;  ///< e.g. GLIBCXX_3.4.21
  bool weak = false;
};

/// The MIPS ABI flags (.MIPS.abiflags); present only in MIPS objects that carry them.
struct MipsAbiFlags {
  bool present = false;
  unsigned isa_level = 0;  ///< 1..5, 32 or 64
  unsigned isa_rev = 0;    ///< 0, 2, 6 ...
  unsigned fp_abi = 0;     ///< Val_GNU_MIPS_ABI_FP_*
};

struct ElfFile {
  std::string path;
  unsigned elf_class = 0;  ///< ELFCLASS32 or ELFCLASS64
  unsigned data = 0;       ///< ELFDATA2LSB or ELFDATA2MSB
  unsigned type = 0;       ///< ET_EXEC, ET_DYN ...
  unsigned machine = 0;    ///< EM_*
  std::uint32_t flags = 0;
  MipsAbiFlags mips;
  std::string soname;
  std::vector<std::string> needed;
  std::vector<Note> notes;
  std::vector<Symbol> symbols;
  std::vector<std::string>
      version_definitions;  ///< the versions the file defines (not its own name)
  std::vector<VersionNeed> version_needs;
};

/// Reads the file; false with a message for what cannot be read or is no ELF file.
bool read_elf_file(const std::string& path, ElfFile& file, std::string& error);

/// The descriptor of the first note of this owner and type; nullptr when there is none.
const Note* find_note(const ElfFile& file, const std::string& owner, std::uint32_t type);

/// The GNU build-id in lower-case hex; empty when the file has none.
std::string build_id_of(const ElfFile& file);

/// "MIPS", "x86-64", ... (the number for others).
std::string machine_name(unsigned machine);

}  // namespace qxelf
