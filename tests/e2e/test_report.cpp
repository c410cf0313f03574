// The commissioning report: what a polling run writes with --report, what
// `report FILE.csv` makes of its CSV, and how a day of rounds is drawn.
// The page in a browser is test_report_browser.py's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRoundsFailed = 1;
constexpr int kExitInput = 4;

std::string example(const std::string& name) { return std::string(qxe2e::kExamples) + "/" + name; }

qxe2e::Result bench(std::vector<std::string> args, double limit_s = 60) {
  args.insert(args.begin(), {qxe2e::kBench, "--plugin", qxe2e::kPlugin});
  return qxe2e::run(args, limit_s);
}

/// The chart data the page draws from: the JSON of its qx-data script.
Json::Value report_data(const std::string& html) {
  const std::string open = "<script id=\"qx-data\" type=\"application/json\">";
  const auto begin = html.find(open);
  if (begin == std::string::npos) return Json::Value();
  const auto end = html.find("</script>", begin);
  return qxe2e::parse_json(html.substr(begin + open.size(), end - begin - open.size()));
}

/// Each meter's verdict rows: the page's text from the checks table to the round time.
std::vector<std::string> verdict_rows(const std::string& html) {
  std::vector<std::string> rows;
  for (auto at = html.find("<table class=\"facts checks\">"); at != std::string::npos;
       at = html.find("<table class=\"facts checks\">", at + 1)) {
    rows.push_back(html.substr(at, html.find("<tr><th>Round time", at) - at));
  }
  return rows;
}

const Json::Value& chart(const Json::Value& meter, const std::string& id) {
  for (const Json::Value& c : meter["charts"]) {
    if (c["id"].asString() == id) return c;
  }
  return Json::Value::nullSingleton();
}

