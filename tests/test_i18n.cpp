// The host tools' language and text width: which language a run takes from
// --lang and the environment, where it finds its catalogues, the catalogue
// read back through gettext, and the columns of Chinese labels.
#include <gtest/gtest.h>

#include <locale.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "qxcore/cli.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "qxi18n/text_width.h"

namespace {

using qxi18n::Align;

struct WidthRow {
  const char* text;
  std::size_t width;
};

TEST(TextWidth, CountsColumnsNotBytes) {
  const WidthRow rows[] = {
      {"", 0},
      {"phase voltage", 13},
      {"相电压", 6},
      {"有功功率 kW", 11},
      {"频率：50.01 Hz", 14},   // full-width colon
      {"ＡＢＣ", 6},            // full-width letters
      {"caf\xc3\xa9", 4},       // precomposed é
      {"cafe\xcc\x81", 4},      // e and a combining acute accent
      {"\xff", 1},              // not UTF-8: one replacement mark
      {"\xe7\x94", 2},          // a character cut short
      {"\xc0\xaf", 2},          // overlong '/'
      {"\xed\xa0\x80", 3},      // a surrogate
      {"\xf4\x90\x80\x80", 4},  // past U+10FFFF
      {"\xf0\xa0\x80\x80", 2},  // U+20000, a wide ideograph outside the BMP
  };
  for (const WidthRow& row : rows) {
    EXPECT_EQ(qxi18n::display_width(row.text), row.width) << row.text;
  }
}

TEST(TextWidth, SameInTheCLocale) {
  const std::string before = std::setlocale(LC_CTYPE, nullptr);
  std::setlocale(LC_CTYPE, "C");
  EXPECT_EQ(qxi18n::display_width("线电压 AB"), 9u);
  std::setlocale(LC_CTYPE, before.c_str());
}

// Every character the Chinese catalogue uses has the same width by
// libunistring's tables as by the C library in a UTF-8 locale: the tables
// align on a terminal as this machine's programs do.
TEST(TextWidth, LibraryAgreesWithTheCLibraryOnTheCatalogue) {
  std::ifstream po(QX_PO_DIR "/zh_CN.po");
  ASSERT_TRUE(po) << QX_PO_DIR "/zh_CN.po";
  const std::string text{std::istreambuf_iterator<char>(po), std::istreambuf_iterator<char>()};
  const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  ASSERT_NE(utf8, locale_t{});
  const locale_t before = ::uselocale(utf8);
  std::map<char32_t, int> differing;
  std::size_t wide = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    i += length;
    if (qxi18n::code_point_width(c) == 2) ++wide;
    const int c_library = std::max(0, ::wcwidth(static_cast<wchar_t>(c)));
    if (qxi18n::code_point_width(c) != c_library) differing[c] = c_library;
  }
  ::uselocale(before);
  ::freelocale(utf8);
  EXPECT_GT(wide, 0u);
  for (const auto& [c, width] : differing) {
    ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned long>(c) << ": C library " << width
                  << ", libunistring " << qxi18n::code_point_width(c);
  }
}

struct FitRow {
  const char* text;
  std::size_t width;
  Align align;
  const char* padded;
  const char* truncated;
  const char* fitted;
};

TEST(TextWidth, PadsAndTruncatesByColumns) {
  const FitRow rows[] = {
      {"相电压", 10, Align::left, "相电压    ", "相电压", "相电压    "},
      {"相电压", 10, Align::right, "    相电压", "相电压", "    相电压"},
      {"相电压", 5, Align::left, "相电压", "相电", "相电 "},  // no half of 压
      {"相电压", 6, Align::left, "相电压", "相电压", "相电压"},
      {"230.1 V", 4, Align::right, "230.1 V", "230.", "230."},
      {"abc", 0, Align::left, "abc", "", ""},
      {"a\xff", 2, Align::left, "a\xff", "a\xff", "a\xff"},
      {"", 3, Align::left, "   ", "", "   "},
  };
  for (const FitRow& row : rows) {
    EXPECT_EQ(qxi18n::pad_to_width(row.text, row.width, row.align), row.padded) << row.text;
    EXPECT_EQ(qxi18n::truncate_to_width(row.text, row.width), row.truncated) << row.text;
    EXPECT_EQ(qxi18n::fit_to_width(row.text, row.width, row.align), row.fitted) << row.text;
  }
}

struct WrapRow {
  const char* text;
  std::size_t width;
  const char* first_indent;
  const char* indent;
  std::vector<std::string> lines;
};

