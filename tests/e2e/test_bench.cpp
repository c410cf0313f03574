// The bench host end to end: the built qx7540pm-bench polling its built-in
// simulated meter over a pseudo-terminal, checked through its --json output:
// the profile's values, link faults, the alarm, errors and the run's forms.
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

bool has_line(const Json::Value& round, const std::string& text) {
  for (const Json::Value& line : round["device_output"]) {
    if (line.asString() == text) return true;
  }
  return false;
}

std::string example(const std::string& name) { return std::string(qxe2e::kExamples) + "/" + name; }

// Every rendered register of round 1 shows as the profile's word, scaled as
// the meter documents it; every published record carries the round's words.
TEST(BenchProfile, DefaultProfileReachesRecordsAndSnapshot) {
  const auto bench = run_bench({"--rounds", "3", "--interval", "50"});
  ASSERT_EQ(bench.result.exit_code, kExitOk) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 3u);
  const qxsim::Profile profile;
  for (std::size_t i = 0; i < bench.rounds.size(); ++i) {
    const Json::Value& round = bench.rounds[i];
    ASSERT_TRUE(round["ok"].asBool()) << round;
    qxsim::RegisterImage expected = profile.image_for_round(static_cast<long>(i + 1), {});
    expected[32] = 0;  // never read
    EXPECT_EQ(qxe2e::registers_of_record(round["record"].asString()), expected)
        << "round " << i + 1;
  }
  // The energy counters rise by one each round.
  const auto first = qxe2e::registers_of_record(bench.rounds[0]["record"].asString());
  const auto third = qxe2e::registers_of_record(bench.rounds[2]["record"].asString());
  EXPECT_EQ(third[33], first[33] + 2);
  EXPECT_EQ(third[35], first[35] + 2);

  const qxsim::RegisterImage round1 = profile.image_for_round(1, {});
  const Json::Value& snapshot = bench.rounds[0]["snapshot"];
  for (int i = 0; i < qxsim::kKeyScaleCount; ++i) {
    const qxsim::KeyScale& row = qxsim::key_scales()[i];
    ASSERT_TRUE(snapshot[row.key].isDouble()) << row.key;
    EXPECT_EQ(snapshot[row.key].asDouble(), qxe2e::expected_value(round1[row.reg], row.divisor))
        << row.key;
  }
  EXPECT_EQ(snapshot.size(), 37u);
}

TEST(BenchProfile, ProfileFilePinsRegistersByNumberAndKey) {
  const auto bench = run_bench(
      {"--rounds", "2", "--interval", "50", "--sim-profile", example("profile-static.json")});
  ASSERT_EQ(bench.result.exit_code, kExitOk) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 2u);
  const Json::Value& s = bench.rounds[0]["snapshot"];
  // 2201 / 10 in single precision, widened.
  EXPECT_EQ(s["相电压Ua"].asDouble(), 220.100006103515625);
  EXPECT_EQ(s["相电压Ub"].asDouble(), static_cast<double>(2315.0f / 10.0f));
  EXPECT_EQ(s["A相功率因数"].asDouble(), static_cast<double>(9870.0f / 10000.0f));
  EXPECT_EQ(s["正向有功电能"].asDouble(), 4321.0);
  EXPECT_NEAR(s["频率"].asDouble(), 49.98, 0.001);
  // "vary": false: both rounds carry the same registers.
  EXPECT_EQ(qxe2e::registers_of_record(bench.rounds[0]["record"].asString()),
            qxe2e::registers_of_record(bench.rounds[1]["record"].asString()));
}

// Each fault switch on the first request: the round fails with its kind, the
// device reports the failed exchange and publishes nothing; the next round
// recovers.
class BenchFaults : public ::testing::TestWithParam<qxsim::FaultInfo> {};

