// qx7540pm-bench scan end to end: finding meters whose id or line setting
// is not known, on the built-in simulated meter.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e.h"
#include "qxcore/exit_codes.h"
#include "qxhost/version.h"
#include "qxsim/faults.h"
#include "qxsim/profile.h"

namespace {

using qxe2e::run_bench;
using namespace qxcore::exit_codes;

// Every meter on the line keeps to its line setting: neither answers at the
// three settings tried before its own.
TEST(BenchScan, FindsTheHiddenMetersAndTheCommandPollsOne) {
  const auto scan = run_bench({"scan", "--slaves", "15-18", "--baud", "9600,19200", "--format",
                               "8N1,8E1", "--timeout", "50", "--sim-slaves", "15,17", "--sim-baud",
                               "19200", "--sim-format", "8E1"});
  ASSERT_EQ(scan.result.exit_code, kExitOk) << scan.result.err;
  EXPECT_TRUE(scan.not_json.empty());
  ASSERT_EQ(scan.rounds.size(), 2u) << scan.result.out;
  EXPECT_EQ(scan.rounds[0]["slave"].asInt(), 15);
  EXPECT_EQ(scan.rounds[0]["line"].asString(), "19200 8E1");
  const Json::Value& found = scan.rounds[1];
  EXPECT_EQ(found["slave"].asInt(), 17);
  EXPECT_EQ(found["line"].asString(), "19200 8E1");
  EXPECT_EQ(found["answer"].asString(), "reply");
  EXPECT_TRUE(found["meter"].asBool()) << found["verdict"];
  EXPECT_EQ(found["snapshot"].size(), 37u);
  EXPECT_EQ(scan.summary["probes"].asInt(), 16);
  EXPECT_EQ(scan.summary["meters"].asInt(), 2);

  std::vector<std::string> command;
  const std::string text = found["command"].asString();
  for (std::string::size_type begin = 0; begin < text.size();) {
    const auto space = std::min(text.find(' ', begin), text.size());
    command.push_back(text.substr(begin, space - begin));
    begin = space + 1;
  }
  command.insert(command.end(), {"--rounds", "1", "--json"});
  const auto polled = qxe2e::run(command, 30);
  EXPECT_EQ(polled.exit_code, kExitOk) << text << "\n" << polled.err;
  const auto lines = qxe2e::lines_of(polled.out);
  ASSERT_EQ(lines.size(), 2u) << polled.out;
  EXPECT_TRUE(qxe2e::parse_json(lines[0])["ok"].asBool()) << lines[0];
}

TEST(BenchScan, BadIdsSpeedsOrFormatsAreUsageErrors) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--slaves", "5-300"}, "outside the ids 1 to 247"},
      {{"--slaves", "9-3"}, "\"9-3\" is not an id or a range"},
      {{"--baud", "9600,fast"}, "\"fast\" is not a serial line speed"},
      {{"--format", "8N1,8X1"}, "\"8X1\" is not data bits"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> argv = {"scan"};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto scan = run_bench(argv, 30);
    EXPECT_EQ(scan.result.exit_code, kExitUsage) << args[1] << "\n" << scan.result.err;
    EXPECT_NE(scan.result.err.find(message), std::string::npos) << scan.result.err;
    EXPECT_EQ(scan.result.out, "") << args[1];
  }
}

// An id that answers with an exception is a responder but no meter, so the
// scan goes on to the next setting; it stops after the setting that found one.
TEST(BenchScan, ExceptionIsNoMeterAndTheScanStopsAfterTheFirstSettingWithOne) {
  const auto scan = run_bench({"scan", "--slaves", "1", "--baud", "9600", "--format", "8N1,8E1,8O1",
                               "--timeout", "50", "--sim-fault", "exception@1:2"});
  ASSERT_EQ(scan.result.exit_code, kExitOk) << scan.result.err;
  ASSERT_EQ(scan.rounds.size(), 2u) << scan.result.out;
  EXPECT_EQ(scan.rounds[0]["answer"].asString(), "exception");
  EXPECT_EQ(scan.rounds[0]["exception_code"].asInt(), 2);
  EXPECT_FALSE(scan.rounds[0]["meter"].asBool());
  EXPECT_TRUE(scan.rounds[0]["command"].isNull());
  EXPECT_EQ(scan.rounds[1]["line"].asString(), "9600 8E1");
  EXPECT_TRUE(scan.rounds[1]["meter"].asBool());
  EXPECT_EQ(scan.summary["settings_tried"].asInt(), 2);
}

TEST(BenchScan, InterruptKeepsWhatWasFound) {
  qxe2e::Child scan(
      {qxe2e::kBench, "scan", "--json", "--all", "--plugin", qxe2e::kPlugin, "--timeout", "100"});
  std::string first;
  ASSERT_TRUE(scan.read_line(first, 30));
  EXPECT_EQ(qxe2e::parse_json(first)["slave"].asInt(), 1);
  scan.signal(SIGINT);
  const qxe2e::Result result = scan.finish(30);
  EXPECT_EQ(result.exit_code, kExitInterrupted) << result.err;
  const auto lines = qxe2e::lines_of(result.out);
  ASSERT_FALSE(lines.empty());
  const Json::Value summary = qxe2e::parse_json(lines.back())["summary"];
  EXPECT_TRUE(summary["interrupted"].asBool());
  EXPECT_GE(summary["meters"].asInt(), 1);
}

}  // namespace
