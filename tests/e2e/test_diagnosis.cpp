// The commissioning diagnosis end to end: each example profile's fault on
// its own simulated meter, found by the bench in the plug-in's snapshot and
// shown in --json and the CSV; a healthy meter gives no finding.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "e2e.h"
#include "qxcore/exit_codes.h"

namespace {

using namespace qxcore::exit_codes;

struct Expected {
  const char* profile;             ///< nullptr: the built-in healthy meter
  std::set<std::string> findings;  ///< "check phase" in round 2
};

const Expected kProfiles[] = {
    {"profile-vt-reversed-b.json", {"vt-polarity B"}},
    {"profile-voltage-missing-c.json", {"voltage-missing C"}},
    {"profile-ct-open-a.json", {"current-missing A"}},
    {"profile-ct-reversed.json", {"ct-reverse"}},
    {"profile-ct-crossed-b.json", {"ct-cross B"}},
    {"profile-unbalance.json", {"voltage-unbalance"}},
    {"profile-frequency-high.json", {"frequency-deviation"}},
    {"profile-overvoltage.json",
     {"voltage-deviation A", "voltage-deviation B", "voltage-deviation C"}},
    {nullptr, {}},
};

std::set<std::string> findings_of(const Json::Value& round) {
  std::set<std::string> found;
  for (const Json::Value& f : round["diagnosis"]) {
    found.insert(f["check"].asString() + (f["phase"].isNull() ? "" : " " + f["phase"].asString()));
  }
  return found;
}

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

// One meter per profile on one line, two rounds a second apart (each round
// its own snapshot, so the reverse energy is seen to rise).
TEST(BenchDiagnosis, EachExampleProfileShowsItsFindingAndAHealthyMeterNone) {
  qxe2e::TempDir dir;
  const int meters = static_cast<int>(std::size(kProfiles));
  std::vector<std::string> args = {"--slave",    "1-" + std::to_string(meters),
                                   "--rounds",   "2",
                                   "--interval", "1000",
                                   "--csv",      dir.file("run.csv")};
  for (int i = 0; i < meters; ++i) {
    if (kProfiles[i].profile == nullptr) continue;
    args.push_back("--sim-profile-for");
    args.push_back(std::to_string(i + 1) + "=" + qxe2e::kExamples + "/" + kProfiles[i].profile);
  }
  const auto bench = qxe2e::run_bench(args);
  ASSERT_EQ(bench.result.exit_code, kExitOk) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 2u * meters);
  for (const Json::Value& round : bench.rounds) {
    const Expected& expected = kProfiles[round["slave"].asInt() - 1];
    const std::string profile = expected.profile ? expected.profile : "the built-in meter";
    // The reverse energy rises from round 1 to 2: only round 2 can show it.
    if (round["round"].asInt() == 2 || expected.findings.count("ct-reverse") == 0) {
      EXPECT_EQ(findings_of(round), expected.findings) << profile << " " << round["diagnosis"];
    }
    for (const Json::Value& f : round["diagnosis"]) {
      EXPECT_TRUE(f["value"].isDouble() && f["limit"].isDouble()) << profile << " " << f;
      EXPECT_TRUE(f["severity"] == "fault" || f["severity"] == "warning" || f["severity"] == "note")
          << f;
      EXPECT_GT(f["text"].asString().size(), 40u) << f;
    }
    EXPECT_TRUE(round["voltage_unbalance_percent"].isDouble()) << profile;
    EXPECT_TRUE(round["current_unbalance_percent"].isDouble()) << profile;
    if (expected.profile == nullptr) {
      EXPECT_LT(round["voltage_unbalance_percent"].asDouble(), 1) << round;
    } else if (std::string(expected.profile) == "profile-unbalance.json") {
      EXPECT_NEAR(round["voltage_unbalance_percent"].asDouble(), 3.0, 0.05);
      EXPECT_EQ(round["diagnosis"][0]["limit"].asDouble(), 2);
    }
  }
  // The CSV carries the two figures and what they were judged against, at the end.
  const std::vector<std::string> lines = qxe2e::lines_of(qxe2e::read_file(dir.file("run.csv")));
  ASSERT_EQ(lines.size(), 1u + 2 * meters);
  const std::vector<std::string> header = split(lines[0]);
  EXPECT_EQ(std::vector<std::string>(header.end() - 5, header.end()),
            (std::vector<std::string>{"voltage_unbalance_percent", "current_unbalance_percent",
                                      "nominal_voltage", "nominal_frequency", "frequency_limit"}));
  const std::vector<std::string> unbalanced = split(lines[6]);  // round 1, slave 6
  ASSERT_EQ(unbalanced.size(), header.size());
  EXPECT_EQ(unbalanced[1], "6");
  EXPECT_NEAR(std::stod(unbalanced[header.size() - 5]), 3.0, 0.05);
  EXPECT_EQ(std::vector<std::string>(unbalanced.end() - 3, unbalanced.end()),
            (std::vector<std::string>{"220", "50", "0.2"}));
}

// The nominal values are options: 50.3 Hz is within a small system's 0.5 Hz,
// and 230 V is nominal, not 4.5 % above.
TEST(BenchDiagnosis, NominalValuesAndTheSmallSystemAreOptions) {
  const auto bench = qxe2e::run_bench(
      {"--rounds", "1", "--small-system", "--nominal-voltage", "230", "--nominal-frequency", "50",
       "--sim-profile", std::string(qxe2e::kExamples) + "/profile-frequency-high.json"});
  ASSERT_EQ(bench.result.exit_code, kExitOk) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 1u);
  EXPECT_EQ(bench.rounds[0]["diagnosis"].size(), 0u) << bench.rounds[0]["diagnosis"];
  const auto usage = qxe2e::run_bench({"--rounds", "1", "--nominal-voltage", "0"});
  EXPECT_EQ(usage.result.exit_code, kExitUsage);
}

}  // namespace
