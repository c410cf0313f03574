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
  if (check == "foreign-file") return C_("load check", "foreign-file");
  if (check == "jsoncpp") return C_("load check", "jsoncpp");
  if (check == "not-given") return C_("load check", "not-given");
  return check.c_str();
}

/// The plug-in given as an argument must not be one a --lib could have meant:
/// "--lib A B" names a library A and a plug-in B, or two libraries.
void check_plugin_arguments(const CLI::App& preflight, const CLI::Option* lib,
                            const CLI::Option* positional, const CLI::Option* plugin_option,
                            const std::vector<std::string>& arguments) {
  if (arguments.empty()) return;
  if (arguments.size() > 1) {
    throw CLI::ValidationError(
        "preflight", qxcore::format(_("more than one plug-in given (%s ...): give each library "
                                      "with a --lib of its own"),
                                    arguments[0].c_str()));
  }
  if (plugin_option->count() > 0) {
    throw CLI::ValidationError("preflight",
                               _("the plug-in is given twice: as --plugin and as an argument"));
  }
  const std::vector<CLI::Option*> order = preflight.parse_order();
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (order[i] == positional && order[i - 1] == lib) {
      throw CLI::ValidationError(
          "preflight",
          qxcore::format(_("%s follows a --lib: is it a library or the plug-in? Give the plug-in "
                           "with --plugin FILE (or before the options), each library with a "
                           "--lib of its own"),
                         arguments[0].c_str()));
    }
  }
}

void print_json(const std::string& plugin_path, const qxelf::ElfFile& plugin,
                const qxelf::Controller& controller,
                const std::vector<qxelf::LoadProblem>& problems) {
  Json::Value out(Json::objectValue);
  out["plugin"] = plugin_path;
  out["build_id"] = qxelf::build_id_of(plugin);
  out["controller"] = controller.program.path;
  out["objects"] = static_cast<Json::UInt>(controller.objects.size());
  out["will_load"] = qxelf::will_load(problems);
  out["reasons"] = Json::Value(Json::arrayValue);
  for (const qxelf::LoadProblem& p : problems) {
    Json::Value reason(Json::objectValue);
    reason["check"] = p.check;
    reason["problem"] = p.problem;
    reason["fix"] = p.fix;
    reason["severity"] = qxelf::severity_name(p.severity);
    out["reasons"].append(reason);
  }
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  std::cout << Json::writeString(writer, out) << "\n";
}

/// The verdict for a person: the reasons that refuse the plug-in, then what
/// to look at although it loads, and what could not be checked.
void print_verdict(const std::string& plugin_path, const qxelf::Controller& controller,
                   const std::vector<qxelf::LoadProblem>& problems) {
  const std::string controller_name =
      qxcore::format(P_("%s (%zu object)", "%s (%zu objects)", controller.objects.size()),
                     controller.program.path.c_str(), controller.objects.size());
  std::cout << qxcore::format(qxelf::will_load(problems) ? _("%s: will load into %s")
                                                         : _("%s: will not load into %s"),
                              plugin_path.c_str(), controller_name.c_str())
            << "\n";
  for (const auto severity : {qxelf::LoadProblem::kRefuses, qxelf::LoadProblem::kWarning,
                              qxelf::LoadProblem::kUnchecked}) {
    for (const qxelf::LoadProblem& p : problems) {
      if (p.severity != severity) continue;
      const char* form = severity == qxelf::LoadProblem::kWarning     ? _("warning, %s: %s")
                         : severity == qxelf::LoadProblem::kUnchecked ? _("not checked, %s: %s")
                                                                      : _("%s: %s");
      std::cout << "  " << qxcore::format(form, check_label(p.check), p.problem.c_str()) << "\n    "
                << qxcore::format(_("fix: %s"), p.fix.c_str()) << "\n";
    }
  }
}

}  // namespace

CLI::App* add_preflight_command(CLI::App& app, PreflightOptions& o, std::string& plugin_path) {
  CLI::App* preflight = app.add_subcommand(
      "preflight", _("Will this controller load this plug-in? Checked from the files alone"));
  auto* pid = preflight->add_option("--pid", o.pid,
                                    _("A running controller: its program and every "
                                      "object in its /proc/PID/maps"));
  auto* exe = preflight->add_option("--exe", o.program, _("The controller's program file"));
  auto* lib = preflight
                  ->add_option("--lib", o.libs,
                               _("A library the controller carries (repeat --lib for each: "
                                 "jsoncpp, the framework, the C and C++ libraries)"))
                  ->needs(exe)
                  ->expected(1)
                  ->allow_extra_args(false)
                  ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  pid->excludes(exe);
  exe->excludes(pid);
  preflight->add_flag("--json", o.json, _("One JSON object: the verdict and each reason"));
  auto* plugin_option =
      preflight->add_option("--plugin", plugin_path,
                            _("Plug-in to check (default: the qx7540pm.so installed or built with "
                              "the bench); or give it as the one argument"));
  auto* positional =
      preflight->add_option(C_("positional", "plugin"), o.plugin_arguments, _("Plug-in to check"));
  preflight->footer(
      _("Checks the machine and class of each file, the MIPS ISA level, floating-point ABI and "
        "NaN encoding, the libraries and C/C++ library symbol versions the plug-in needs, the "
        "symbols it expects from the controller (jsoncpp, the framework), the jsoncpp it was "
        "built against and the std::string ABI. A library a given one needs that was not given "
        "is named as not checked.\n"
        "Exit codes: 0 will load, 1 will not (each reason with its fix), 2 usage or a file that "
        "cannot be read."));
  preflight->callback([preflight, pid, exe, lib, positional, plugin_option, &o, &plugin_path]() {
    if (pid->count() == 0 && exe->count() == 0) {
      throw CLI::ValidationError("preflight", _("give the controller: --pid PID, or --exe FILE"));
    }
    check_plugin_arguments(*preflight, lib, positional, plugin_option, o.plugin_arguments);
    if (!o.plugin_arguments.empty()) plugin_path = o.plugin_arguments.front();
  });
  return preflight;
}

int run_preflight(const PreflightOptions& options, const std::string& plugin_path) {
  qxelf::ElfFile plugin;
  qxelf::Controller controller;
  std::string error;
  if (!qxelf::read_elf_file(plugin_path, plugin, error) ||
      !read_controller(options, controller, error)) {
    std::cerr << qxcore::format(_("%s: %s"), "qx7540pm-bench preflight", error.c_str()) << "\n";
    return kUnusable;
  }
  // Worded in English for --json, which machines read, else in the run's language.
  const std::vector<qxelf::LoadProblem> problems =
      qxelf::check_load(plugin, controller, options.json ? nullptr : &qxi18n::translate);
  const bool loads = qxelf::will_load(problems);
  if (options.json) {
    print_json(plugin_path, plugin, controller, problems);
  } else {
    print_verdict(plugin_path, controller, problems);
  }
  return loads ? kWillLoad : kWillNotLoad;
}

}  // namespace qxbench