// Two meters, both with an outage raising the alarm and one failing a round
// (a round a second: each round's snapshot is its own): the report made later from the CSV judges
// and draws them exactly as the report the run wrote, but for the facts the CSV does not keep.
TEST(BenchReport, ReportOfTheCsvShowsWhatThePolledReportShowed) {
  qxe2e::TempDir dir;
  const auto polled = bench({"--slave",
                             "1,2",
                             "--rounds",
                             "6",
                             "--interval",
                             "1000",
                             "--timeout",
                             "100",
                             "--settings",
                             example("monitor-all-phases.json"),
                             "--sim-profile",
                             example("profile-alarm-scale.json"),
                             "--sim-outage-phase",
                             "B",
                             "--sim-outage-round",
                             "4",
                             "--sim-fault-for",
                             "2=crc@3",
                             "--csv",
                             dir.file("run.csv"),
                             "--report",
                             dir.file("polled.html")});
  ASSERT_EQ(polled.exit_code, kExitRoundsFailed) << polled.err;
  const auto made = qxe2e::run({qxe2e::kBench, "report", dir.file("run.csv")}, 30);
  ASSERT_EQ(made.exit_code, kExitOk) << made.err;
  const std::string from_run = qxe2e::read_file(dir.file("polled.html"));
  const std::string from_csv = qxe2e::read_file(dir.file("run.html"));  // the CSV's name

  const Json::Value run_data = report_data(from_run);
  Json::Value csv_data = report_data(from_csv);
  ASSERT_EQ(run_data["meters"].size(), 2u) << from_run.substr(0, 2000);
  // The link is not in the CSV, so neither is the wire minimum that the
  // polled run's histogram spans; the round times are the same.
  Json::Value run_without = run_data;
  EXPECT_DOUBLE_EQ(run_data["meters"][0]["histogram"]["wire_minimum_ms"].asDouble(), 125.0);
  const auto good_rounds = [](const Json::Value& histogram) {
    long n = 0;
    for (const Json::Value& count : histogram["counts"]) n += count.asInt();
    return n;
  };
  for (Json::ArrayIndex m = 0; m < csv_data["meters"].size(); ++m) {
    const Json::Value& from_csv_times = csv_data["meters"][m]["histogram"];
    const Json::Value& polled_times = run_data["meters"][m]["histogram"];
    EXPECT_TRUE(from_csv_times["wire_minimum_ms"].isNull());
    EXPECT_EQ(from_csv_times["mean_ms"], polled_times["mean_ms"]);
    EXPECT_EQ(good_rounds(from_csv_times), good_rounds(polled_times));
    // The axis starts at a round number: bins of 1, 2 or 5 times a power of
    // ten, from 0 (the simulated rounds take well under their spread).
    EXPECT_EQ(polled_times["low_ms"].asDouble(), 0.0) << polled_times;
    const double mantissa =
        polled_times["bin_ms"].asDouble() /
        std::pow(10.0, std::floor(std::log10(polled_times["bin_ms"].asDouble())));
    EXPECT_TRUE(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 ||
                std::abs(mantissa - 5) < 1e-9)
        << polled_times;
    csv_data["meters"][m].removeMember("histogram");
    run_without["meters"][m].removeMember("histogram");
  }
  EXPECT_EQ(csv_data, run_without);
  EXPECT_EQ(verdict_rows(from_csv), verdict_rows(from_run));
  // The diagnosis judged again from the CSV's values and nominal values: the same section.
  const auto diagnosis = [](const std::string& html) {
    const auto at = html.find("<h3>Wiring and supply quality");
    return at == std::string::npos ? std::string()
                                   : html.substr(at, html.find("</table>", at) - at);
  };
  EXPECT_EQ(diagnosis(from_csv), diagnosis(from_run));
  EXPECT_NE(diagnosis(from_run).find(">B 0.0 V (limit 1150.0 V) in round 4;"), std::string::npos)
      << diagnosis(from_run);

  const Json::Value& first = run_data["meters"][0];
  const Json::Value& second = run_data["meters"][1];
  EXPECT_EQ(first["slave"].asInt(), 1);
  EXPECT_EQ(second["slave"].asInt(), 2);
  // Meter 2's third request is the first read of its round 2.
  ASSERT_EQ(second["failures"].size(), 1u) << second["failures"];
  EXPECT_EQ(second["failures"][0]["kind"].asString(), "bad-crc");
  EXPECT_EQ(second["failures"][0]["points"], qxe2e::parse_json("[2, 1]"));
  EXPECT_EQ(first["failures"].size(), 0u);
  for (const Json::Value& meter : {first, second}) {
    EXPECT_EQ(meter["alarm_marks"], qxe2e::parse_json(R"([{"raised": true, "round": 4}])"));
  }
  // A round that published nothing is a gap in every line.
  const Json::Value& ub = chart(second, "phase_voltage")["series"][1];
  EXPECT_EQ(ub["label"].asString(), "相电压Ub");
  EXPECT_TRUE(ub["points"][3].isNull()) << ub["points"];  // round 2's value
  // Phase B is out from round 4; round 6 reads 0 V even if its snapshot is round 5's.
  EXPECT_EQ(ub["points"][11].asDouble(), 0.0);

  const std::vector<std::string> rows = verdict_rows(from_run);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NE(rows[0].find("6 of 6 rounds published"), std::string::npos) << rows[0];
  EXPECT_NE(rows[1].find("5 of 6 rounds published; bad-crc in 1 round"), std::string::npos)
      << rows[1];
  EXPECT_NE(rows[1].find("输入电源中断 raised in 3 of 5 reports, first in round 4"),
            std::string::npos)
      << rows[1];
  // The profile holds the voltages at 2300 V, for the alarm's scale.
  EXPECT_NE(
      rows[0].find("相电压Ua = 2300.000 V is outside 90 to 290 V (first in round 1, 6 rounds)"),
      std::string::npos)
      << rows[0];
  // What only the polled run knows.
  EXPECT_NE(from_run.find("build-id <span class=\"code\">"), std::string::npos);
  EXPECT_NE(from_run.find("RTU /dev/pts/"), std::string::npos);
  EXPECT_NE(from_csv.find("not recorded in the CSV"), std::string::npos);
  // Chart.js travels inside the page.
  EXPECT_NE(from_run.find("Chart.js v"), std::string::npos);
  EXPECT_EQ(from_run.find("<script src="), std::string::npos);
}

