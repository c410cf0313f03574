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

#include "identification.h"
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

bool same_target(const ElfFile& a, const ElfFile& b) {
  return a.machine == b.machine && a.elf_class == b.elf_class && a.data == b.data;
}

std::string describe_target(const ElfFile& f, const Messages& tr) {
  const char* form =
      f.elf_class == ELFCLASS64
          ? (f.data == ELFDATA2MSB ? N_("%s 64-bit big-endian") : N_("%s 64-bit little-endian"))
          : (f.data == ELFDATA2MSB ? N_("%s 32-bit big-endian") : N_("%s 32-bit little-endian"));
  return qxcore::format(tr(form), machine_name(f.machine).c_str());
}

/// The plug-in of another machine is the wrong file, not a wrong build: the
/// board's is in its bundle.
bool check_plugin_target(const ElfFile& plugin, const ElfFile& program, const Messages& tr,
                         std::vector<LoadProblem>& out) {
  if (same_target(plugin, program)) return true;
  const bool board =
      program.machine == EM_MIPS && program.elf_class == ELFCLASS32 && program.data == ELFDATA2LSB;
  out.push_back(
      {"machine",
       qxcore::format(tr(N_("the plug-in is built for %s, the controller for %s")),
                      describe_target(plugin, tr).c_str(), describe_target(program, tr).c_str()),
       board ? tr(N_("use the board's plug-in: --plugin <bundle>/qx7540pm.so"))
             : qxcore::format(tr(N_("use a plug-in built for %s: --plugin FILE (or build one with "
                                    "the controller's SDK)")),
                              describe_target(program, tr).c_str())});
  return false;
}