TEST_P(BenchFaults, FailOneRoundThenRecover) {
  const qxsim::FaultInfo& info = GetParam();
  std::string fault = std::string(info.name) + "@1";
  // A delay past the timeout; the next round starts after the late reply.
  if (info.fault == qxsim::Fault::kDelay) fault += ":900";
  const auto bench =
      run_bench({"--rounds", "2", "--interval", "1300", "--timeout", "500", "--sim-fault", fault});
  ASSERT_EQ(bench.result.exit_code, kExitRoundsFailed) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 2u);
  const Json::Value& failed = bench.rounds[0];
  EXPECT_FALSE(failed["ok"].asBool());
  EXPECT_EQ(failed["error"].asString(), qxcore::failure_name(info.failure));
  EXPECT_TRUE(has_line(failed, "SPModbus get error")) << failed["device_output"];
  EXPECT_TRUE(failed["record"].isNull());
  EXPECT_TRUE(failed["alarm"].isNull());
  EXPECT_EQ(failed["query"].asString(), "数据未就绪");

  const Json::Value& recovered = bench.rounds[1];
  EXPECT_TRUE(recovered["ok"].asBool()) << recovered;
  EXPECT_TRUE(recovered["error"].isNull());
  EXPECT_EQ(recovered["record"].asString().size(), 2u * 91);
  EXPECT_TRUE(has_line(recovered, "rvSize is 0"));
  EXPECT_FALSE(has_line(recovered, "SPModbus get error"));
  EXPECT_EQ(recovered["query"].asString(), "不支持变量");

  EXPECT_EQ(bench.summary["failures"][qxcore::failure_name(info.failure)].asInt(), 1);
  EXPECT_EQ(bench.summary["failed"].asInt(), 1);
  EXPECT_EQ(bench.summary["ok"].asInt(), 1);
}