// A day at one round a second: the charts get at most 2000 points per line,
// yet the one round in which phase A was out and the one failed round still
// show where they were.
TEST(BenchReport, DayOfRoundsIsDrawnByBucketsThatKeepEveryDipAndFailure) {
  constexpr long kRounds = 86400;
  constexpr long kDip = 43210;
  constexpr long kFailed = 70001;
  qxe2e::TempDir dir;
  std::string text = "\xEF\xBB\xBFtime,slave,status,failure,相电压Ua,频率,alarm,round,round_ms\r\n";
  for (long r = 1; r <= kRounds; ++r) {
    char line[160];
    const long s = r - 1;
    const bool failed = r == kFailed;
    std::snprintf(line, sizeof line, "2026-12-%02ld %02ld:%02ld:%02ld,1,%s,%s,%s,%s,%s,%ld,%s\r\n",
                  7 + s / 86400, s / 3600 % 24, s / 60 % 60, s % 60, failed ? "failed" : "ok",
                  failed ? "timeout" : "",
                  failed      ? ""
                  : r == kDip ? "0.0"
                              : "230.1",
                  failed ? "" : "50.0", failed ? "" : "normal", r, failed ? "500.000" : "1.500");
    text += line;
  }
  qxe2e::write_file(dir.file("day.csv"), text);
  const auto made =
      qxe2e::run({qxe2e::kBench, "report", dir.file("day.csv"), "-o", dir.file("day.html")}, 60);
  ASSERT_EQ(made.exit_code, kExitOk) << made.err;
  const std::string html = qxe2e::read_file(dir.file("day.html"));
  const Json::Value meter = report_data(html)["meters"][0];
  EXPECT_TRUE(meter["decimated"].asBool());
  EXPECT_EQ(meter["last_round"].asInt64(), kRounds);

  const Json::Value& ua = chart(meter, "phase_voltage")["series"][0]["points"];
  EXPECT_LE(ua.size() / 2, 2000u);
  bool dip_shown = false;
  for (Json::ArrayIndex i = 0; i + 1 < ua.size(); i += 2) {
    dip_shown |= ua[i].asInt64() == kDip && ua[i + 1].asDouble() == 0.0;
  }
  EXPECT_TRUE(dip_shown) << "no point (" << kDip << ", 0) among " << ua.size() / 2;

  ASSERT_EQ(meter["failures"].size(), 1u);
  const Json::Value& failure = meter["failures"][0]["points"];
  ASSERT_EQ(failure.size(), 2u) << failure;  // one bucket, one failure in it
  EXPECT_LE(failure[0].asInt64(), kFailed);
  EXPECT_GT(failure[0].asInt64(), kFailed - kRounds / 1000);
  EXPECT_EQ(failure[1].asInt(), 1);
  // The clock under the axis spans the day.
  const Json::Value& clock = meter["clock"];
  EXPECT_EQ(clock[clock.size() - 2].asInt64(), kRounds);
  EXPECT_EQ(clock[clock.size() - 1].asInt64() - clock[1].asInt64(), kRounds - 1);
  EXPECT_NE(html.find("86399 of 86400 rounds published; timeout in 1 round"), std::string::npos);
  EXPECT_NE(html.find("(first in round 43210, 1 round)"), std::string::npos);
  // The diagnosis draws by the same buckets; a CSV without nominal values says so.
  const Json::Value& deviation = chart(meter, "voltage_deviation")["series"][0]["points"];
  bool dip_deviates = false;
  for (Json::ArrayIndex i = 0; i + 1 < deviation.size(); i += 2) {
    dip_deviates |= deviation[i].asInt64() == kDip && deviation[i + 1].asDouble() == -100;
  }
  EXPECT_TRUE(dip_deviates);
  EXPECT_NE(html.find("The CSV holds no nominal values"), std::string::npos);
  EXPECT_NE(html.find("worst -100.0 % on phase A in round 43210; beyond the limit in 1 round"),
            std::string::npos);
}

