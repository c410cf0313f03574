#include "preflight.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <iostream>

#include <json/value.h>
#include <json/writer.h>

#include "qxelf/elf_file.h"
#include "qxelf/load_check.h"

namespace qxbench {
namespace {

constexpr int kWillLoad = 0;
constexpr int kWillNotLoad = 1;
constexpr int kUnusable = 2;

bool read_controller(const PreflightOptions& options, qxelf::Controller& controller,
                     std::string& error) {
  std::vector<std::string> objects = options.libs;
  std::string program = options.program;
  if (options.pid > 0) {
    const std::string pid = std::to_string(options.pid);
    program = qxelf::program_of(pid);
    if (program.empty()) {
      error = qxcore::format(
          _("cannot read the program of process %s (is it running, and ours to read?)"),
          pid.c_str());
      return false;
    }
    objects = qxelf::mapped_files(pid);
  }
  if (!qxelf::read_elf_file(program, controller.program, error)) return false;
  for (const std::string& path : objects) {
    qxelf::ElfFile object;
    std::string ignored;
    // A process maps data files too (locales, fonts): only ELF objects count.
    if (qxelf::read_elf_file(path, object, options.pid > 0 ? ignored : error)) {
      controller.objects.push_back(object);
    } else if (options.pid == 0) {
      return false;
    }
  }
  return true;
}

/// A check's name for the text verdict; --json keeps the names themselves.
const char* check_label(const std::string& check) {
  if (check == "machine") return C_("load check", "machine");
  if (check == "isa") return C_("load check", "isa");
  if (check == "fp-abi") return C_("load check", "fp-abi");
  if (check == "nan") return C_("load check", "nan");
  if (check == "library") return C_("load check", "library");
  if (check == "symbol-version") return C_("load check", "symbol-version");
  if (check == "string-abi") return C_("load check", "string-abi");
  if (check == "symbols") return C_("load check", "symbols");
  return check.c_str();
}

}  // namespace

CLI::App* add_preflight_command(CLI::App& app, PreflightOptions& o, std::string& plugin_path) {
  CLI::App* preflight = app.add_subcommand(
      "preflight", _("Will this controller load this plug-in? Checked from the files alone"));
  auto* pid = preflight->add_option("--pid", o.pid,
                                    _("A running controller: its program and every "
                                      "object in its /proc/PID/maps"));
  auto* exe = preflight->add_option("--exe", o.program, _("The controller's program file"));
  preflight
      ->add_option("--lib", o.libs,
                   _("A library the controller carries (repeat: jsoncpp, "
                     "the framework, the C and C++ libraries)"))
      ->needs(exe);
  pid->excludes(exe);
  exe->excludes(pid);
  preflight->add_flag("--json", o.json, _("One JSON object: the verdict and each reason"));
  preflight->add_option("--plugin", plugin_path,
                        _("Plug-in to check (default: the qx7540pm.so installed or built with the "
                          "bench)"));
  preflight->footer(
      _("Checks the machine and class, the MIPS ISA level, floating-point ABI and NaN encoding,\n"
        "the libraries and C/C++ library symbol versions the plug-in needs, the symbols it\n"
        "expects from the controller (jsoncpp, the framework) and the std::string ABI.\n"
        "Exit codes: 0 will load, 1 will not (each reason with its fix), 2 usage or a file that\n"
        "cannot be read."));
  preflight->callback([pid, exe]() {
    if (pid->count() == 0 && exe->count() == 0) {
      throw CLI::ValidationError("preflight", _("give the controller: --pid PID, or --exe FILE"));
    }
  });
  return preflight;
}

int run_preflight(const PreflightOptions& options, const std::string& plugin_path) {
  qxelf::ElfFile plugin;
  qxelf::Controller controller;
  std::string error;
  if (!qxelf::read_elf_file(plugin_path, plugin, error) ||
      !read_controller(options, controller, error)) {
    std::cerr << "qx7540pm-bench preflight: " << error << "\n";
    return kUnusable;
  }
  // Worded in English for --json, which machines read, else in the run's language.
  const std::vector<qxelf::LoadProblem> problems =
      qxelf::check_load(plugin, controller, options.json ? nullptr : &qxi18n::translate);
  const std::string controller_name =
      qxcore::format(P_("%s (%zu object)", "%s (%zu objects)", controller.objects.size()),
                     controller.program.path.c_str(), controller.objects.size());
  if (options.json) {
    Json::Value out(Json::objectValue);
    out["plugin"] = plugin_path;
    out["build_id"] = qxelf::build_id_of(plugin);
    out["controller"] = controller.program.path;
    out["objects"] = static_cast<Json::UInt>(controller.objects.size());
    out["will_load"] = problems.empty();
    out["reasons"] = Json::Value(Json::arrayValue);
    for (const qxelf::LoadProblem& p : problems) {
      Json::Value reason(Json::objectValue);
      reason["check"] = p.check;
      reason["problem"] = p.problem;
      reason["fix"] = p.fix;
      out["reasons"].append(reason);
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::cout << Json::writeString(writer, out) << "\n";
  } else if (problems.empty()) {
    std::cout << qxcore::format(_("%s: will load into %s"), plugin_path.c_str(),
                                controller_name.c_str())
              << "\n";
  } else {
    std::cout << qxcore::format(_("%s: will not load into %s"), plugin_path.c_str(),
                                controller_name.c_str())
              << "\n";
    for (const qxelf::LoadProblem& p : problems) {
      std::cout << "  " << qxcore::format(_("%s: %s"), check_label(p.check), p.problem.c_str())
                << "\n    " << qxcore::format(_("fix: %s"), p.fix.c_str()) << "\n";
    }
  }
  return problems.empty() ? kWillLoad : kWillNotLoad;
}

}  // namespace qxbench
