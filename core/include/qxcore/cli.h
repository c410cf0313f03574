// --help and the errors of a bad command line in the run's language: CLI11's
// own words (its labels, the help and version flags, the default groups, its
// error texts). Our own option texts are marked where
// they are given: app.add_option("--port", port, _("Serial device ..."))->group(C_("option group",
// "Link")).
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "qxi18n/i18n.h"

namespace qxcore {

/// Translates what CLI11 itself writes into `app`'s help and that of its
/// subcommands. Call after qxi18n::init() and after every option and subcommand is
/// declared, before parsing.
inline void localize_help(CLI::App& app) {
  static const char* const kLabels[] = {
      N_("Usage"),    N_("OPTIONS"), N_("SUBCOMMAND"), N_("SUBCOMMANDS"), N_("Positionals"),
      N_("REQUIRED"), N_("Needs"),   N_("Excludes"),   N_("Env"),
  };
  const std::string options_group = "Options";  // CLI11's defaults
  const std::string subcommands_group = "Subcommands";
  const auto formatter = app.get_formatter();
  for (const char* label : kLabels) formatter->label(label, qxi18n::translate(label));
  if (CLI::Option* help = app.get_help_ptr()) {
    help->description(_("Print this help message and exit"));
  }
  if (CLI::Option* version = app.get_version_ptr()) {
    version->description(_("Display program version information and exit"));
  }
  for (CLI::Option* option : app.get_options()) {
    if (option->get_group() == options_group) option->group(_("Options"));
  }
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    if (sub->get_group() == subcommands_group) sub->group(_("Subcommands"));
    localize_help(*sub);
  }
}

/// One of CLI11's error texts (e.what()) in the run's language, the option
/// names and values it quotes kept; a text of another form as it is.
std::string translate_cli_error(const std::string& what);

/// For app.failure_message(): the error in the run's language and the hint
/// to run --help.
std::string failure_message(const CLI::App* app, const CLI::Error& error);

}  // namespace qxcore