// English as Python's textwrap breaks it (the man page's and --help's
// reference); Chinese between characters, never before "，" or after "（".
TEST(TextWidth, WrapsByColumns) {
  const WrapRow rows[] = {
      {"the port does not exist or cannot be opened",
       20,
       "  5    ",
       "       ",
       {"  5    the port does", "       not exist or", "       cannot be", "       opened"}},
      {"a --csv, --history or --report file",
       12,
       "",
       "",
       {"a --csv,", "--history or", "--report", "file"}},
      {"exactly ten", 11, "", "", {"exactly ten"}},
      {"unbreakable-word-longer-than-the-line x",
       8,
       "",
       "",
       {"unbreakable-word-longer-than-the-line", "x"}},
      {"", 10, "  ", "  ", {}},
      {"串口不存在或无法打开，或网关拒绝连接",
       12,
       "",
       "",
       {"串口不存在或", "无法打开，或", "网关拒绝连接"}},
      // "，" goes with the character before it, a line never starts with it.
      {"串口不存在或无法打开，或网关", 16, "", "", {"串口不存在或无法", "打开，或网关"}},
      {"设备配置（--settings）和模拟参数",
       14,
       "",
       "",
       {"设备配置", "（--settings）", "和模拟参数"}},
      {"用 --lib 文件 指定它", 10, "  ", "  ", {"  用 --lib", "  文件 指", "  定它"}},
      // A number keeps its unit; Chinese glued to a placeholder is one word.
      {"限值为 0.5 Hz，而非 0.2 Hz", 20, "", "", {"限值为 0.5 Hz，而非", "0.2 Hz"}},
      {"timeout after 500 ms here", 17, "", "", {"timeout after", "500 ms here"}},
      {"给出 ID=文件，可重复", 10, "", "", {"给出", "ID=文件，", "可重复"}},
  };
  for (const WrapRow& row : rows) {
    const std::vector<std::string> lines =
        qxi18n::wrap_to_width(row.text, row.width, row.first_indent, row.indent);
    EXPECT_EQ(lines, row.lines) << row.text;
    for (const std::string& line : lines) {
      if (line.find("unbreakable") == std::string::npos) {
        EXPECT_LE(qxi18n::display_width(line), row.width) << line;
      }
    }
  }
}

struct EnvRow {
  std::optional<std::string> lang;
  const char* lc_all;
  const char* lc_messages;
  const char* lang_var;
  const char* language;
  const char* wanted;
};

std::map<std::string, const char*> fake_env;
const char* from_fake_env(const char* name) {
  const auto found = fake_env.find(name);
  return found == fake_env.end() ? nullptr : found->second;
}

TEST(Language, ChosenByTheOptionThenTheEnvironment) {
  const EnvRow rows[] = {
      {std::nullopt, nullptr, nullptr, nullptr, nullptr, ""},
      {std::nullopt, nullptr, nullptr, nullptr, "zh_CN", "zh_CN"},  // nothing else set
      {std::nullopt, nullptr, nullptr, "zh_CN.UTF-8", nullptr, "zh_CN"},
      {std::nullopt, nullptr, "zh_CN.UTF-8", "en_US.UTF-8", nullptr, "zh_CN"},
      {std::nullopt, "en_US.UTF-8", "zh_CN.UTF-8", nullptr, nullptr, "en_US"},
      {std::nullopt, nullptr, nullptr, "en_US.UTF-8", "zh_CN:en", "zh_CN:en"},
      {std::nullopt, "C", nullptr, nullptr, "zh_CN", ""},  // C means English, as in GNU programs
      {std::nullopt, nullptr, nullptr, "POSIX", "zh_CN", ""},
      {std::nullopt, nullptr, nullptr, "C.UTF-8", "zh_CN", "zh_CN"},
      {std::nullopt, "", "", "zh_CN.UTF-8", nullptr, "zh_CN"},  // empty counts as not set
      {"zh_CN", "C", nullptr, nullptr, nullptr, "zh_CN"},       // --lang wins over all
      {"en", nullptr, nullptr, "zh_CN.UTF-8", "zh_CN", ""},
  };
  for (const EnvRow& row : rows) {
    fake_env.clear();
    if (row.lc_all) fake_env["LC_ALL"] = row.lc_all;
    if (row.lc_messages) fake_env["LC_MESSAGES"] = row.lc_messages;
    if (row.lang_var) fake_env["LANG"] = row.lang_var;
    if (row.language) fake_env["LANGUAGE"] = row.language;
    EXPECT_EQ(qxi18n::wanted_languages(row.lang, from_fake_env), row.wanted)
        << row.lang.value_or("-") << " LC_ALL=" << (row.lc_all ? row.lc_all : "-")
        << " LC_MESSAGES=" << (row.lc_messages ? row.lc_messages : "-")
        << " LANG=" << (row.lang_var ? row.lang_var : "-")
        << " LANGUAGE=" << (row.language ? row.language : "-");
  }
}

