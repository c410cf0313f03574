// The tools' core library: id lists and ID=TEXT, bounded input files and
// JSON text, the text helpers and the failure kinds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "qxcore/failures.h"
#include "qxcore/ids.h"
#include "qxcore/input_file.h"
#include "qxcore/text.h"

namespace {

TEST(IdOptions, SettingsForIsIdEqualsFile) {
  long id = 0;
  std::string path;
  EXPECT_TRUE(qxcore::split_id_text("3=a.json", id, path));
  EXPECT_EQ(id, 3);
  EXPECT_EQ(path, "a.json");
  EXPECT_TRUE(qxcore::split_id_text("7=dir/x=y.json", id, path));
  EXPECT_EQ(path, "dir/x=y.json");
  for (const char* bad : {"a.json", "=a.json", "x=a.json", "3=", "3"}) {
    EXPECT_FALSE(qxcore::split_id_text(bad, id, path)) << bad;
  }
}

TEST(JsonFiles, ReadOrRefusedWithAReason) {
  struct Case {
    std::string text;
    bool ok;
    const char* reason;
  };
  const Case cases[] = {
      {"{\"appSetting\": {}}", true, ""},
      {"\xEF\xBB\xBF{\"appSetting\": {}}\n", true, ""},
      {"{\"a\": \"} ]\"}  \n\t", true, ""},
      {"{} junk", false, "line 1, column 4: text after the JSON value"},
      {"{}\n{}", false, "line 2, column 1: text after the JSON value"},
      {std::string(5000, '[') + std::string(5000, ']'), false, "nested deeper"},
      {"{\"a\": }", false, "line 1, column 7"},
      {"", false, "line 1, column 1"},
  };
  for (const Case& c : cases) {
    Json::Value root;
    std::string error;
    EXPECT_EQ(qxcore::parse_json_text(c.text, root, error), c.ok) << c.text.substr(0, 40);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(InputFiles, OnlyBoundedRegularFilesAreRead) {
  char pattern[] = "/tmp/qxcore-test-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const std::string small = dir + "/small";
  std::ofstream(small, std::ios::binary) << "12345";
  std::string bytes, error;
  EXPECT_TRUE(qxcore::read_input_file(small, "cache file", 5, bytes, error));
  EXPECT_EQ(bytes, "12345");
  EXPECT_FALSE(qxcore::read_input_file(small, "cache file", 4, bytes, error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  EXPECT_FALSE(qxcore::read_input_file(dir, "cache file", 100, bytes, error));
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
  EXPECT_FALSE(qxcore::read_input_file("/dev/zero", "record file", 100, bytes, error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
  EXPECT_FALSE(qxcore::read_input_file(dir + "/none", "cache file", 100, bytes, error));
  EXPECT_NE(error.find("cannot read cache file"), std::string::npos) << error;
  std::remove(small.c_str());
  ::rmdir(dir.c_str());
}

TEST(IdOptions, ListsAreIdsAndRangesEachOnce) {
  std::vector<int> ids;
  std::string error;
  EXPECT_TRUE(qxcore::parse_id_list("--slave", "3,1-4,3", 1, 247, ids, error)) << error;
  EXPECT_EQ(ids, (std::vector<int>{3, 1, 2, 4}));
  EXPECT_FALSE(qxcore::parse_id_list("--slave", "1,248", 1, 247, ids, error));
  EXPECT_NE(error.find("outside the ids 1 to 247"), std::string::npos) << error;
  EXPECT_FALSE(qxcore::parse_id_list("--slave", "4-2", 1, 247, ids, error));
  EXPECT_NE(error.find("\"4-2\" is not an id"), std::string::npos) << error;
  EXPECT_EQ(qxcore::split_commas(""), (std::vector<std::string>{""}));
}

TEST(TextHelpers, HexByteOrderMarkAndFormat) {
  const std::vector<unsigned char> bytes{0x01, 0x03, 0xab};
  EXPECT_EQ(qxcore::to_hex(bytes), "0103ab");
  EXPECT_EQ(qxcore::spaced_hex(bytes), "01 03 ab");
  EXPECT_EQ(qxcore::spaced_hex({}), "");
  EXPECT_TRUE(qxcore::has_byte_order_mark(std::string(qxcore::kByteOrderMark) + "a,b"));
  EXPECT_FALSE(qxcore::has_byte_order_mark("\xEF\xBB"));
  EXPECT_EQ(qxcore::format("%2$s %1$s", "a", std::string(600, 'b').c_str()).size(), 602u);
  EXPECT_EQ(qxcore::local_time_now().size(), 19u);
}

TEST(FailureKinds, OneRowPerKindInTheOrderOfTheLink) {
  EXPECT_STREQ(qxcore::failure_name(qxcore::Failure::kTimeout), "timeout");
  EXPECT_STREQ(qxcore::failure_name(qxcore::Failure::kIo), "io");
  EXPECT_STREQ(qxcore::failure_name(qxcore::Failure::kCount), "?");
  EXPECT_STREQ(qxcore::kFailureKinds[qxcore::kFailureKindCount - 1].name, qxcore::kUnpublished);
  for (const qxcore::FailureKind& kind : qxcore::kFailureKinds) {
    EXPECT_EQ(kind.colour[0], '#') << kind.name;
    EXPECT_STREQ(qxcore::failure_label(kind.name), kind.label);  // English: the label itself
  }
  EXPECT_STREQ(qxcore::failure_label("unknown"), "unknown");
}

}  // namespace
