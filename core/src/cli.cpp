#include "qxcore/cli.h"

#include <cctype>
#include <string_view>
#include <vector>

#include "qxcore/text.h"

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
