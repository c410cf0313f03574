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

/// One reason the plug-in will not load, and what to do about it.
struct LoadProblem {
  std::string check;    ///< machine, isa, fp-abi, nan, library, symbol-version, string-abi, symbols
  std::string problem;  ///< what differs, naming files, versions and symbols
  std::string fix;      ///< what makes it load
};

/// The controller as the loader sees it: its program and every object in its
/// process (or given as its libraries).
struct Controller {
  ElfFile program;
  std::vector<ElfFile> objects;
};

/// A message's text in the reader's language (gettext's form).
using Translate = const char* (*)(const char* message);

/// Every problem; none means the plug-in will load. Problems and fixes are
/// worded in English, or through `translate` for a person to read.
std::vector<LoadProblem> check_load(const ElfFile& plugin, const Controller& controller,
                                    Translate translate = nullptr);

/// The files mapped into a process (/proc/PID/maps; "self" for this one),
/// each once, in order, without the program itself.
std::vector<std::string> mapped_files(const std::string& pid);

/// The program of a process ("self" for this one); empty when it cannot be read.
std::string program_of(const std::string& pid);

/// "mips32r2", "mips32", "mips1" ... for a MIPS object; empty otherwise.
std::string mips_isa_name(const ElfFile& file);

}  // namespace qxelf
