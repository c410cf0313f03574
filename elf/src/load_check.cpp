#include "qxelf/load_check.h"

#include <cxxabi.h>
#include <elf.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxelf {
namespace {

constexpr std::uint32_t kNan2008 = 0x400;  // EF_MIPS_NAN2008
constexpr const char* kSdkFix =
    N_("build the plug-in with the controller's SDK (INSTALL, \"Rebuilding with the controller's "
       "SDK\")");

/// The reasons in the caller's language: English without a translator (the
/// JSON verdict, which machines read).
class Messages {
 public:
  explicit Messages(Translate translate) : translate_(translate) {}
  const char* operator()(const char* message) const {
    return translate_ ? translate_(message) : message;
  }

 private:
  Translate translate_;
};

struct Isa {
  unsigned level = 0;
  unsigned rev = 0;
};

Isa isa_of(const ElfFile& file) {
  if (file.mips.present) return {file.mips.isa_level, file.mips.isa_rev};
  switch (file.flags & EF_MIPS_ARCH) {
    case EF_MIPS_ARCH_1:
      return {1, 0};
    case EF_MIPS_ARCH_2:
      return {2, 0};
    case EF_MIPS_ARCH_3:
      return {3, 0};
    case EF_MIPS_ARCH_4:
      return {4, 0};
    case EF_MIPS_ARCH_5:
      return {5, 0};
    case EF_MIPS_ARCH_32:
      return {32, 1};
    case EF_MIPS_ARCH_64:
      return {64, 1};
    case EF_MIPS_ARCH_32R2:
      return {32, 2};
    case EF_MIPS_ARCH_64R2:
      return {64, 2};
    default:
      return {32, 6};  // E_MIPS_ARCH_32R6 and 64R6, and what is unknown
  }
}

/// Orders the ISA levels a core runs: each runs the ones below it. Release 6
/// removed instructions of earlier releases, so it runs only itself.
int isa_rank(const Isa& isa) {
  if (isa.level == 32 || isa.level == 64)
    return (isa.level == 32 ? 25 : 55) + static_cast<int>(isa.rev);
  return static_cast<int>(isa.level) * 10;
}

const char* fp_abi_name(unsigned fp_abi) {
  switch (fp_abi) {
    case Val_GNU_MIPS_ABI_FP_ANY:
      return N_("any");
    case Val_GNU_MIPS_ABI_FP_DOUBLE:
      return N_("hard float, double precision (-mfp32)");
    case Val_GNU_MIPS_ABI_FP_SINGLE:
      return N_("hard float, single precision");
    case Val_GNU_MIPS_ABI_FP_SOFT:
      return N_("soft float");
    case Val_GNU_MIPS_ABI_FP_64:
      return N_("hard float, 64-bit registers (-mfp64)");
    case Val_GNU_MIPS_ABI_FP_XX:
      return N_("hard float, any FPU (-mfpxx)");
    case Val_GNU_MIPS_ABI_FP_64A:
      return N_("hard float, 64-bit registers, odd singles (-mfp64 -mno-odd-spreg)");
    default:
      return N_("unknown");
  }
}

/// Whether objects of the two FP ABIs link into one process, as the loader judges.
bool fp_abis_mix(unsigned a, unsigned b) {
  if (a == b || a == Val_GNU_MIPS_ABI_FP_ANY || b == Val_GNU_MIPS_ABI_FP_ANY) return true;
  auto hard = [](unsigned abi) {
    return abi == Val_GNU_MIPS_ABI_FP_DOUBLE || abi == Val_GNU_MIPS_ABI_FP_64 ||
           abi == Val_GNU_MIPS_ABI_FP_64A;
  };
  if (a == Val_GNU_MIPS_ABI_FP_XX) return hard(b);
  if (b == Val_GNU_MIPS_ABI_FP_XX) return hard(a);
  return (a == Val_GNU_MIPS_ABI_FP_64 && b == Val_GNU_MIPS_ABI_FP_64A) ||
         (a == Val_GNU_MIPS_ABI_FP_64A && b == Val_GNU_MIPS_ABI_FP_64);
}

std::string demangle(const std::string& name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
  return status == 0 && text ? std::string(text.get()) : name;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

/// A demangled name with either std::string ABI's spelling made the same.
std::string without_string_abi(std::string name) {
  replace_all(name,
              "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >",
              "std::string");
  replace_all(name, "std::__cxx11::", "std::");
  replace_all(name, "[abi:cxx11]", "");
  return name;
}

std::string name_of(const ElfFile& file) {
  if (!file.soname.empty()) return file.soname;
  return file.path.substr(file.path.find_last_of('/') + 1);
}

std::string joined(const std::vector<std::string>& items, std::size_t most, const Messages& tr) {
  std::string text;
  for (std::size_t i = 0; i < items.size() && i < most; ++i) text += (i ? ", " : "") + items[i];
  if (items.size() > most) text += qxcore::format(tr(N_(", ... (%zu in all)")), items.size());
  return text;
}

void check_target(const ElfFile& plugin, const ElfFile& program, const Messages& tr,
                  std::vector<LoadProblem>& out) {
  auto describe = [&tr](const ElfFile& f) {
    const char* form =
        f.elf_class == ELFCLASS64
            ? (f.data == ELFDATA2MSB ? N_("%s 64-bit big-endian") : N_("%s 64-bit little-endian"))
            : (f.data == ELFDATA2MSB ? N_("%s 32-bit big-endian") : N_("%s 32-bit little-endian"));
    return qxcore::format(tr(form), machine_name(f.machine).c_str());
  };
  if (plugin.machine != program.machine || plugin.elf_class != program.elf_class ||
      plugin.data != program.data) {
    out.push_back({"machine",
                   qxcore::format(tr(N_("the plug-in is built for %s, the controller for %s")),
                                  describe(plugin).c_str(), describe(program).c_str()),
                   tr(kSdkFix)});
    return;
  }
  if (plugin.machine != EM_MIPS) return;
  const Isa want = isa_of(plugin);
  const Isa have = isa_of(program);
  const bool r6 = (want.rev >= 6) != (have.rev >= 6);
  const std::string controller_isa = mips_isa_name(program);
  if (r6 || isa_rank(want) > isa_rank(have)) {
    out.push_back(
        {"isa",
         qxcore::format(tr(N_("the plug-in needs %s instructions, the controller is %s: its "
                              "processor may stop it with SIGILL")),
                        mips_isa_name(plugin).c_str(), controller_isa.c_str()),
         qxcore::format(tr(N_("%s and the controller's ISA level, e.g. -march=%s")), tr(kSdkFix),
                        controller_isa.c_str())});
  }
  if (plugin.mips.present && program.mips.present &&
      !fp_abis_mix(plugin.mips.fp_abi, program.mips.fp_abi)) {
    out.push_back(
        {"fp-abi",
         qxcore::format(tr(N_("the plug-in's floating-point ABI is %s, the controller's %s")),
                        tr(fp_abi_name(plugin.mips.fp_abi)), tr(fp_abi_name(program.mips.fp_abi))),
         qxcore::format(tr(N_("%s and the controller's float ABI (-msoft-float, -mhard-float "
                              "with -mfp32, -mfpxx or -mfp64)")),
                        tr(kSdkFix))});
  }
  if ((plugin.flags & kNan2008) != (program.flags & kNan2008)) {
    auto nan = [&tr](const ElfFile& f) {
      return (f.flags & kNan2008) ? "IEEE 754-2008" : tr(N_("legacy"));
    };
    out.push_back({"nan",
                   qxcore::format(tr(N_("the plug-in encodes NaN as %s, the controller as %s")),
                                  nan(plugin), nan(program)),
                   qxcore::format(tr(N_("%s and -mnan=%s")), tr(kSdkFix),
                                  (program.flags & kNan2008) ? "2008" : "legacy")});
  }
}

}  // namespace

std::string program_of(const std::string& pid) {
  char path[PATH_MAX];
  const ssize_t size = ::readlink(("/proc/" + pid + "/exe").c_str(), path, sizeof path - 1);
  return size > 0 ? std::string(path, static_cast<std::size_t>(size)) : std::string();
}

std::string mips_isa_name(const ElfFile& file) {
  if (file.machine != EM_MIPS) return std::string();
  const Isa isa = isa_of(file);
  if (isa.level == 32 || isa.level == 64) {
    return "mips" + std::to_string(isa.level) + (isa.rev > 1 ? "r" + std::to_string(isa.rev) : "");
  }
  return "mips" + std::to_string(isa.level);
}

namespace {

using ByName = std::map<std::string, const ElfFile*>;

/// Libraries: each the plug-in needs must be in the process (the loader
/// would look for one that is not on the board's library path).
void check_libraries(const ElfFile& plugin, const ByName& by_name, const Messages& tr,
                     std::vector<LoadProblem>& problems) {
  std::set<std::string> missing_libraries;
  for (const std::string& library : plugin.needed) {
    if (by_name.count(library) == 0) missing_libraries.insert(library);
  }
  for (const std::string& library : missing_libraries) {
    problems.push_back(
        {"library",
         qxcore::format(tr(N_("the controller has not loaded %s, which the plug-in needs")),
                        library.c_str()),
         tr(N_("give it with --lib FILE, or check that the board's library path carries it"))});
  }
}

/// Symbol versions: each from its library, which must define it.
void check_symbol_versions(const ElfFile& plugin, const ByName& by_name, const Messages& tr,
                           std::vector<LoadProblem>& problems) {
  std::map<std::string, std::vector<std::string>> short_versions;  // "lib version" -> symbols
  for (const Symbol& symbol : plugin.symbols) {
    if (symbol.defined || symbol.version.empty() || symbol.weak) continue;
    const auto library = by_name.find(symbol.library);
    if (library == by_name.end()) continue;
    const std::vector<std::string>& have = library->second->version_definitions;
    if (std::find(have.begin(), have.end(), symbol.version) == have.end()) {
      short_versions[symbol.library + " " + symbol.version].push_back(demangle(symbol.name));
    }
  }
  for (const auto& entry : short_versions) {
    const std::string library = entry.first.substr(0, entry.first.find(' '));
    const std::string version = entry.first.substr(entry.first.find(' ') + 1);
    problems.push_back(
        {"symbol-version",
         qxcore::format(
             tr(N_("the controller's %s (%s) has no version %s, which the plug-in needs for %s")),
             library.c_str(), by_name.at(library)->path.c_str(), version.c_str(),
             joined(entry.second, 4, tr).c_str()),
         qxcore::format(tr(N_("%s: its sysroot holds the controller's own %s")), tr(kSdkFix),
                        library.c_str())});
  }
}

/// Unversioned symbols the plug-in uses that another std::string ABI spells otherwise.
void add_string_abi_problem(const std::vector<std::string>& other_abi, bool controller_old_abi,
                            const Messages& tr, std::vector<LoadProblem>& problems) {
  problems.push_back(
      {"string-abi",
       qxcore::format(tr(controller_old_abi
                             ? N_("the controller was built with the old std::string ABI "
                                  "(-D_GLIBCXX_USE_CXX11_ABI=0), the plug-in with the other: %s")
                             : N_("the controller was built with the C++11 std::string ABI, "
                                  "the plug-in with the other: %s")),
                      joined(other_abi, 3, tr).c_str()),
       controller_old_abi ? tr(N_("build the plug-in with -DQX_OLD_STRING_ABI=ON (README, "
                                  "\"Building with the controller's SDK\")"))
                          : tr(N_("build the plug-in without QX_OLD_STRING_ABI"))});
}

/// Unversioned symbols no object defines.
void add_missing_symbols_problem(const std::vector<std::string>& missing, const Messages& tr,
                                 std::vector<LoadProblem>& problems) {
  const bool jsoncpp = std::any_of(missing.begin(), missing.end(), [](const std::string& name) {
    return name.find("Json::") != std::string::npos;
  });
  problems.push_back(
      {"symbols",
       qxcore::format(
           tr(N_("no object of the controller provides %zu symbol(s) the plug-in uses: %s")),
           missing.size(), joined(missing, 6, tr).c_str()),
       jsoncpp ? qxcore::format(tr(N_("the controller must carry jsoncpp (libjsoncpp.so.25) and "
                                      "the framework library; give them with --lib FILE, or %s "
                                      "against the controller's own jsoncpp")),
                                tr(kSdkFix))
               : tr(N_("the controller's framework library must provide them; give it with "
                       "--lib FILE"))});
}

/// Unversioned symbols (jsoncpp, the framework): some object must define them.
void check_unversioned_symbols(const ElfFile& plugin, const std::vector<const ElfFile*>& objects,
                               const Messages& tr, std::vector<LoadProblem>& problems) {
  std::set<std::string> defined;
  std::map<std::string, std::string> by_abi_free_name;  // spelling-free name -> demangled name
  for (const ElfFile* object : objects) {
    for (const Symbol& symbol : object->symbols) {
      if (!symbol.defined || !symbol.default_version) continue;
      defined.insert(symbol.name);
      if (symbol.name.compare(0, 2, "_Z") == 0) {
        const std::string text = demangle(symbol.name);
        by_abi_free_name.emplace(without_string_abi(text), text);
      }
    }
  }
  std::vector<std::string> missing;
  std::vector<std::string> other_abi;
  bool controller_old_abi = false;
  for (const Symbol& symbol : plugin.symbols) {
    if (symbol.defined || !symbol.version.empty() || symbol.weak || defined.count(symbol.name)) {
      continue;
    }
    const std::string text = demangle(symbol.name);
    const auto twin = by_abi_free_name.find(without_string_abi(text));
    if (twin != by_abi_free_name.end() && twin->second != text) {
      other_abi.push_back(text);
      controller_old_abi = text.find("__cxx11") != std::string::npos;
    } else {
      missing.push_back(text);
    }
  }
  if (!other_abi.empty()) add_string_abi_problem(other_abi, controller_old_abi, tr, problems);
  if (!missing.empty()) add_missing_symbols_problem(missing, tr, problems);
}

}  // namespace

std::vector<LoadProblem> check_load(const ElfFile& plugin, const Controller& controller,
                                    Translate translate) {
  const Messages tr(translate);
  std::vector<LoadProblem> problems;
  check_target(plugin, controller.program, tr, problems);
  if (!problems.empty() && problems.front().check == "machine") return problems;

  std::vector<const ElfFile*> objects{&controller.program};
  for (const ElfFile& object : controller.objects) objects.push_back(&object);
  ByName by_name;
  for (const ElfFile* object : objects) by_name.emplace(name_of(*object), object);

  check_libraries(plugin, by_name, tr, problems);
  check_symbol_versions(plugin, by_name, tr, problems);
  check_unversioned_symbols(plugin, objects, tr, problems);
  return problems;
}

std::vector<std::string> mapped_files(const std::string& pid) {
  std::ifstream maps("/proc/" + pid + "/maps");
  std::vector<std::string> files;
  std::set<std::string> seen{program_of(pid)};
  std::string line;
  while (std::getline(maps, line)) {
    const std::size_t path_at = line.find(" /");
    if (path_at == std::string::npos) continue;
    const std::string path = line.substr(path_at + 1);
    if (path.find(" (deleted)") != std::string::npos || !seen.insert(path).second) continue;
    files.push_back(path);
  }
  return files;
}

}  // namespace qxelf
