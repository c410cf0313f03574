#include "qxcore/cli.h"

#include <cctype>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "qxcore/text.h"
#include "qxi18n/text_width.h"

namespace qxcore {
namespace {

// CLI11's own error texts that a user can meet on our command lines (CLI11
// 2.1's wording: unknown arguments, values that do not convert or fail a
// range or set check, a missing or repeated value, options that need or
// exclude others, a missing required option). Each is its own form and its
// message: %s stands for what CLI11 put there, so an English run reads what
// CLI11 wrote.
const char* const kCliErrors[] = {
    N_("The following argument was not expected: %s"),
    N_("The following arguments were not expected: %s"),
    N_("Could not convert: %s = %s"),
    N_("%s: Value %s not in range %s to %s"),
    N_("%s: %s not in %s"),
    N_("%s: %s required %s missing"),
    N_("%s: At Most %s required but received %s"),
    N_("%s requires %s"),
    N_("%s excludes %s"),
    N_("%s is required"),
};

constexpr std::string_view kPlaceholder = "%s";

bool has_space(std::string_view text) {
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

/// What stands for each %s of `form` in `text`, or false when the text is not
/// of that form. A %s is never empty; one that starts the form is an option
/// name (no white space); the text after each %s is looked for leftmost, and
/// the form's end must be the text's end.
bool match(std::string_view form, std::string_view text, std::vector<std::string>& parts) {
  std::vector<std::string_view> literals;
  for (std::size_t at = 0;;) {
    const std::size_t next = form.find(kPlaceholder, at);
    literals.push_back(form.substr(at, next == std::string_view::npos ? next : next - at));
    if (next == std::string_view::npos) break;
    at = next + kPlaceholder.size();
  }
  if (text.substr(0, literals.front().size()) != literals.front()) return false;
  std::size_t at = literals.front().size();
  parts.clear();
  for (std::size_t i = 1; i < literals.size(); ++i) {
    const std::string_view literal = literals[i];
    std::size_t end;
    if (i + 1 == literals.size()) {
      if (text.size() < at + 1 + literal.size() ||
          text.substr(text.size() - literal.size()) != literal) {
        return false;
      }
      end = text.size() - literal.size();
    } else {
      end = text.find(literal, at + 1);
      if (end == std::string_view::npos) return false;
    }
    const std::string_view part = text.substr(at, end - at);
    if (i == 1 && literals.front().empty() && has_space(part)) return false;
    parts.emplace_back(part);
    at = end + literal.size();
  }
  return true;
}

}  // namespace

namespace {

// The value types CLI11 and our options name, as --help shows them.
const char* const kTypeNames[][2] = {
    {"TEXT", NC_("option type", "TEXT")},
    {"INT", NC_("option type", "INT")},
    {"UINT", NC_("option type", "UINT")},
    {"FLOAT", NC_("option type", "FLOAT")},
    {"FILE", NC_("option type", "FILE")},
    {"DEV", NC_("option type", "DEV")},
    {"LIST", NC_("option type", "LIST")},
    {"ID=FILE", NC_("option type", "ID=FILE")},
    {"HOST[:PORT]", NC_("option type", "HOST[:PORT]")},
};

/// `type` in the run's language when it is one of ours or CLI11's, else as it is.
std::string translated_type(const std::string& type) {
  for (const auto& name : kTypeNames) {
    if (type == name[0]) return qxi18n::translate_in_context("option type", name[1]);
  }
  return type;
}

std::string indent_of(std::size_t columns) { return std::string(columns, ' '); }

}  // namespace

std::string option_type_text(const std::string& type) {
  // CLI11 joins the type and each check's description with ':' ("INT:INT in [1 - 60000]",
  // "TEXT:{en,zh_CN}"); a type of our own may hold one too ("HOST[:PORT]").
  const std::size_t in = type.rfind(" in [");
  if (in != std::string::npos && type.back() == ']') {
    const std::size_t colon = type.rfind(':', in);
    const std::string kind =
        colon == std::string::npos ? "" : type.substr(colon + 1, in - colon - 1);
    const std::string bounds = type.substr(in + 5, type.size() - in - 6);
    const std::size_t dash = bounds.find(" - ");
    if ((kind == "INT" || kind == "UINT" || kind == "FLOAT") && dash != std::string::npos) {
      return format(_("%s from %s to %s"), translated_type(type.substr(0, colon)).c_str(),
                    bounds.substr(0, dash).c_str(), bounds.substr(dash + 3).c_str());
    }
  }
  const std::size_t choices = type.find(":{");
  if (choices != std::string::npos && type.back() == '}') return type.substr(choices + 1);
  return translated_type(type);
}

std::string help_entry(const std::string& name, const std::string& description) {
  constexpr std::size_t kWidth = HelpFormatter::kHelpWidth;
  constexpr std::size_t kColumn = HelpFormatter::kNameWidth;
  const std::string head = "  " + name;
  if (description.empty()) return head + "\n";
  std::string out;
  std::string first = qxi18n::pad_to_width(head, kColumn);
  if (qxi18n::display_width(head) + 2 > kColumn) {
    out += head + "\n";
    first = indent_of(kColumn);
  }
  std::istringstream lines(description);
  std::string paragraph;
  while (std::getline(lines, paragraph)) {
    const std::vector<std::string> wrapped =
        qxi18n::wrap_to_width(paragraph, kWidth, first, indent_of(kColumn));
    for (const std::string& line : wrapped) out += line + "\n";
    if (wrapped.empty()) out += "\n";
    first = indent_of(kColumn);
  }
  return out;
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string name,
                                     CLI::AppFormatMode mode) const {
  std::string help = CLI::Formatter::make_help(app, std::move(name), mode);
  // CLI11 heads the subcommands' groups itself: their colon in the run's language too.
  for (const CLI::App* sub : app->get_subcommands({})) {
    const std::string heading = "\n" + sub->get_group() + ":\n";
    const std::size_t at = help.find(heading);
    if (sub->get_group().empty() || at == std::string::npos) continue;
    help.replace(at, heading.size(), "\n" + format(_("%s:"), sub->get_group().c_str()) + "\n");
  }
  // CLI11 opens every group with a blank line and adds one more between groups:
  // one blank line between groups is enough.
  for (std::size_t at = help.find("\n\n\n"); at != std::string::npos;
       at = help.find("\n\n\n", at)) {
    help.erase(at, 1);
  }
  return help;
}

namespace {

/// `text` with each line wider than the help wrapped, continued at its own indent:
/// a footer laid out by hand (an example's command, a table) keeps its lines.
std::string wrap_lines(const std::string& text) {
  std::string out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (qxi18n::display_width(line) <= HelpFormatter::kHelpWidth) {
      out += line + "\n";
      continue;
    }
    const std::size_t lead = line.find_first_not_of(' ');
    const std::string indent(lead == std::string::npos ? 0 : lead, ' ');
    const std::string body = line.substr(indent.size());
    for (const std::string& part :
         qxi18n::wrap_to_width(body, HelpFormatter::kHelpWidth, indent, indent)) {
      out += part + "\n";
    }
  }
  if (!text.empty() && text.back() != '\n' && !out.empty()) out.pop_back();
  return out;
}

}  // namespace

std::string HelpFormatter::make_description(const CLI::App* app) const {
  return wrap_lines(CLI::Formatter::make_description(app));
}

std::string HelpFormatter::make_footer(const CLI::App* app) const {
  return wrap_lines(CLI::Formatter::make_footer(app));
}

std::string HelpFormatter::make_group(std::string group, bool is_positional,
                                      std::vector<const CLI::Option*> opts) const {
  std::string out = "\n" + format(_("%s:"), group.c_str()) + "\n";
  for (const CLI::Option* opt : opts) out += make_option(opt, is_positional);
  return out;
}

std::string HelpFormatter::make_usage(const CLI::App* app, std::string name) const {
  std::string usage = CLI::Formatter::make_usage(app, name);
  // "Usage: name": the colon in the run's language; a full-width one needs no space after it.
  const std::string label = get_label("Usage") + ": ";
  if (usage.compare(0, label.size(), label) == 0) {
    std::string heading = format(_("%s:"), get_label("Usage").c_str());
    if (!heading.empty() && heading.back() == ':') heading += ' ';
    usage.replace(0, label.size(), heading);
  }
  return usage;
}

std::string HelpFormatter::make_option_opts(const CLI::Option* opt) const {
  std::string out;
  if (!opt->get_option_text().empty()) return " " + opt->get_option_text();
  if (opt->get_type_size() == 0) return out;
  if (!opt->get_type_name().empty()) out += " " + option_type_text(opt->get_type_name());
  if (!opt->get_default_str().empty()) out += "=" + opt->get_default_str();
  if (opt->get_expected_max() == CLI::detail::expected_max_vector_size) {
    out += " ...";
  } else if (opt->get_expected_min() > 1) {
    out += " x " + std::to_string(opt->get_expected());
  }
  if (opt->get_required()) out += " " + get_label("REQUIRED");
  return out;
}

std::string HelpFormatter::make_option(const CLI::Option* opt, bool is_positional) const {
  std::string description = make_option_desc(opt);
  // What the option needs or excludes: a line of its own under the description.
  // (CLI11 hands both sets back by value: each is held once, then walked.)
  const auto add = [&description](const std::string& label, const std::set<CLI::Option*>& options) {
    if (options.empty()) return;
    std::string names;
    for (const CLI::Option* other : options)
      names += (names.empty() ? "" : " ") + other->get_name();
    description +=
        (description.empty() ? "" : "\n") + format(_("%s: %s"), label.c_str(), names.c_str());
  };
  add(get_label("Needs"), opt->get_needs());
  add(get_label("Excludes"), opt->get_excludes());
  return help_entry(make_option_name(opt, is_positional) + make_option_opts(opt), description);
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
  return help_entry(sub->get_display_name(true), sub->get_description());
}

std::string translate_cli_error(const std::string& what) {
  std::vector<std::string> parts;
  for (const char* form : kCliErrors) {
    if (!match(form, what, parts)) continue;
    parts.resize(4);  // no form has more; format() ignores what a message does not use
    return format(qxi18n::translate(form), parts[0].c_str(), parts[1].c_str(), parts[2].c_str(),
                  parts[3].c_str());
  }
  return what;
}

std::string failure_message(const CLI::App*, const CLI::Error& error) {
  return translate_cli_error(error.what()) + "\n" + _("Run with --help for more information.") +
         "\n";
}

}  // namespace qxcore
