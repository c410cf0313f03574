// Will a controller load this plug-in? Every reason the dynamic loader or the
// processor would refuse it, found from the files alone: the machine and
// class, the MIPS ISA level, floating-point ABI and NaN encoding, the
// libraries and symbol versions it needs, the symbols it expects the
// controller to provide (jsoncpp, the framework), and the std::string ABI.
#pragma once

#include <string>
#include <vector>

#include "qxelf/elf_file.h"

namespace qxelf {

/// One reason the plug-in will not load, or what to look at although it will,
/// and what to do about it.
struct LoadProblem {
  /// machine, foreign-file, isa, fp-abi, nan, library, symbol-version,
  /// string-abi, symbols, jsoncpp, not-given
  std::string check;
  std::string problem;  ///< what differs, naming files, versions and symbols
  std::string fix;      ///< what makes it load
  enum Severity {
    kRefuses,   ///< the loader or the processor would refuse the plug-in
    kWarning,   ///< it loads, but may not behave (jsoncpp of another version)
    kUnchecked  ///< a file the verdict depends on was not given
  };
  Severity severity = kRefuses;
};

/// No problem refuses the plug-in: it will load, as far as the files show.
bool will_load(const std::vector<LoadProblem>& problems);
/// "refuses", "warning", "unchecked": the severity as --json names it.
const char* severity_name(LoadProblem::Severity severity);

/// The controller as the loader sees it: its program and every object in its
/// process (or given as its libraries).
struct Controller {
  ElfFile program;
  std::vector<ElfFile> objects;
};

/// A message's text in the reader's language (gettext's form).
using Translate = const char* (*)(const char* message);

/// Every problem; none that refuses means the plug-in will load. Problems and
/// fixes are worded in English, or through `translate` for a person to read.
/// The given objects' own NEEDED entries are followed among the objects: one
/// nobody gave is reported as not given (it cannot be checked), never as a
/// verdict against the controller.
std::vector<LoadProblem> check_load(const ElfFile& plugin, const Controller& controller,
                                    Translate translate = nullptr);

/// The files mapped into a process (/proc/PID/maps; "self" for this one),
/// each once, in order, without the program itself.
std::vector<std::string> mapped_files(const std::string& pid);

/// The program of a process ("self" for this one); empty when it cannot be read.
std::string program_of(const std::string& pid);

/// "mips32r2", "mips32", "mips1" ... for a MIPS object; empty otherwise.
std::string mips_isa_name(const ElfFile& file);

/// The jsoncpp a plug-in was built against, from its note: version and soname
/// ("1.9.5", "libjsoncpp.so.25"); false for a plug-in without the note.
bool built_jsoncpp(const ElfFile& plugin, std::string& version, std::string& soname);

}  // namespace qxelf