void check_mips(const ElfFile& plugin, const ElfFile& program, const Messages& tr,
                std::vector<LoadProblem>& out) {
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

/// What the loader sees of the controller: its program and the objects of its
/// machine and class, by name. A file of another machine or class cannot be
/// the controller's: it is named, and left out of every other check.
struct Process {
  std::vector<const ElfFile*> objects;
  std::map<std::string, const ElfFile*> by_name;
  /// Libraries the objects need that nobody gave, with an object that needs each.
  std::map<std::string, std::string> not_given;
};

/// The dynamic loader itself is the system's: never a library to give.
bool is_loader(const std::string& name) {
  return name.compare(0, 3, "ld-") == 0 || name.compare(0, 5, "ld.so") == 0;
}

Process process_of(const Controller& controller, const Messages& tr,
                   std::vector<LoadProblem>& out) {
  Process process;
  process.objects.push_back(&controller.program);
  for (const ElfFile& object : controller.objects) {
    if (same_target(object, controller.program)) {
      process.objects.push_back(&object);
      continue;
    }
    out.push_back({"foreign-file",
                   qxcore::format(tr(N_("%s is built for %s, the controller for %s: it is not the "
                                        "controller's")),
                                  object.path.c_str(), describe_target(object, tr).c_str(),
                                  describe_target(controller.program, tr).c_str()),
                   tr(N_("give the controller's own file"))});
  }
  for (const ElfFile* object : process.objects) process.by_name.emplace(name_of(*object), object);
  for (const ElfFile* object : process.objects) {
    for (const std::string& library : object->needed) {
      if (process.by_name.count(library) == 0 && !is_loader(library))
        process.not_given.emplace(library, name_of(*object));
    }
  }
  for (const auto& library : process.not_given) {
    out.push_back({"not-given",
                   qxcore::format(tr(N_("%s, which %s needs, was not given: what it provides "
                                        "cannot be checked")),
                                  library.first.c_str(), library.second.c_str()),
                   tr(N_("give it with --lib FILE")), LoadProblem::kUnchecked});
  }
  return process;
}

// Libraries: each the plug-in needs must be in the process (the loader
// would look for one that is not on the board's library path).
void check_libraries(const ElfFile& plugin, const Process& process, const Messages& tr,
                     std::vector<LoadProblem>& out) {
  std::set<std::string> missing(plugin.needed.begin(), plugin.needed.end());
  for (const std::string& library : missing) {
    // One a given file needs as well is in the process: it was only not given.
    if (process.by_name.count(library) != 0 || process.not_given.count(library) != 0) continue;
    out.push_back(
        {"library",
         qxcore::format(tr(N_("the controller has not loaded %s, which the plug-in needs")),
                        library.c_str()),
         tr(N_("give it with --lib FILE, or check that the board's library path carries it"))});
  }
}

// Symbol versions: each from its library, which must define it.
void check_symbol_versions(const ElfFile& plugin, const Process& process, const Messages& tr,
                           std::vector<LoadProblem>& out) {
  std::map<std::string, std::vector<std::string>> short_versions;  // "lib version" -> symbols
  for (const Symbol& symbol : plugin.symbols) {
    if (symbol.defined || symbol.version.empty() || symbol.weak) continue;
    const auto library = process.by_name.find(symbol.library);
    if (library == process.by_name.end()) continue;
    const std::vector<std::string>& have = library->second->version_definitions;
    if (std::find(have.begin(), have.end(), symbol.version) == have.end()) {
      short_versions[symbol.library + " " + symbol.version].push_back(demangle(symbol.name));
    }
  }
  for (const auto& entry : short_versions) {
    const std::string library = entry.first.substr(0, entry.first.find(' '));
    const std::string version = entry.first.substr(entry.first.find(' ') + 1);
    out.push_back(
        {"symbol-version",
         qxcore::format(
             tr(N_("the controller's %s (%s) has no version %s, which the plug-in needs for %s")),
             library.c_str(), process.by_name.at(library)->path.c_str(), version.c_str(),
             joined(entry.second, 4, tr).c_str()),
         qxcore::format(tr(N_("%s: its sysroot holds the controller's own %s")), tr(kSdkFix),
                        library.c_str())});
  }
}

/// The plug-in's unversioned symbols (jsoncpp, the framework) that no object
/// defines, and those defined only in the other std::string ABI's spelling.
struct Unresolved {
  std::vector<std::string> missing, other_abi;
  bool controller_old_abi = false;
};

Unresolved unresolved_symbols(const ElfFile& plugin, const Process& process) {
  std::set<std::string> defined;
  std::map<std::string, std::string> by_abi_free_name;  // spelling-free name -> demangled name
  for (const ElfFile* object : process.objects) {
    for (const Symbol& symbol : object->symbols) {
      if (!symbol.defined || !symbol.default_version) continue;
      defined.insert(symbol.name);
      if (symbol.name.compare(0, 2, "_Z") == 0) {
        const std::string text = demangle(symbol.name);
        by_abi_free_name.emplace(without_string_abi(text), text);
      }
    }
  }
  Unresolved result;
  for (const Symbol& symbol : plugin.symbols) {
    if (symbol.defined || !symbol.version.empty() || symbol.weak || defined.count(symbol.name)) {
      continue;
    }
    const std::string text = demangle(symbol.name);
    const auto twin = by_abi_free_name.find(without_string_abi(text));
    if (twin != by_abi_free_name.end() && twin->second != text) {
      result.other_abi.push_back(text);
      result.controller_old_abi = text.find("__cxx11") != std::string::npos;
    } else {
      result.missing.push_back(text);
    }
  }
  return result;
}

void check_symbols(const ElfFile& plugin, const Process& process, const Messages& tr,
                   std::vector<LoadProblem>& out) {
  const Unresolved symbols = unresolved_symbols(plugin, process);
  if (!symbols.other_abi.empty()) {
    out.push_back(
        {"string-abi",
         qxcore::format(tr(symbols.controller_old_abi
                               ? N_("the controller was built with the old std::string ABI "
                                    "(-D_GLIBCXX_USE_CXX11_ABI=0), the plug-in with the other: %s")
                               : N_("the controller was built with the C++11 std::string ABI, "
                                    "the plug-in with the other: %s")),
                        joined(symbols.other_abi, 3, tr).c_str()),
         symbols.controller_old_abi ? tr(N_("build the plug-in with -DQX_OLD_STRING_ABI=ON "
                                            "(README, \"Building with the controller's SDK\")"))
                                    : tr(N_("build the plug-in without QX_OLD_STRING_ABI"))});
  }
  if (symbols.missing.empty()) return;
  if (!process.not_given.empty()) {
    // They may well be in a library the controller loads and nobody gave.
    out.push_back(
        {"symbols",
         qxcore::format(tr(N_("no object given provides %zu symbol(s) the plug-in uses (%s): "
                              "they may come from a library not given")),
                        symbols.missing.size(), joined(symbols.missing, 3, tr).c_str()),
         tr(N_("give the libraries not given with --lib FILE")), LoadProblem::kUnchecked});
    return;
  }
  std::string version, soname = "libjsoncpp.so";
  built_jsoncpp(plugin, version, soname);
  const bool jsoncpp =
      std::any_of(symbols.missing.begin(), symbols.missing.end(),
                  [](const std::string& name) { return name.find("Json::") != std::string::npos; });
  out.push_back(
      {"symbols",
       qxcore::format(
           tr(N_("no object of the controller provides %zu symbol(s) the plug-in uses: %s")),
           symbols.missing.size(), joined(symbols.missing, 6, tr).c_str()),
       jsoncpp ? qxcore::format(tr(N_("the controller must carry jsoncpp (%s) and the framework "
                                      "library; give them with --lib FILE, or %s against the "
                                      "controller's own jsoncpp")),
                                soname.c_str(), tr(kSdkFix))
               : tr(N_("the controller's framework library must provide them; give it with "
                       "--lib FILE"))});
}

/// A jsoncpp's version where its file tells it: the file's full name
/// (libjsoncpp.so.1.9.4); empty otherwise.
std::string jsoncpp_version_of(const ElfFile& library) {
  auto version_in = [](const std::string& path) {
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const std::string prefix = "libjsoncpp.so.";
    if (name.compare(0, prefix.size(), prefix) != 0) return std::string();
    const std::string version = name.substr(prefix.size());
    return std::count(version.begin(), version.end(), '.') == 2 ? version : std::string();
  };
  // The file given or mapped, else the one its name links to (libjsoncpp.so.24).
  const std::string named = version_in(library.path);
  if (!named.empty()) return named;
  char real[PATH_MAX];
  return ::realpath(library.path.c_str(), real) != nullptr ? version_in(real) : std::string();
}

// The plug-in takes jsoncpp's classes from the controller: another soname is
// another interface; another version of the same soname may lay them out
// differently all the same.
void check_jsoncpp(const ElfFile& plugin, const Process& process, const Messages& tr,
                   std::vector<LoadProblem>& out) {
  std::string built_version, built_soname;
  if (!built_jsoncpp(plugin, built_version, built_soname)) return;
  for (const ElfFile* object : process.objects) {
    if (object->soname.compare(0, 10, "libjsoncpp") != 0) continue;
    if (object->soname != built_soname) {
      out.push_back(
          {"jsoncpp",
           qxcore::format(tr(N_("the plug-in was built against jsoncpp %s (%s), the controller "
                                "carries %s (%s)")),
                          built_version.c_str(), built_soname.c_str(), object->soname.c_str(),
                          object->path.c_str()),
           tr(N_("rebuild the plug-in with the controller's SDK (INSTALL, \"Rebuilding with the "
                 "controller's SDK\")"))});
      return;
    }
    const std::string version = jsoncpp_version_of(*object);
    if (!version.empty() && version != built_version) {
      out.push_back(
          {"jsoncpp",
           qxcore::format(tr(N_("the plug-in was built against jsoncpp %s, the controller carries "
                                "%s of the same soname (%s): their classes may differ")),
                          built_version.c_str(), version.c_str(), built_soname.c_str()),
           tr(N_("rebuild the plug-in with the controller's SDK to be sure")),
           LoadProblem::kWarning});
    }
    return;
  }
}

}  // namespace

