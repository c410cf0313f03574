// gettext set-up for the host tools: which language, where the catalogues are.
#include "qxi18n/i18n.h"

#include <libintl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

namespace qxi18n {
namespace {

constexpr const char* kDomain = QX_TEXT_DOMAIN;
constexpr const char* kInstalledLocaleDir = "/usr/share/locale";
// gettext's separator between a message's context and its text.
constexpr char kContextSeparator = '\004';

// Off until init(): a program that never chooses a language (a test, a
// fuzzer) shows the messages as written, whatever the machine's LANG.
std::atomic<bool> active{false};

bool is_c_locale(std::string_view name) { return name == "C" || name == "POSIX"; }

bool file_exists(const std::string& path) { return ::access(path.c_str(), R_OK) == 0; }

std::string self_exe() {
  char path[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

/// The "Language:" field of the catalogue's header, "" without a catalogue.
std::string catalogue_language() {
  const std::string header = ::dgettext(kDomain, "");
  const std::string field = "Language: ";
  const auto at = header.find(field);
  if (at == std::string::npos) return "";
  const auto start = at + field.size();
  return header.substr(start, header.find('\n', start) - start);
}

}  // namespace

const char* translate(const char* msgid) {
  return active.load(std::memory_order_relaxed) ? ::dgettext(kDomain, msgid) : msgid;
}

const char* translate_in_context(const char* context, const char* msgid) {
  if (!active.load(std::memory_order_relaxed)) return msgid;
  std::string key = context;
  key += kContextSeparator;
  key += msgid;
  // Either the catalogue's text, which outlives the call, or our own key back.
  const char* found = ::dgettext(kDomain, key.c_str());
  return found == key.c_str() ? msgid : found;
}

const char* translate_plural(const char* singular, const char* plural, unsigned long n) {
  if (!active.load(std::memory_order_relaxed)) return n == 1 ? singular : plural;
  return ::dngettext(kDomain, singular, plural, n);
}

const char* text_domain() { return kDomain; }

const std::vector<std::string>& languages() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> list{"en"};
    std::string_view built = QX_CATALOGUES;  // "zh_CN" or "zh_CN;ja", from po/LINGUAS
    while (!built.empty()) {
      const auto end = built.find(';');
      if (end != 0) list.emplace_back(built.substr(0, end));
      built = end == std::string_view::npos ? std::string_view() : built.substr(end + 1);
    }
    return list;
  }();
  return all;
}

std::optional<std::string> find_lang_option(int argc, const char* const* argv) {
  const std::string_view option = "--lang";
  std::optional<std::string> found;
  for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") break;
    std::optional<std::string_view> value;
    if (arg == option && i + 1 < argc && argv[i + 1] != nullptr) {
      value = argv[++i];
    } else if (arg.size() > option.size() && arg.substr(0, option.size() + 1) == "--lang=") {
      value = arg.substr(option.size() + 1);
    }
    if (!value) continue;
    for (const std::string& known : languages()) {
      if (*value == known) found = known;  // the last one given counts, as for the parser
    }
  }
  return found;
}

const char* lang_option_help() {
  return _(
      "Language of the text meant for people: zh_CN or en (default: from LANGUAGE, "
      "LC_ALL, LC_MESSAGES, LANG); JSON, CSV and trace output are the same in every "
      "language");
}

std::string wanted_languages(const std::optional<std::string>& lang,
                             const char* (*env)(const char* name)) {
  if (lang) return *lang == "en" ? "" : *lang;
  const auto set = [env](const char* name) -> std::string_view {
    const char* value = env(name);
    return value != nullptr ? value : "";
  };
  std::string_view locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = set(name);
    if (!locale.empty()) break;
  }
  if (is_c_locale(locale)) return "";
  if (!set("LANGUAGE").empty()) return std::string(set("LANGUAGE"));
  // "zh_CN.UTF-8@euro" names the language zh_CN.
  return std::string(locale.substr(0, locale.find_first_of(".@")));
}

std::string find_locale_dir(const std::string& exe) {
  const std::string dir = exe.substr(0, exe.find_last_of('/') + 1);
  for (const char* beside : {"../share/locale", "../locale"}) {
    const std::string candidate = dir + beside;
    for (const std::string& language : languages()) {
      if (file_exists(candidate + "/" + language + "/LC_MESSAGES/" + kDomain + ".mo")) {
        return candidate;
      }
    }
  }
  return kInstalledLocaleDir;
}

Setup init(const std::optional<std::string>& lang) {
  Setup setup;
  std::setlocale(LC_CTYPE, "");
  std::setlocale(LC_MESSAGES, "");
  const std::string wanted =
      wanted_languages(lang, [](const char* name) -> const char* { return std::getenv(name); });
  // LANGUAGE carries the choice to gettext, and to programs this one starts.
  ::setenv("LANGUAGE", wanted.empty() ? "en" : wanted.c_str(), 1);
  active.store(!wanted.empty(), std::memory_order_relaxed);
  setup.locale_dir = find_locale_dir(self_exe());
  if (!wanted.empty()) {
    // gettext ignores LANGUAGE in the C locale, the default when LANG is not
    // set or names a locale the machine lacks: any other locale will do, the
    // catalogue is read as UTF-8 whatever it is.
    const char* messages = std::setlocale(LC_MESSAGES, nullptr);
    if (messages == nullptr || is_c_locale(messages)) {
      const std::string own = wanted.substr(0, wanted.find(':')) + ".UTF-8";
      for (const char* name : {"C.UTF-8", "C.utf8", own.c_str(), "en_US.UTF-8"}) {
        if (std::setlocale(LC_MESSAGES, name) != nullptr) break;
      }
    }
    ::bindtextdomain(kDomain, setup.locale_dir.c_str());
    ::bind_textdomain_codeset(kDomain, "UTF-8");
    // strerror()'s texts too ("没有那个文件或目录"): in the C locale's
    // character set they would come as question marks.
    ::bind_textdomain_codeset("libc", "UTF-8");
  }
  setup.language = language();
  return setup;
}

std::string language() {
  if (!active.load(std::memory_order_relaxed)) return "en";
  const std::string found = catalogue_language();
  return found.empty() ? "en" : found;
}

std::string html_lang() {
  std::string tag = language();
  for (char& c : tag) {
    if (c == '_') c = '-';
  }
  return tag;
}

}  // namespace qxi18n
