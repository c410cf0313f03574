// --help and the errors of a bad command line in the run's language: CLI11's
// own words (its labels, the help and version flags, the default groups, its
// error texts). Our own option texts are marked where
// they are given: app.add_option("--port", port, _("Serial device ..."))->group(C_("option group",
// "Link")).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "qxi18n/i18n.h"

namespace qxcore {

/// --help laid out by display columns rather than bytes (a Chinese character
/// takes two): options and subcommands in a column, their descriptions
/// wrapped beside it to kHelpWidth columns, what an option needs or excludes
/// on a line of its own, the type labels and ranges in the run's language.
class HelpFormatter : public CLI::Formatter {
 public:
  static constexpr std::size_t kHelpWidth = 79;
  static constexpr std::size_t kNameWidth = 30;

  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;
  std::string make_description(const CLI::App* app) const override;
  std::string make_footer(const CLI::App* app) const override;
  std::string make_group(std::string group, bool is_positional,
                         std::vector<const CLI::Option*> opts) const override;
  std::string make_usage(const CLI::App* app, std::string name) const override;
  std::string make_option(const CLI::Option* opt, bool is_positional) const override;
  std::string make_option_opts(const CLI::Option* opt) const override;
  std::string make_subcommand(const CLI::App* sub) const override;
};

/// An option's value as --help names it ("INT from 1 to 60000", "{en,zh_CN}",
/// "FILE"), in the run's language; `type` is CLI11's full type name.
std::string option_type_text(const std::string& type);

/// One entry of --help: `name` in the first column, `description` (lines
/// apart at '\n') wrapped beside it; on a line of its own when too wide.
std::string help_entry(const std::string& name, const std::string& description);

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
  const auto formatter = std::make_shared<HelpFormatter>();
  for (const char* label : kLabels) formatter->label(label, qxi18n::translate(label));
  app.formatter(formatter);
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
