#include "qxhost/identity.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <dlfcn.h>
#include <link.h>

#include <string>

#include "identification.h"
#include "qxelf/elf_file.h"

namespace qxhost {

// Read from the file the loader mapped for this handle (its path in the link
// map), with the one ELF reader the bench shares.
PluginIdentity identify(void* handle) {
  PluginIdentity identity;
  link_map* object = nullptr;
  if (handle == nullptr || ::dlinfo(handle, RTLD_DI_LINKMAP, &object) != 0 || object == nullptr) {
    return identity;
  }
  const std::string path =
      object->l_name != nullptr && object->l_name[0] != '\0' ? object->l_name : "/proc/self/exe";
  qxelf::ElfFile file;
  std::string error;
  if (!qxelf::read_elf_file(path, file, error)) return identity;
  identity.build_id = qxelf::build_id_of(file);
  const qxelf::Note* version =
      qxelf::find_note(file, qx7540pm::kVersionNoteName, qx7540pm::kVersionNoteType);
  if (version != nullptr) {
    const std::string text(version->desc.begin(), version->desc.end());
    identity.version = text.substr(0, text.find('\0'));
  }
  return identity;
}

std::string describe(const PluginIdentity& identity) {
  return (identity.version.empty() ? std::string(_("no version"))
                                   : qxcore::format(_("version %s"), identity.version.c_str())) +
         _(", ") +
         (identity.build_id.empty() ? std::string(_("no build-id"))
                                    : qxcore::format(_("build-id %s"), identity.build_id.c_str()));
}

}  // namespace qxhost