struct ArgsRow {
  std::vector<const char*> args;
  std::optional<std::string> found;
};

TEST(Language, LangOptionFoundBeforeTheParser) {
  const ArgsRow rows[] = {
      {{"bench"}, std::nullopt},
      {{"bench", "--lang", "zh_CN"}, "zh_CN"},
      {{"bench", "--rounds", "3", "--lang=en"}, "en"},
      {{"bench", "scan", "--lang", "zh_CN", "--json"}, "zh_CN"},
      {{"bench", "--lang", "zh_CN", "--lang", "en"}, "en"},
      {{"bench", "--lang", "fr"}, std::nullopt},  // the parser reports it
      {{"bench", "--lang"}, std::nullopt},
      {{"bench", "--language", "zh_CN"}, std::nullopt},
      {{"bench", "--", "--lang", "zh_CN"}, std::nullopt},
  };
  for (const ArgsRow& row : rows) {
    EXPECT_EQ(qxi18n::find_lang_option(static_cast<int>(row.args.size()), row.args.data()),
              row.found)
        << row.args.size();
  }
}

TEST(Language, CatalogueFoundBesideTheProgram) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("qx_i18n_" + std::to_string(::getpid()));
  const std::string mo = std::string("zh_CN/LC_MESSAGES/") + qxi18n::text_domain() + ".mo";
  const auto lay_out = [&](const fs::path& dir) {
    fs::create_directories((dir / mo).parent_path());
    std::ofstream(dir / mo) << "catalogue";
  };
  fs::remove_all(root);
  fs::create_directories(root / "bin");
  const std::string exe = (root / "bin" / "qx7540pm-bench").string();
  EXPECT_EQ(qxi18n::find_locale_dir(exe), "/usr/share/locale");
  lay_out(root / "locale");  // the build tree
  EXPECT_EQ(qxi18n::find_locale_dir(exe), (root / "bin" / "../locale").string());
  lay_out(root / "share" / "locale");  // the bundle and the package come first
  EXPECT_EQ(qxi18n::find_locale_dir(exe), (root / "bin" / "../share/locale").string());
  fs::remove_all(root);
}

