#include "qxhost/identity.h"

#include <dlfcn.h>
#include <link.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "identification.h"

namespace qxhost {
namespace {

constexpr std::string_view kGnuNoteName{"GNU", sizeof "GNU"};

struct Search {
  const link_map* object;
  PluginIdentity* identity;
};

std::size_t align_up(std::size_t size, std::size_t align) {
  return (size + align - 1) / align * align;
}

std::string hex_of(const unsigned char* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < size; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xf];
  }
  return hex;
}

// One PT_NOTE segment: headers, names and descriptions, each entry aligned to
// the segment's alignment (4, or 8 for the 64-bit property notes).
void read_notes(const unsigned char* notes, std::size_t size, std::size_t align,
                PluginIdentity& identity) {
  const std::string_view version_name{qx7540pm::kVersionNoteName,
                                      sizeof qx7540pm::kVersionNoteName};
  std::size_t at = 0;
  while (at < size && size - at >= sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) header;
    std::memcpy(&header, notes + at, sizeof header);
    const std::size_t name_at = at + sizeof header;
    if (header.n_namesz > size - name_at) return;
    const std::size_t desc_at = at + align_up(sizeof header + header.n_namesz, align);
    if (desc_at > size || header.n_descsz > size - desc_at) return;
    const std::string_view name(reinterpret_cast<const char*>(notes + name_at), header.n_namesz);
    const unsigned char* desc = notes + desc_at;
    if (name == kGnuNoteName && header.n_type == qx7540pm::kBuildIdNoteType) {
      identity.build_id = hex_of(desc, header.n_descsz);
    } else if (name == version_name && header.n_type == qx7540pm::kVersionNoteType) {
      const char* text = reinterpret_cast<const char*>(desc);
      identity.version.assign(text, ::strnlen(text, header.n_descsz));
    }
    at += align_up(desc_at - at + header.n_descsz, align);
  }
}

int visit(dl_phdr_info* info, std::size_t, void* data) {
  Search& search = *static_cast<Search*>(data);
  if (info->dlpi_addr != search.object->l_addr ||
      std::strcmp(info->dlpi_name, search.object->l_name) != 0) {
    return 0;
  }
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    read_notes(reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr),
               segment.p_memsz, segment.p_align >= 8 ? 8 : 4, *search.identity);
  }
  return 1;
}

}  // namespace

PluginIdentity identify(void* handle) {
  PluginIdentity identity;
  link_map* object = nullptr;
  if (handle == nullptr || ::dlinfo(handle, RTLD_DI_LINKMAP, &object) != 0 || object == nullptr) {
    return identity;
  }
  Search search{object, &identity};
  ::dl_iterate_phdr(visit, &search);
  return identity;
}

std::string describe(const PluginIdentity& identity) {
  return (identity.version.empty() ? std::string("no version") : "version " + identity.version) +
         ", " +
         (identity.build_id.empty() ? std::string("no build-id") : "build-id " + identity.build_id);
}

}  // namespace qxhost
