// qx7540pm-bench preflight's verdict, one row per way a controller refuses a
// plug-in (and the one where it loads), judged from the files alone. The
// controller is this test process, as its files and maps show it, or one
// made of small programs and libraries built for the purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "qxelf/elf_file.h"
#include "qxelf/load_check.h"
#include "qxhost/plugin.h"
#include "qxi18n/i18n.h"

namespace {

std::string fixture(const std::string& name) { return std::string(QX_PREFLIGHT_DIR) + "/" + name; }

qxelf::ElfFile read(const std::string& path) {
  qxelf::ElfFile file;
  std::string error;
  EXPECT_TRUE(qxelf::read_elf_file(path, file, error)) << error;
  return file;
}

/// This process as a controller: its program and every ELF object it maps,
/// each object kept only when keep() says so.
qxelf::Controller this_process(const std::function<bool(const qxelf::ElfFile&)>& keep) {
  qxelf::Controller controller;
  controller.program = read(qxelf::program_of("self"));
  for (const std::string& path : qxelf::mapped_files("self")) {
    qxelf::ElfFile object;
    std::string error;
    if (qxelf::read_elf_file(path, object, error) && keep(object)) {
      controller.objects.push_back(object);
    }
  }
  return controller;
}

bool any(const qxelf::ElfFile&) { return true; }

/// Whether UTF-8 text holds a CJK ideograph (U+4E00..U+9FFF: E4..E9 lead bytes).
bool has_chinese(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0xE4 && c <= 0xE9) return true;
  }
  return false;
}

/// This process as a controller with each object changed by edit (its soname,
/// path or needs, as another controller's file would have them).
qxelf::Controller edited_process(const std::function<bool(const qxelf::ElfFile&)>& keep,
                                 const std::function<void(qxelf::ElfFile&)>& edit) {
  qxelf::Controller controller = this_process(keep);
  edit(controller.program);
  for (qxelf::ElfFile& object : controller.objects) edit(object);
  return controller;
}

bool is_jsoncpp(const qxelf::ElfFile& object) {
  return object.soname.compare(0, 10, "libjsoncpp") == 0;
}

struct Row {
  const char* name;
  std::function<std::string()> plugin;
  std::function<qxelf::Controller()> controller;
  std::set<std::string> checks;   ///< the checks that say something; none: nothing to say
  std::vector<std::string> said;  ///< what the problems and fixes say, among them
  bool loads;                     ///< the verdict: no check refuses the plug-in
  bool foreign = false;           ///< needs the cross-built files
};