TEST(BenchReport, UnusableFilesAreNamedWithExitCodeFourBeforeAnyOutput) {
  qxe2e::TempDir dir;
  qxe2e::write_file(dir.file("decoded.csv"),
                    "\xEF\xBB\xBF"
                    "file,index,data_id,stamp\r\n");
  qxe2e::write_file(dir.file("torn.csv"), "time,status,alarm\r\n2026-12-08 10:00:00,ok\r\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"report", dir.file("none.csv")}, "cannot read CSV file"},
      {{"report", dir.file("decoded.csv")}, "no column \"time\", not the CSV of a polling run"},
      {{"report", dir.file("torn.csv")}, "line 2 has 2 fields, the header 3"},
      {{"--rounds", "1", "--report", dir.file("no/such/dir.html")}, "cannot open report file"},
  };
  for (const auto& [args, message] : cases) {
    const auto result = bench(args, 30);
    EXPECT_EQ(result.exit_code, kExitInput) << args[1] << "\n" << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << args[1];
  }
  qxe2e::write_file(dir.file("ok.csv"), "time,status\r\n2026-12-08 10:00:00,ok\r\n");
  const auto unwritable = qxe2e::run(
      {qxe2e::kBench, "report", dir.file("ok.csv"), "-o", dir.file("no/such/dir.html")}, 30);
  EXPECT_EQ(unwritable.exit_code, kExitInput);
  EXPECT_NE(unwritable.err.find("cannot open report file"), std::string::npos) << unwritable.err;
}

// The report in the language of the command that writes it: a run with
// --lang zh_CN, and `report FILE.csv` of an English run's CSV with LANGUAGE;
// the chart data keeps its keys, and its own words come as translations.
TEST(BenchReport, ReportSpeaksTheLanguageOfTheCommandThatWritesIt) {
  qxe2e::TempDir dir;
  const std::string csv = dir.file("run.csv"), polled = dir.file("polled.html"),
                    english = dir.file("english.html"), chinese = dir.file("chinese.html");
  const auto run = bench({"--lang", "zh_CN", "--rounds", "3", "--interval", "50", "--sim-fault",
                          "crc@3", "--csv", csv, "--report", polled});
  ASSERT_EQ(run.exit_code, kExitRoundsFailed) << run.err;
  const auto from_csv =
      qxe2e::run({"/usr/bin/env", "-u", "LC_ALL", "-u", "LC_MESSAGES", "-u", "LANG",
                  "LANGUAGE=zh_CN", qxe2e::kBench, "report", csv, "-o", chinese});
  ASSERT_EQ(from_csv.exit_code, kExitOk) << from_csv.err;
  ASSERT_EQ(bench({"--lang", "en", "report", csv, "-o", english}).exit_code, kExitOk);
  const std::vector<std::string> headings = {
      "<html lang=\"zh-CN\">", "调试报告", "运行概况", "通信链路",   "结论：需关注",
      "每轮均已发布",          "数值合理", "轮询耗时", "失败的轮次", "CRC 校验错误"};
  const std::vector<std::string> english_words = {
      "Commissioning report", "needs attention", "Every round published",
      "Values plausible",     "Failed rounds",   "<th>Round time",
      "lang=\"en\""};
  for (const std::string& path : {polled, chinese}) {
    const std::string html = qxe2e::read_file(path);
    for (const std::string& word : headings) {
      EXPECT_NE(html.find(word), std::string::npos) << word << " missing from " << path;
    }
    for (const std::string& word : english_words) {
      EXPECT_EQ(html.find(word), std::string::npos) << word << " left in " << path;
    }
    const Json::Value data = report_data(html);
    EXPECT_EQ(data["texts"]["round, local time"].asString(), "轮次，本地时间");
    EXPECT_EQ(data["meters"][0]["failures"][0]["kind"].asString(), "bad-crc");
  }
  const std::string html = qxe2e::read_file(english);
  for (const std::string& word : english_words) {
    EXPECT_NE(html.find(word), std::string::npos) << word << " missing from the English report";
  }
  EXPECT_EQ(html.find("调试报告"), std::string::npos);
}

}  // namespace