bool will_load(const std::vector<LoadProblem>& problems) {
  return std::none_of(problems.begin(), problems.end(),
                      [](const LoadProblem& p) { return p.severity == LoadProblem::kRefuses; });
}

const char* severity_name(LoadProblem::Severity severity) {
  switch (severity) {
    case LoadProblem::kWarning:
      return "warning";
    case LoadProblem::kUnchecked:
      return "unchecked";
    default:
      return "refuses";
  }
}

bool built_jsoncpp(const ElfFile& plugin, std::string& version, std::string& soname) {
  const Note* note = find_note(plugin, qx7540pm::kVersionNoteName, qx7540pm::kJsoncppNoteType);
  if (note == nullptr) return false;
  const std::string text(note->desc.begin(), std::find(note->desc.begin(), note->desc.end(), '\0'));
  std::istringstream words(text);
  std::string name;
  return static_cast<bool>(words >> name >> version >> soname) && name == "jsoncpp";
}

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

std::vector<LoadProblem> check_load(const ElfFile& plugin, const Controller& controller,
                                    Translate translate) {
  const Messages tr(translate);
  std::vector<LoadProblem> problems;
  if (!check_plugin_target(plugin, controller.program, tr, problems)) return problems;
  check_mips(plugin, controller.program, tr, problems);
  const Process process = process_of(controller, tr, problems);
  check_libraries(plugin, process, tr, problems);
  check_symbol_versions(plugin, process, tr, problems);
  check_symbols(plugin, process, tr, problems);
  check_jsoncpp(plugin, process, tr, problems);
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
