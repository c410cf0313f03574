// The host tools' messages in the user's language (GNU gettext): the bench,
// the simulated meter and the commissioning report. English is the source
// language and the default; po/README.md lists the catalogues and the terms.
//
// Mark a message with _("...") where it is shown, N_("...") where it is only
// stored (a table of labels) and translated later with _(), C_("context",
// "...") where one English word needs two translations (NC_ to store one), and P_("1 round",
// "%lu rounds", n) where the number decides the form. Never translate what a
// machine reads: --json, --csv, --trace, exit codes, the device's own texts.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qxi18n {

/// The message in the run's language; the message itself before init() and in English.
const char* translate(const char* msgid) __attribute__((format_arg(1)));
/// The message of `msgid` in `context` (a msgctxt in the catalogue).
const char* translate_in_context(const char* context, const char* msgid)
    __attribute__((format_arg(2)));
/// The singular or plural form for `n` in the run's language.
const char* translate_plural(const char* singular, const char* plural, unsigned long n)
    __attribute__((format_arg(1))) __attribute__((format_arg(2)));

/// The catalogues' name: <locale dir>/<language>/LC_MESSAGES/<text_domain()>.mo.
const char* text_domain();

/// The languages a run can be given: "en" (the messages themselves) and every catalogue built.
const std::vector<std::string>& languages();

/// The value of `--lang VALUE` or `--lang=VALUE` before a lone `--`, if one of
/// languages(); a program looks for it before it parses its options, so that
/// --help is in that language too, and declares the option as well.
std::optional<std::string> find_lang_option(int argc, const char* const* argv);

/// The help text of --lang, in the run's language.
const char* lang_option_help();

/// The language list gettext is to follow, "" for English. `lang` (from
/// --lang) wins; else the first of LC_ALL, LC_MESSAGES, LANG that is set
/// decides when it is C or POSIX (English, as in every GNU program); else
/// LANGUAGE, else that locale name. With nothing set, LANGUAGE alone is
/// followed. `env` looks a variable up (getenv in a program).
std::string wanted_languages(const std::optional<std::string>& lang,
                             const char* (*env)(const char* name));

/// Where the catalogues are for the program at `exe`: <exe dir>/../share/locale
/// (the Debian package's /usr/share/locale, the board bundle's share/locale),
/// else <exe dir>/../locale (the build tree), the first holding one of our
/// catalogues; else /usr/share/locale.
std::string find_locale_dir(const std::string& exe);

/// What init() chose.
struct Setup {
  std::string language;    ///< "zh_CN", or "en" when no catalogue serves the run
  std::string locale_dir;  ///< where the catalogues were looked for
};

/// Takes the run's language from `lang` (--lang) or the environment and binds
/// the catalogues next to the running program. Call at the start of main,
/// before threads start and anything is printed; a later call starts over.
/// Only LC_CTYPE and LC_MESSAGES follow the environment: numbers and times
/// keep the C locale's forms whatever the language.
Setup init(const std::optional<std::string>& lang);

/// The run's language: "zh_CN", or "en".
std::string language();
/// The run's language as an HTML lang attribute: "zh-CN", or "en".
std::string html_lang();

}  // namespace qxi18n

// gettext's usual names. Function-like, so a bare `_` (GoogleMock's matcher) is left alone.
#define _(msgid) ::qxi18n::translate(msgid)
#define N_(msgid) msgid
#define C_(context, msgid) ::qxi18n::translate_in_context(context, msgid)
#define NC_(context, msgid) msgid
#define P_(singular, plural, n) ::qxi18n::translate_plural(singular, plural, n)
