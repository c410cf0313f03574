#include "qxelf/elf_file.h"

#include <elf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxelf {
namespace {

#ifndef SHT_MIPS_ABIFLAGS
constexpr unsigned SHT_MIPS_ABIFLAGS = 0x7000002a;
#endif

/// The file descriptor and libelf's handle of one open file, closed together.
class OpenElf {
 public:
  explicit OpenElf(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ >= 0 && elf_version(EV_CURRENT) != EV_NONE) {
      elf_ = elf_begin(fd_, ELF_C_READ_MMAP, nullptr);
    }
  }
  ~OpenElf() {
    if (elf_ != nullptr) elf_end(elf_);
    if (fd_ >= 0) ::close(fd_);
  }
  OpenElf(const OpenElf&) = delete;
  OpenElf& operator=(const OpenElf&) = delete;

  int fd() const { return fd_; }
  Elf* elf() const { return elf_; }

 private:
  int fd_;
  Elf* elf_ = nullptr;
};

std::string string_at(Elf* elf, std::size_t section, std::size_t offset) {
  const char* text = elf_strptr(elf, section, offset);
  return text != nullptr ? std::string(text) : std::string();
}

void read_notes(Elf* elf, ElfFile& file) {
  std::size_t count = 0;
  if (elf_getphdrnum(elf, &count) != 0) return;
  for (std::size_t i = 0; i < count; ++i) {
    GElf_Phdr segment;
    if (gelf_getphdr(elf, static_cast<int>(i), &segment) == nullptr || segment.p_type != PT_NOTE) {
      continue;
    }
    Elf_Data* data =
        elf_getdata_rawchunk(elf, static_cast<off_t>(segment.p_offset), segment.p_filesz,
                             segment.p_align == 8 ? ELF_T_NHDR8 : ELF_T_NHDR);
    if (data == nullptr) continue;
    GElf_Nhdr header;
    std::size_t name_at = 0;
    std::size_t desc_at = 0;
    for (std::size_t at = 0; (at = gelf_getnote(data, at, &header, &name_at, &desc_at)) > 0;) {
      const char* base = static_cast<const char*>(data->d_buf);
      Note note;
      note.owner.assign(base + name_at, ::strnlen(base + name_at, header.n_namesz));
      note.type = header.n_type;
      note.desc.assign(base + desc_at, base + desc_at + header.n_descsz);
      file.notes.push_back(note);
    }
  }
}

/// Version index -> name, from the definitions and the needs; fills both lists.
void read_versions(Elf* elf, Elf_Scn* verdef, Elf_Scn* verneed, ElfFile& file,
                   std::map<unsigned, VersionNeed>& names) {
  GElf_Shdr header;
  if (verdef != nullptr && gelf_getshdr(verdef, &header) != nullptr) {
    Elf_Data* data = elf_getdata(verdef, nullptr);
    std::size_t at = 0;
    for (std::size_t n = 0; data != nullptr && n < header.sh_info; ++n) {
      GElf_Verdef def;
      GElf_Verdaux aux;
      if (gelf_getverdef(data, static_cast<int>(at), &def) == nullptr ||
          gelf_getverdaux(data, static_cast<int>(at + def.vd_aux), &aux) == nullptr) {
        break;
      }
      const std::string name = string_at(elf, header.sh_link, aux.vda_name);
      names[def.vd_ndx].version = name;
      if ((def.vd_flags & VER_FLG_BASE) == 0) file.version_definitions.push_back(name);
      if (def.vd_next == 0) break;
      at += def.vd_next;
    }
  }
  if (verneed != nullptr && gelf_getshdr(verneed, &header) != nullptr) {
    Elf_Data* data = elf_getdata(verneed, nullptr);
    std::size_t at = 0;
    for (std::size_t n = 0; data != nullptr && n < header.sh_info; ++n) {
      GElf_Verneed need;
      if (gelf_getverneed(data, static_cast<int>(at), &need) == nullptr) break;
      const std::string library = string_at(elf, header.sh_link, need.vn_file);
      std::size_t aux_at = at + need.vn_aux;
      for (unsigned k = 0; k < need.vn_cnt; ++k) {
        GElf_Vernaux aux;
        if (gelf_getvernaux(data, static_cast<int>(aux_at), &aux) == nullptr) break;
        VersionNeed wanted;
        wanted.library = library;
        wanted.version = string_at(elf, header.sh_link, aux.vna_name);
        wanted.weak = (aux.vna_flags & VER_FLG_WEAK) != 0;
        names[aux.vna_other] = wanted;
        file.version_needs.push_back(wanted);
        if (aux.vna_next == 0) break;
        aux_at += aux.vna_next;
      }
      if (need.vn_next == 0) break;
      at += need.vn_next;
    }
  }
}

