#include "plugin_identity.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

#include "report.h"

namespace qxbench {
namespace {

constexpr unsigned char kElfMagic[] = {0x7f, 'E', 'L', 'F'};
constexpr int kClass64 = 2;                // e_ident[EI_CLASS]: ELFCLASS64
constexpr int kBigEndian = 2;              // e_ident[EI_DATA]: ELFDATA2MSB
constexpr std::uint32_t kNoteSegment = 4;  // PT_NOTE
constexpr std::uint32_t kBuildIdNote = 3;  // NT_GNU_BUILD_ID

/// Reads fixed-size fields of the file in its own byte order, 0 past the end.
struct ElfReader {
  const std::vector<unsigned char>& bytes;
  bool big = false;

  std::uint64_t read(std::uint64_t offset, int size) const {
    if (offset > bytes.size() || bytes.size() - offset < static_cast<std::uint64_t>(size)) {
      return 0;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
      const unsigned char b = bytes[offset + static_cast<std::uint64_t>(big ? i : size - 1 - i)];
      value = value << 8 | b;
    }
    return value;
  }
};

/// The descriptor of the GNU build-id note among the notes at [offset, offset+size).
std::string build_id_in(const ElfReader& elf, std::uint64_t offset, std::uint64_t size) {
  const std::uint64_t end = offset + size;
  while (offset + 12 <= end) {
    const std::uint64_t name_size = elf.read(offset, 4);
    const std::uint64_t desc_size = elf.read(offset + 4, 4);
    const std::uint64_t type = elf.read(offset + 8, 4);
    const std::uint64_t name_at = offset + 12;
    const std::uint64_t desc_at = name_at + ((name_size + 3) & ~std::uint64_t{3});
    if (desc_at + desc_size > end || desc_at + desc_size > elf.bytes.size()) break;
    if (type == kBuildIdNote && name_size == 4 &&
        std::string(elf.bytes.begin() + static_cast<long>(name_at),
                    elf.bytes.begin() + static_cast<long>(name_at) + 4) == std::string("GNU", 4)) {
      return to_hex(
          std::vector<unsigned char>(elf.bytes.begin() + static_cast<long>(desc_at),
                                     elf.bytes.begin() + static_cast<long>(desc_at + desc_size)));
    }
    offset = desc_at + ((desc_size + 3) & ~std::uint64_t{3});
  }
  return std::string();
}

}  // namespace

PluginIdentity identify_plugin(const std::string& path) {
  PluginIdentity identity;
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
  if (bytes.size() < 64 || !std::equal(std::begin(kElfMagic), std::end(kElfMagic), bytes.begin())) {
    return identity;
  }
  const bool wide = bytes[4] == kClass64;
  const ElfReader elf{bytes, bytes[5] == kBigEndian};
  // Program headers: where, how many, how large (ELF32 and ELF64 place them apart).
  const std::uint64_t table = elf.read(wide ? 0x20 : 0x1c, wide ? 8 : 4);
  const std::uint64_t entry_size = elf.read(wide ? 0x36 : 0x2a, 2);
  const std::uint64_t entries = elf.read(wide ? 0x38 : 0x2c, 2);
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t header = table + i * entry_size;
    if (elf.read(header, 4) != kNoteSegment) continue;
    const std::uint64_t offset = elf.read(header + (wide ? 8 : 4), wide ? 8 : 4);
    const std::uint64_t size = elf.read(header + (wide ? 32 : 16), wide ? 8 : 4);
    identity.build_id = build_id_in(elf, offset, size);
    if (!identity.build_id.empty()) break;
  }
  return identity;
}

}  // namespace qxbench