/// Sets or unsets variables for one test, and puts them back.
class EnvGuard {
 public:
  explicit EnvGuard(std::map<std::string, const char*> values) {
    for (const auto& [name, value] : values) {
      const char* was = std::getenv(name.c_str());
      saved_[name] = was ? std::optional<std::string>(was) : std::nullopt;
      if (value) {
        ::setenv(name.c_str(), value, 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    saved_.emplace("LANGUAGE", std::getenv("LANGUAGE")
                                   ? std::optional<std::string>(std::getenv("LANGUAGE"))
                                   : std::nullopt);
  }
  ~EnvGuard() {
    qxi18n::init("en");
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    // The C locale, as a program has it before it calls setlocale.
    std::setlocale(LC_ALL, "C");
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

const char* const kHelpMsgid =
    "Language of the text meant for people: zh_CN or en (default: from LANGUAGE, LC_ALL, "
    "LC_MESSAGES, LANG); JSON, CSV and trace output are the same in every language";

struct RunRow {
  std::optional<std::string> lang;
  std::map<std::string, const char*> env;
  const char* language;
};

// The catalogue built from po/zh_CN.po, read through gettext as the bench
// reads it: whatever locales the machine has.
TEST(Language, RunSpeaksTheChosenLanguage) {
  const RunRow rows[] = {
      {"zh_CN", {{"LC_ALL", "C"}, {"LANGUAGE", nullptr}}, "zh_CN"},
      {std::nullopt,
       {{"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", nullptr}, {"LANGUAGE", "zh_CN"}},
       "zh_CN"},
      {std::nullopt,
       {{"LC_ALL", nullptr},
        {"LC_MESSAGES", nullptr},
        {"LANG", "zh_CN.UTF-8"},
        {"LANGUAGE", nullptr}},
       "zh_CN"},
      {std::nullopt, {{"LC_ALL", "C"}, {"LANGUAGE", "zh_CN"}}, "en"},
      {"en", {{"LC_ALL", nullptr}, {"LANG", "zh_CN.UTF-8"}, {"LANGUAGE", "zh_CN"}}, "en"},
      {std::nullopt,
       {{"LC_ALL", nullptr}, {"LC_MESSAGES", nullptr}, {"LANG", nullptr}, {"LANGUAGE", "fr"}},
       "en"},
  };
  for (const RunRow& row : rows) {
    EnvGuard env(row.env);
    const qxi18n::Setup setup = qxi18n::init(row.lang);
    const bool chinese = std::string(row.language) == "zh_CN";
    SCOPED_TRACE(row.lang.value_or("-") + " " + row.language + " " + setup.locale_dir);
    EXPECT_EQ(setup.language, row.language);
    EXPECT_EQ(qxi18n::language(), row.language);
    EXPECT_EQ(qxi18n::html_lang(), chinese ? "zh-CN" : "en");
    EXPECT_EQ(std::string(qxi18n::lang_option_help()) == kHelpMsgid, !chinese);
    if (chinese) {
      EXPECT_NE(std::string(qxi18n::lang_option_help()).find("默认"), std::string::npos);
    }
    // Numbers keep the C locale's form in every language.
    EXPECT_EQ(qxcore::format("%.1f", 230.1), "230.1");
    // What the catalogue lacks stays as written.
    EXPECT_STREQ(_("no such message"), "no such message");
    EXPECT_STREQ(C_("verdict", "no such message"), "no such message");
    EXPECT_STREQ(P_("%lu round", "%lu rounds", 1UL), "%lu round");
    EXPECT_STREQ(P_("%lu round", "%lu rounds", 3UL), "%lu rounds");
  }
}

TEST(Language, EnglishBeforeInitWhateverTheEnvironment) {
  EnvGuard env({{"LANGUAGE", "zh_CN"}, {"LANG", "zh_CN.UTF-8"}});
  EXPECT_STREQ(qxi18n::lang_option_help(), kHelpMsgid);
  EXPECT_EQ(qxi18n::language(), "en");
}

// --help with CLI11's own words in the run's language, subcommands' too,
// laid out by display columns: every description starts in one column and no
// line is wider than the help, whatever the language. A short English help
// is what CLI11 writes by itself.
TEST(Language, HelpInTheRunsLanguage) {
  const auto help_of = [](const std::optional<std::string>& lang, bool localize, bool full) {
    EnvGuard env(std::map<std::string, const char*>{{"LC_ALL", "C"}});
    qxi18n::init(lang);
    CLI::App app{"bench", "qx7540pm-bench"};
    app.set_version_flag("--version", std::string("1.0"));
    int rounds = 0, timeout = 500;
    std::string port, tcp;
    app.add_option("--rounds", rounds, "rounds");
    if (full) {
      app.add_option("--timeout", timeout, _("Response timeout in ms (default 500)"))
          ->check(CLI::Range(1, 60000));
      CLI::Option* port_option =
          app.add_option("--port", port, _("Serial device of the meter (Modbus RTU)"));
      app.add_option("--tcp", tcp, _("Modbus TCP gateway HOST[:PORT] (default port 502)"))
          ->excludes(port_option);
      app.add_option("--settings", port,
                     _("Device settings: the JSON object the controller passes (with appSetting)"));
    }
    CLI::App* scan = app.add_subcommand("scan", "scan");
    bool all = false;
    scan->add_flag("--all", all, "all");
    if (localize) qxcore::localize_help(app);
    return std::make_pair(app.help(), scan->help());
  };
  const auto [chinese, chinese_scan] = help_of("zh_CN", true, true);
  for (const char* text : {"用法：qx7540pm-bench [选项]", "\n选项：\n", "显示本帮助信息并退出",
                           "显示程序版本信息并退出", "\n子命令：\n", "  --rounds 整数 ",
                           "  --timeout 整数（1～60000）", "电表所接的串口设备（Modbus RTU）\n",
                           "\n                              不可同时使用：--port\n"}) {
    EXPECT_NE(chinese.find(text), std::string::npos) << text << "\n" << chinese;
  }
  for (const char* english : {"Usage", "INT", "TEXT", "Excludes", "\n\n\n"}) {
    EXPECT_EQ(chinese.find(english), std::string::npos) << english << "\n" << chinese;
  }
  EXPECT_NE(chinese_scan.find("显示本帮助信息并退出"), std::string::npos) << chinese_scan;
  for (const auto& [lang, help] :
       {std::pair("zh_CN", chinese), {"en", help_of("en", true, true).first}}) {
    std::istringstream lines(help);
    std::string line;
    while (std::getline(lines, line)) {
      EXPECT_LE(qxi18n::display_width(line), qxcore::HelpFormatter::kHelpWidth)
          << lang << ": " << line;
      if (line.rfind("  ", 0) != 0) continue;  // a heading or the usage
      // Name and description: the description begins at the column, or the
      // line holds only a name too wide for it, or only description.
      const std::size_t name_end = line.find("  ", 2);
      if (name_end == std::string::npos) continue;
      const std::size_t start = line.find_first_not_of(' ', name_end);
      EXPECT_EQ(qxi18n::display_width(line.substr(0, start)), qxcore::HelpFormatter::kNameWidth)
          << lang << ": " << line;
    }
  }
  EXPECT_EQ(help_of("en", true, false), help_of("en", false, false));
}

// A bad command line is answered in the run's language: every CLI11 error a
// user can meet on the bench's and the simulator's options, the option and
// value it quotes kept. In English, CLI11's own text exactly.
TEST(Language, CommandLineErrorsInTheRunsLanguage) {
  struct Row {
    std::vector<const char*> argv;
    const char* chinese;  // a part of the Chinese message
  };
  const Row rows[] = {
      {{"--bogus"}, "无法识别的参数：--bogus"},
      {{"--bogus", "x"}, "无法识别的参数：x --bogus"},
      {{"--rounds", "many"}, "--rounds 的值无法识别：many"},
      {{"--timeout", "0"}, "--timeout：值 0 超出范围 1～60000"},
      {{"--lang", "fr"}, "--lang：fr 不在可选值 {en,zh_CN} 之中"},
      {{"--port"}, "--port：缺少值"},
      {{"--lib", "x"}, "--lib 需要与 --exe 一起使用"},
      {{"--pid", "1", "--exe", "x"}, "--exe 不能与 --pid 同时使用"},
      {{"--rounds", "1", "--rounds", "2"}, "--rounds：最多给 1 个值，实际给了 2 个"},
      {{}, "缺少必需的 --slave"},
  };
  const auto error_of = [](const std::optional<std::string>& lang, std::vector<const char*> argv) {
    EnvGuard env(std::map<std::string, const char*>{{"LC_ALL", "C"}});
    qxi18n::init(lang);
    CLI::App app{"bench", "qx7540pm-bench"};
    app.failure_message(qxcore::failure_message);
    int rounds = 0, timeout = 500, pid = 0;
    std::string port, lang_value, exe, lib, slave;
    app.add_option("--rounds", rounds);
    app.add_option("--timeout", timeout)->check(CLI::Range(1, 60000));
    app.add_option("--lang", lang_value)->check(CLI::IsMember(qxi18n::languages()));
    app.add_option("--port", port);
    auto* exe_option = app.add_option("--exe", exe);
    auto* pid_option = app.add_option("--pid", pid)->excludes(exe_option);
    app.add_option("--lib", lib)->needs(exe_option);
    // Required only when the line is otherwise empty, so each row meets one error.
    if (argv.empty()) app.add_option("--slave", slave)->required();
    (void)pid_option;
    argv.insert(argv.begin(), "bench");
    try {
      app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
      return std::make_pair(std::string(e.what()), qxcore::failure_message(&app, e));
    }
    return std::make_pair(std::string(), std::string());
  };
  for (const Row& row : rows) {
    const auto [what, english] = error_of("en", row.argv);
    SCOPED_TRACE(what);
    ASSERT_FALSE(what.empty());
    EXPECT_EQ(english, what + "\nRun with --help for more information.\n");
    const auto [same, chinese] = error_of("zh_CN", row.argv);
    EXPECT_NE(chinese.find(row.chinese), std::string::npos) << chinese;
    for (const char* word : {"not", "expected", "convert", "range", "equired", "excludes", "Value",
                             "flag", "Run with"}) {
      EXPECT_EQ(chinese.find(word), std::string::npos) << word << " in " << chinese;
    }
  }
  // A text of no known form, e.g. the bench's own message, as it is.
  EXPECT_EQ(qxcore::translate_cli_error("--rounds: give a number"), "--rounds: give a number");
}

TEST(Language, FormatReordersArguments) {
  EXPECT_EQ(qxcore::format("%2$s %1$s", "meter", "3"), "3 meter");
  EXPECT_EQ(qxcore::format("%s", ""), "");
  EXPECT_EQ(qxcore::format("%s", std::string(1000, 'x').c_str()).size(), 1000u);
}

}  // namespace
