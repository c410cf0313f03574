#include "plugin_identity.h"

#include "qxelf/elf_file.h"

namespace qxbench {

PluginIdentity identify_plugin(const std::string& path) {
  PluginIdentity identity;
  qxelf::ElfFile file;
  std::string error;
  if (qxelf::read_elf_file(path, file, error)) identity.build_id = qxelf::build_id_of(file);
  return identity;
}

}  // namespace qxbench