INSTANTIATE_TEST_SUITE_P(EverySwitch, BenchFaults, ::testing::ValuesIn(qxsim::kFaults),
                         [](const ::testing::TestParamInfo<qxsim::FaultInfo>& p) {
                           std::string name = p.param.name;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

TEST(BenchFaults, ExceptionCodeTravelsToTheReport) {
  const auto bench = run_bench({"--rounds", "1", "--sim-fault", "exception@1:2"});
  ASSERT_EQ(bench.rounds.size(), 1u);
  EXPECT_EQ(bench.rounds[0]["error"].asString(), "exception");
  EXPECT_EQ(bench.rounds[0]["exception_code"].asInt(), 2);
}

TEST(BenchFaults, FailureOnTheSecondReadLeavesTheRoundUnpublished) {
  const auto bench = run_bench({"--rounds", "2", "--interval", "50", "--sim-fault", "crc@2"});
  ASSERT_EQ(bench.rounds.size(), 2u);
  EXPECT_EQ(bench.rounds[0]["error"].asString(), "bad-crc");
  EXPECT_TRUE(bench.rounds[0]["record"].isNull());
  EXPECT_TRUE(bench.rounds[1]["ok"].asBool());
}

std::vector<bool> alarm_states(const qxe2e::BenchRun& bench) {
  std::vector<bool> states;
  for (const Json::Value& round : bench.rounds) states.push_back(round["alarm"]["state"].asBool());
  return states;
}

TEST(BenchAlarm, OutageOfAMonitoredPhaseRaisesTheAlarm) {
  const auto bench = run_bench({"--rounds", "3", "--interval", "50", "--settings",
                                example("monitor-all-phases.json"), "--sim-profile",
                                example("profile-alarm-scale.json"), "--sim-outage-phase", "A",
                                "--sim-outage-round", "2"});
  ASSERT_EQ(bench.result.exit_code, kExitOk) << bench.result.err;
  EXPECT_EQ(alarm_states(bench), (std::vector<bool>{false, true, true}));
  const Json::Value& alarm = bench.rounds[1]["alarm"];
  EXPECT_EQ(alarm["id"].asString(), "p41_44_0");
  EXPECT_EQ(alarm["code"].asString(), "321415001");
  EXPECT_EQ(alarm["name"].asString(), "输入电源中断");
  EXPECT_EQ(alarm["text"].asString(), "输入电源中断 UA:0 UB:230 UC:230");
}

TEST(BenchAlarm, TenthOfAVoltRegistersAlarmWhenMonitoredAndTheBenchSaysWhy) {
  // The default profile holds 230 V as 2300; the alarm check reads 23.0.
  const auto bench = run_bench({"--rounds", "1", "--settings", example("monitor-all-phases.json")});
  ASSERT_EQ(bench.rounds.size(), 1u);
  EXPECT_TRUE(bench.rounds[0]["alarm"]["state"].asBool());
  bool explained = false;
  for (const Json::Value& w : bench.rounds[0]["warnings"]) {
    explained |= w.asString().find("divides the register by 100") != std::string::npos;
  }
  EXPECT_TRUE(explained) << bench.rounds[0]["warnings"];
}

TEST(BenchAlarm, OutageOfAnUnmonitoredPhaseOrModeZeroRaisesNothing) {
  const auto unmonitored = run_bench(
      {"--rounds", "2", "--interval", "50", "--sim-outage-phase", "B", "--sim-outage-round", "1"});
  EXPECT_EQ(alarm_states(unmonitored), (std::vector<bool>{false, false}));
  EXPECT_NE(unmonitored.result.err.find("not monitored"), std::string::npos);
  const auto mode_zero = run_bench({"--rounds", "1", "--settings",
                                    example("monitor-a-no-check.json"), "--sim-outage-phase", "A"});
  ASSERT_EQ(mode_zero.rounds.size(), 1u);
  EXPECT_TRUE(mode_zero.rounds[0]["alarm"].isNull());
}

struct ErrorCase {
  const char* name;
  std::vector<std::string> args;
  int exit_code;
  std::vector<std::string> messages;  ///< each must appear on standard error
};

TEST(BenchErrors, EachErrorHasItsMessageAndExitCodeAndNoOutput) {
  qxe2e::TempDir dir;
  qxe2e::write_file(dir.file("broken.json"),
                    "{\n  \"appSetting\": {\n    \"has_a\": 1,,\n  }\n}\n");
  qxe2e::write_file(dir.file("array.json"), R"({"appSetting": {"has_a": [1]}})");
  qxe2e::write_file(dir.file("short.bin"), std::string(90, '\0'));
  qxe2e::write_file(dir.file("profile.json"), R"({"registers": {"相电压Ux": 1}})");
  const std::vector<ErrorCase> cases = {
      {"missing plug-in",
       {"--plugin", dir.file("nowhere/qx7540pm.so")},
       kExitPlugin,
       {"cannot open shared object file", "ldd"}},
      {"not a plug-in", {"--plugin", qxe2e::kFramework}, kExitPlugin, {"has no get_providers"}},
      {"settings not JSON",
       {"--settings", dir.file("broken.json")},
       kExitInput,
       {"broken.json", "line 3, column 16"}},
      {"settings refused",
       {"--settings", dir.file("array.json")},
       kExitInput,
       {"refused the settings"}},
      {"settings missing",
       {"--settings", dir.file("none.json")},
       kExitInput,
       {"none.json", "No such file"}},
      {"cache refused", {"--cache", dir.file("short.bin")}, kExitInput, {"90 bytes"}},
      {"profile key", {"--sim-profile", dir.file("profile.json")}, kExitInput, {"相电压Ux"}},
      {"fault switch", {"--sim-fault", "lightning@1"}, kExitUsage, {"KIND@REQUEST"}},
      {"outage round 0",
       {"--sim-outage-phase", "A", "--sim-outage-round", "0"},
       kExitUsage,
       {"rounds count from 1"}},
      {"history unwritable",
       {"--history", dir.file("no/such/dir")},
       kExitInput,
       {"cannot open history file"}},
      {"serial port",
       {"--port", dir.file("ttyUSB9")},
       kExitPort,
       {"ttyUSB9", "No such file or directory"}},
      {"TCP gateway", {"--tcp", "127.0.0.1:1"}, kExitPort, {"127.0.0.1:1", "refused"}},
      {"sim switch on a port", {"--port", "/dev/null", "--sim-pace"}, kExitUsage, {"--sim-*"}},
      {"slave list", {"--slave", "1,x"}, kExitUsage, {"\"x\" is not an id or a range"}},
      {"settings for a slave not polled",
       {"--settings-for", "9=" + dir.file("array.json")},
       kExitUsage,
       {"ID one of --slave"}},
      {"settings for one meter refused",
       {"--slave", "1,2", "--settings-for", "2=" + dir.file("array.json")},
       kExitInput,
       {"for slave 2 refused the settings in", "array.json"}},
      {"fault for a meter not simulated",
       {"--sim-fault-for", "5=crc@1"},
       kExitUsage,
       {"no simulated meter has slave id 5"}},
      {"bad option", {"--rounds", "many"}, kExitUsage, {"--rounds"}},
  };
  for (const ErrorCase& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--rounds", "1", "--timeout", "200"});
    if (c.args.size() > 1 && c.args[0] == "--rounds") args = c.args;
    const auto bench = run_bench(args, 30);
    EXPECT_EQ(bench.result.exit_code, c.exit_code) << c.name << "\n" << bench.result.err;
    for (const std::string& m : c.messages) {
      EXPECT_NE(bench.result.err.find(m), std::string::npos)
          << c.name << ": no \"" << m << "\" in\n"
          << bench.result.err;
    }
    EXPECT_EQ(bench.result.out, "") << c.name;
  }
}

TEST(BenchRun, JsonModeWritesOnlyJsonAndTheSummaryLast) {
  const auto bench = run_bench({"--rounds", "2", "--interval", "50"});
  EXPECT_TRUE(bench.not_json.empty());
  const auto lines = qxe2e::lines_of(bench.result.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(qxe2e::parse_json(lines.back()).isMember("summary"));
  EXPECT_EQ(bench.summary["rounds"].asInt(), 2);
  EXPECT_EQ(bench.summary["ok"].asInt(), 2);
  // 106 bytes of 8N1 at 9600 baud plus four 3.5-character silences.
  EXPECT_EQ(bench.summary["wire_minimum_us"].asInt(), 125000);
  EXPECT_NE(bench.result.err.find("qx7540pm"), std::string::npos);
}

// --watch redraws only on a terminal: into a pipe the output scrolls as ever.
TEST(BenchRun, HumanOutputShowsValuesAlarmQueryAndSummary) {
  const auto result = qxe2e::run({qxe2e::kBench, "--plugin", qxe2e::kPlugin, "--rounds", "2",
                                  "--interval", "50", "--sim-outage-phase", "C", "--watch"});
  EXPECT_EQ(result.exit_code, kExitOk) << result.err;
  for (const char* text : {"round 1", "round 2", "phase voltage", "230.", "输入电源中断: normal",
                           "不支持变量", "rvSize is 0", "WARNING", "相电压Uc = 0.000 V is outside",
                           "summary: 2 rounds, 2 ok", "wire minimum 125.0 ms"}) {
    EXPECT_NE(result.out.find(text), std::string::npos) << text << "\n" << result.out;
  }
  // The first line names the loaded plug-in's version and build-id.
  const std::string first = result.out.substr(0, result.out.find('\n'));
  EXPECT_NE(first.find(std::string(qxe2e::kPlugin) + " (version " + qxhost::project_version() +
                       ", build-id "),
            std::string::npos)
      << first;
  // Without --plugin, the plug-in built beside the bench, named as it is; the
  // device's own lines and a meter in the alarm's scale, explained.
  const auto found = qxe2e::run({qxe2e::kBench, "--rounds", "1", "--interval", "0", "--sim-profile",
                                 example("profile-alarm-scale.json")});
  const std::string named = found.out.substr(0, found.out.find('\n'));
  EXPECT_NE(named.find("/qx7540pm.so (version "), std::string::npos) << named;
  EXPECT_EQ(named.find("/../"), std::string::npos) << named;
  for (const char* text : {"rvSize is 0  (threshold rule values the controller's checks left",
                           "相电压Ua, 相电压Ub, 相电压Uc at 2300.0 V: registers counted in "
                           "hundredths of a volt (230.00 V)"}) {
    EXPECT_NE(found.out.find(text), std::string::npos) << text << "\n" << found.out;
  }
}

// --trace shows each exchange's frames as they were on the wire; the
// requests' CRCs are worked out by hand, not by the link's code.
TEST(BenchRun, TraceShowsEveryFrameOfTheRound) {
  const auto bench = run_bench({"--rounds", "1", "--trace", "--sim-fault", "crc@2"});
  ASSERT_EQ(bench.rounds.size(), 1u) << bench.result.err;
  const Json::Value& trace = bench.rounds[0]["trace"];
  ASSERT_EQ(trace.size(), 4u) << trace;
  EXPECT_EQ(trace[0]["dir"].asString(), "tx");
  EXPECT_EQ(trace[0]["bytes"].asString(), "01 03 00 00 00 20 44 12");
  EXPECT_EQ(trace[1]["dir"].asString(), "rx");
  EXPECT_EQ(trace[1]["length"].asInt(), 69);  // slave, function, count, 64 data bytes, CRC
  EXPECT_EQ(trace[1]["bytes"].asString().substr(0, 8), "01 03 40");
  EXPECT_TRUE(trace[1]["failure"].isNull());
  EXPECT_EQ(trace[2]["bytes"].asString(), "01 03 00 21 00 08 14 06");
  // The corrupted reply still shows, with the failure it caused.
  EXPECT_EQ(trace[3]["length"].asInt(), 21);
  EXPECT_EQ(trace[3]["failure"].asString(), "bad-crc");
  for (Json::ArrayIndex i = 1; i < trace.size(); ++i) {
    EXPECT_GE(trace[i]["t_us"].asInt64(), trace[i - 1]["t_us"].asInt64());
  }
  // Without --trace the rounds carry none.
  EXPECT_FALSE(run_bench({"--rounds", "1"}).rounds.at(0).isMember("trace"));
}

// Three meters on one line, the second silent: the others complete every
// round, and the silent one's rounds fail as timeouts in its own summary.
TEST(BenchLine, SilentMeterDoesNotStopTheOthers) {
  const auto bench =
      run_bench({"--slave", "4,5,6", "--sim-slaves", "4,6", "--rounds", "3", "--interval", "0",
                 "--timeout", "100", "--sim-fault-for", "6=exception@2"});
  EXPECT_EQ(bench.result.exit_code, kExitRoundsFailed) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 9u);
  for (std::size_t i = 0; i < bench.rounds.size(); ++i) {
    const Json::Value& round = bench.rounds[i];
    EXPECT_EQ(round["slave"].asInt(), 4 + static_cast<int>(i % 3));
    EXPECT_EQ(round["round"].asInt(), 1 + static_cast<int>(i / 3));
  }
  const Json::Value& meters = bench.summary["meters"];
  ASSERT_EQ(meters.size(), 3u) << bench.summary;
  EXPECT_EQ(meters[0]["ok"].asInt(), 3);
  EXPECT_EQ(meters[1]["ok"].asInt(), 0);
  EXPECT_EQ(meters[1]["failures"]["timeout"].asInt(), 3);
  // Meter 6's own second request fails, its first round's second read.
  EXPECT_EQ(meters[2]["ok"].asInt(), 2);
  EXPECT_EQ(meters[2]["failures"]["exception"].asInt(), 1);
  EXPECT_EQ(bench.summary["cycles"].asInt(), 3);
  EXPECT_EQ(bench.summary["cycle_wire_minimum_us"].asInt(), 3 * 125000);
  // Each meter's records are its own: the energy counter rises once per its rounds.
  const auto first = qxe2e::registers_of_record(bench.rounds[0]["record"].asString());
  const auto last = qxe2e::registers_of_record(bench.rounds[6]["record"].asString());
  EXPECT_EQ(last[33], first[33] + 2);
}

TEST(BenchRun, InterruptStopsWithTheSummary) {
  qxe2e::Child bench({qxe2e::kBench, "--json", "--plugin", qxe2e::kPlugin, "--interval", "100"});
  std::string first;
  ASSERT_TRUE(bench.read_line(first, 30));
  EXPECT_EQ(qxe2e::parse_json(first)["round"].asInt(), 1);
  bench.signal(SIGINT);
  const qxe2e::Result result = bench.finish(30);
  EXPECT_EQ(result.exit_code, kExitInterrupted) << result.err;
  const auto lines = qxe2e::lines_of(result.out);
  ASSERT_FALSE(lines.empty());
  const Json::Value summary = qxe2e::parse_json(lines.back())["summary"];
  EXPECT_TRUE(summary["interrupted"].asBool());
  EXPECT_GE(summary["rounds"].asInt(), 1);
}

}  // namespace