TEST(Preflight, VerdictForEachWayAControllerRefusesThePlugin) {
  const auto built = [] { return std::string(qxhost::built_plugin_path()); };
  const auto mips32_controller = [] {
    qxelf::Controller controller;
    controller.program = read(fixture("mips32-program"));
    return controller;
  };
  const std::vector<Row> rows = {
      {"this process loads the built plug-in",
       built,
       [] { return this_process(any); },
       {},
       {},
       true},
      {"jsoncpp not given, though the framework library needs it",
       built,
       [] { return this_process([](const qxelf::ElfFile& o) { return !is_jsoncpp(o); }); },
       {"not-given", "symbols"},
       {"libjsoncpp.so.25, which", "was not given", "may come from a library not given"},
       true},
      {"a controller without jsoncpp",
       built,
       [] {
         return edited_process([](const qxelf::ElfFile& o) { return !is_jsoncpp(o); },
                               [](qxelf::ElfFile& o) {
                                 o.needed.erase(std::remove(o.needed.begin(), o.needed.end(),
                                                            std::string("libjsoncpp.so.25")),
                                                o.needed.end());
                               });
       },
       {"symbols"},
       {"Json::Value::", "libjsoncpp.so.25"},
       false},
      {"the controller's jsoncpp of another soname",
       built,
       [] {
         return edited_process(any, [](qxelf::ElfFile& o) {
           if (is_jsoncpp(o)) o.soname = "libjsoncpp.so.24";
           std::replace(o.needed.begin(), o.needed.end(), std::string("libjsoncpp.so.25"),
                        std::string("libjsoncpp.so.24"));
         });
       },
       {"jsoncpp"},
       {"built against jsoncpp 1.9.5 (libjsoncpp.so.25), the controller carries libjsoncpp.so.24",
        "rebuild the plug-in with the controller's SDK"},
       false},
      {"the controller's jsoncpp of another version, same soname",
       built,
       [] {
         return edited_process(any, [](qxelf::ElfFile& o) {
           if (is_jsoncpp(o)) o.path = "/usr/lib/libjsoncpp.so.1.9.4";
         });
       },
       {"jsoncpp"},
       {"carries 1.9.4 of the same soname (libjsoncpp.so.25)", "to be sure"},
       true},
      {"a C++ library older than GCC 5",
       built,
       [] {
         qxelf::Controller controller = this_process(
             [](const qxelf::ElfFile& object) { return object.soname != "libstdc++.so.6"; });
         controller.objects.push_back(read(fixture("libqx_preflight_old_cxx.so")));
         return controller;
       },
       {"symbol-version"},
       {"has no version GLIBCXX_3.4.21", "libstdc++.so.6", "controller's SDK"},
       false},
      {"the other std::string ABI",
       [] { return fixture("libqx_preflight_old_abi.so"); },
       [] {
         qxelf::Controller controller = this_process(any);
         controller.objects.push_back(read(fixture("libqx_preflight_controller.so")));
         return controller;
       },
       {"string-abi"},
       {"take_text(std::string const&)", "C++11 std::string ABI", "without QX_OLD_STRING_ABI"},
       false},
      {"an x86-64 plug-in on a mipsel controller",
       [] { return fixture("x86_64-plugin.so"); },
       mips32_controller,
       {"machine"},
       {"built for x86-64 64-bit little-endian, the controller for MIPS 32-bit little-endian",
        "use the board's plug-in: --plugin <bundle>/qx7540pm.so"},
       false,
       true},
      {"a mips32r2 plug-in on a mips32 controller",
       [] { return fixture("mips32r2-plugin.so"); },
       mips32_controller,
       {"isa"},
       {"needs mips32r2 instructions, the controller is mips32", "SIGILL", "-march=mips32"},
       false,
       true},
      {"an x86-64 library given for a mipsel controller",
       [] { return fixture("mips32r2-plugin.so"); },
       [&mips32_controller] {
         qxelf::Controller controller = mips32_controller();
         controller.objects.push_back(read(fixture("x86_64-plugin.so")));
         return controller;
       },
       {"isa", "foreign-file"},
       {"x86_64-plugin.so is built for x86-64 64-bit little-endian, the controller for MIPS",
        "give the controller's own file"},
       false,
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.foreign && !QX_PREFLIGHT_FOREIGN) {
      std::cout << "skipped (no cross compilers): " << row.name << "\n";
      continue;
    }
    const std::vector<qxelf::LoadProblem> problems =
        qxelf::check_load(read(row.plugin()), row.controller());
    std::set<std::string> checks;
    std::string text;
    for (const qxelf::LoadProblem& problem : problems) {
      checks.insert(problem.check);
      text += problem.check + ": " + problem.problem + "\n  fix: " + problem.fix + "\n";
    }
    EXPECT_EQ(checks, row.checks) << text;
    EXPECT_EQ(qxelf::will_load(problems), row.loads) << text;
    for (const std::string& said : row.said)
      EXPECT_NE(text.find(said), std::string::npos) << said << "\n" << text;

    // For a person in the run's language: the same reasons, each worded in
    // Chinese (--json keeps the English above).
    qxi18n::init(std::string("zh_CN"));
    const std::vector<qxelf::LoadProblem> translated =
        qxelf::check_load(read(row.plugin()), row.controller(), &qxi18n::translate);
    qxi18n::init(std::string("en"));
    ASSERT_EQ(translated.size(), problems.size());
    for (std::size_t i = 0; i < problems.size(); ++i) {
      EXPECT_EQ(translated[i].check, problems[i].check);
      for (const std::string& words : {translated[i].problem, translated[i].fix}) {
        EXPECT_TRUE(has_chinese(words)) << words;
        EXPECT_EQ(words.find("plug-in"), std::string::npos) << words;
      }
    }
  }
}

// The program and objects of a running process, as --pid reads them.
TEST(Preflight, ProcessMapsNameTheLibrariesButNotTheProgram) {
  const std::string program = qxelf::program_of("self");
  ASSERT_FALSE(program.empty());
  std::set<std::string> sonames;
  for (const std::string& path : qxelf::mapped_files("self")) {
    EXPECT_NE(path, program);
    qxelf::ElfFile object;
    std::string error;
    if (qxelf::read_elf_file(path, object, error)) sonames.insert(object.soname);
  }
  for (const char* soname : {"libc.so.6", "libstdc++.so.6", "libjsoncpp.so.25", "libzelfw.so"}) {
    EXPECT_EQ(sonames.count(soname), 1u) << soname;
  }
  EXPECT_TRUE(qxelf::mapped_files("0").empty());
}

}  // namespace