void read_symbols(Elf* elf, Elf_Scn* dynsym, Elf_Scn* versym,
                  const std::map<unsigned, VersionNeed>& names, ElfFile& file) {
  GElf_Shdr header;
  if (dynsym == nullptr || gelf_getshdr(dynsym, &header) == nullptr || header.sh_entsize == 0) {
    return;
  }
  Elf_Data* symbols = elf_getdata(dynsym, nullptr);
  Elf_Data* versions = versym != nullptr ? elf_getdata(versym, nullptr) : nullptr;
  const std::size_t count = header.sh_size / header.sh_entsize;
  for (std::size_t i = 1; symbols != nullptr && i < count; ++i) {
    GElf_Sym sym;
    if (gelf_getsym(symbols, static_cast<int>(i), &sym) == nullptr) break;
    const unsigned bind = GELF_ST_BIND(sym.st_info);
    if (bind == STB_LOCAL || sym.st_name == 0) continue;
    Symbol symbol;
    symbol.name = string_at(elf, header.sh_link, sym.st_name);
    symbol.defined = sym.st_shndx != SHN_UNDEF;
    symbol.weak = bind == STB_WEAK;
    if (symbol.defined && GELF_ST_VISIBILITY(sym.st_other) != STV_DEFAULT &&
        GELF_ST_VISIBILITY(sym.st_other) != STV_PROTECTED) {
      continue;
    }
    GElf_Versym index = 0;
    if (versions != nullptr && gelf_getversym(versions, static_cast<int>(i), &index) != nullptr) {
      symbol.default_version = (index & 0x8000) == 0;
      const auto name = names.find(index & 0x7fffu);
      if ((index & 0x7fffu) > 1 && name != names.end()) {
        symbol.version = name->second.version;
        if (!symbol.defined) symbol.library = name->second.library;
      }
    }
    file.symbols.push_back(symbol);
  }
}

void read_dynamic(Elf* elf, Elf_Scn* dynamic, ElfFile& file) {
  GElf_Shdr header;
  if (dynamic == nullptr || gelf_getshdr(dynamic, &header) == nullptr || header.sh_entsize == 0) {
    return;
  }
  Elf_Data* data = elf_getdata(dynamic, nullptr);
  const std::size_t count = header.sh_size / header.sh_entsize;
  for (std::size_t i = 0; data != nullptr && i < count; ++i) {
    GElf_Dyn entry;
    if (gelf_getdyn(data, static_cast<int>(i), &entry) == nullptr || entry.d_tag == DT_NULL) break;
    if (entry.d_tag == DT_NEEDED) {
      file.needed.push_back(string_at(elf, header.sh_link, entry.d_un.d_val));
    } else if (entry.d_tag == DT_SONAME) {
      file.soname = string_at(elf, header.sh_link, entry.d_un.d_val);
    }
  }
}

void read_mips_abiflags(Elf_Scn* section, ElfFile& file) {
  Elf_Data* data = section != nullptr ? elf_rawdata(section, nullptr) : nullptr;
  // Elf_MIPS_ABIFlags_v0: version (2 bytes), isa_level, isa_rev, gpr_size,
  // cpr1_size, cpr2_size, fp_abi; single bytes need no byte-order conversion.
  if (data == nullptr || data->d_size < 8) return;
  const unsigned char* bytes = static_cast<const unsigned char*>(data->d_buf);
  file.mips.present = true;
  file.mips.isa_level = bytes[2];
  file.mips.isa_rev = bytes[3];
  file.mips.fp_abi = bytes[7];
}

}  // namespace

bool read_elf_file(const std::string& path, ElfFile& file, std::string& error) {
  file = ElfFile();
  file.path = path;
  OpenElf open(path);
  if (open.fd() < 0) {
    error = qxcore::format(_("cannot open %s: %s"), path.c_str(), std::strerror(errno));
    return false;
  }
  if (open.elf() == nullptr || elf_kind(open.elf()) != ELF_K_ELF) {
    error = qxcore::format(_("%s is not an ELF file"), path.c_str());
    return false;
  }
  Elf* elf = open.elf();
  GElf_Ehdr ehdr;
  if (gelf_getehdr(elf, &ehdr) == nullptr) {
    error = path + ": " + elf_errmsg(-1);
    return false;
  }
  file.elf_class = ehdr.e_ident[EI_CLASS];
  file.data = ehdr.e_ident[EI_DATA];
  file.type = ehdr.e_type;
  file.machine = ehdr.e_machine;
  file.flags = ehdr.e_flags;
  read_notes(elf, file);

  Elf_Scn* dynsym = nullptr;
  Elf_Scn* versym = nullptr;
  Elf_Scn* verdef = nullptr;
  Elf_Scn* verneed = nullptr;
  Elf_Scn* dynamic = nullptr;
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr) continue;
    switch (header.sh_type) {
      case SHT_DYNSYM:
        dynsym = section;
        break;
      case SHT_GNU_versym:
        versym = section;
        break;
      case SHT_GNU_verdef:
        verdef = section;
        break;
      case SHT_GNU_verneed:
        verneed = section;
        break;
      case SHT_DYNAMIC:
        dynamic = section;
        break;
      case SHT_MIPS_ABIFLAGS:
        read_mips_abiflags(section, file);
        break;
      default:
        break;
    }
  }
  std::map<unsigned, VersionNeed> version_names;
  read_versions(elf, verdef, verneed, file, version_names);
  read_symbols(elf, dynsym, versym, version_names, file);
  read_dynamic(elf, dynamic, file);
  return true;
}

const Note* find_note(const ElfFile& file, const std::string& owner, std::uint32_t type) {
  for (const Note& note : file.notes) {
    if (note.owner == owner && note.type == type) return &note;
  }
  return nullptr;
}

std::string build_id_of(const ElfFile& file) {
  const Note* note = find_note(file, "GNU", NT_GNU_BUILD_ID);
  return note == nullptr ? std::string() : qxcore::hex_text(note->desc, false);
}

std::string machine_name(unsigned machine) {
  switch (machine) {
    case EM_MIPS:
      return "MIPS";
    case EM_X86_64:
      return "x86-64";
    case EM_386:
      return "i386";
    case EM_ARM:
      return "ARM";
    case EM_AARCH64:
      return "AArch64";
    case EM_PPC:
      return "PowerPC";
    case EM_RISCV:
      return "RISC-V";
    default:
      return "machine " + std::to_string(machine);
  }
}

}  // namespace qxelf
