// The bench's library in process: the parsers of its options and files, the
// CSV of a run written and read back, the verdict on a meter, and the files
// it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_options.h"
#include "csv.h"
#include "diagnosis/diagnosis.h"
#include "output_file.h"
#include "qxcore/ids.h"
#include "qxcore/text.h"
#include "qxi18n/text_width.h"
#include "qxsim/options.h"
#include "register_map.h"
#include "report_verdict.h"
#include "run_csv.h"
#include "watch.h"

namespace qxbench {
namespace {

/// A directory for one test's files.
class Dir {
 public:
  Dir() {
    char pattern[] = "/tmp/qxbench-test-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~Dir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(BenchOptions, GatewayAddressesAreCheckedWhole) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"192.0.2.10", true, "192.0.2.10", 502},
      {"192.0.2.10:1502", true, "192.0.2.10", 1502},
      {"gw:1", true, "gw", 1},
      {"gw:65535", true, "gw", 65535},
      {"[::1]", true, "::1", 502},
      {"[::1]:503", true, "::1", 503},
      {"fe80::1", true, "fe80::1", 502},
      {"gw:99999", false, "", 0},
      {"gw:0", false, "", 0},
      {"gw:-1", false, "", 0},
      {"gw:abc", false, "", 0},
      {"gw:", false, "", 0},
      {":502", false, "", 0},
      {"", false, "", 0},
      {"[::1", false, "", 0},
      {"[::1]503", false, "", 0},
      {"[]:502", false, "", 0},
      {"[::1]:", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host, error;
    int port = 0;
    EXPECT_EQ(parse_host_port(c.text, host, port, error), c.ok) << c.text << ": " << error;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    } else {
      EXPECT_NE(error.find("--tcp"), std::string::npos) << c.text;
    }
  }
}

TEST(OutputFiles, TheTargetChangesOnlyWhenTheFileIsWhole) {
  Dir dir;
  const std::string target = dir.file("out.csv");
  write_all(target, "old");
  {
    OutputFile file(target, "CSV file");
    std::string error;
    ASSERT_TRUE(file.open(false, error)) << error;
    file.write(std::string("new"));
    EXPECT_EQ(read_all(target), "old");  // not yet committed
  }
  EXPECT_EQ(read_all(target), "old");  // abandoned: the target as it was
  EXPECT_EQ(std::system(("test $(ls -A '" + dir.path() + "' | wc -l) -eq 1").c_str()), 0)
      << "the temporary file is removed";
  {
    OutputFile file(target, "history file");
    std::string error;
    ASSERT_TRUE(file.open(true, error)) << error;
    file.write(std::string("+more"));
    ASSERT_TRUE(file.commit(error)) << error;
  }
  EXPECT_EQ(read_all(target), "old+more");  // appended after a copy of the old
  std::string error;
  EXPECT_FALSE(outputs_apart_from_inputs(
      {target}, {dir.path() + "/../" + dir.path().substr(5) + "/out.csv"}, error));
  EXPECT_NE(error.find("is also an input"), std::string::npos) << error;
  EXPECT_FALSE(outputs_apart_from_inputs({target, target}, {}, error));
  EXPECT_TRUE(outputs_apart_from_inputs({target, dir.file("other")}, {dir.file("x")}, error));
  OutputFile directory(dir.path(), "report file");
  EXPECT_FALSE(directory.open(false, error));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
}

RoundResult sample_round(long number, bool ok) {
  RoundResult r;
  r.round = number;
  r.slave = 3;
  r.time = "2026-12-08 10:00:0" + std::to_string(number % 10);
  r.round_ms = 12.3456;
  r.ok = ok;
  r.failed = !ok;
  r.failure.kind = zelfw::Failure::kTimeout;
  r.snapshot = Json::Value(Json::objectValue);
  for (std::size_t i = 0; i < qx7540pm::kRenderedRegisters; ++i) {
    r.snapshot[qx7540pm::kRegisterMap[i].key] = static_cast<double>(static_cast<float>(i) / 10.0f);
  }
  r.snapshot[qx7540pm::kUpdateTimeKey] = "2026-12-8 10:0:0";
  r.alarm_reported = true;
  r.alarm.state = !ok;
  r.alarm.text = "输入电源中断 UA:23";
  return r;
}

// The live report and the report of the CSV see every round the same way.
TEST(RunCsv, ARoundReadBackFromItsRowIsTheRoundTheReportKept) {
  RecordedRun live;
  RecordedRun from_csv;
  RunCsvLayout layout;
  std::string error;
  ASSERT_TRUE(layout.read_header(run_csv_columns(), error)) << error;
  for (long n = 1; n <= 3; ++n) {
    RoundResult report = sample_round(n, n != 2);
    report.diagnosis.basis = {230, 60, 0.5};
    record_round(live, report);
    int slave = 0;
    RecordedRound round;
    ASSERT_TRUE(layout.read_row(run_csv_row(report), slave, round, error)) << error;
    ASSERT_TRUE(layout.read_basis(run_csv_row(report), from_csv.basis));
    EXPECT_EQ(slave, 3);
    add_round(from_csv.meter(slave), round);
  }
  ASSERT_EQ(live.meters.size(), 1u);
  const auto& a = live.meters[0].rounds;
  const auto& b = from_csv.meters[0].rounds;
  ASSERT_EQ(a.size(), 3u);
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].round, b[i].round);
    EXPECT_EQ(a[i].time, b[i].time);
    EXPECT_EQ(a[i].ok, b[i].ok);
    EXPECT_EQ(a[i].failure, b[i].failure);
    EXPECT_EQ(a[i].round_ms, b[i].round_ms);
    EXPECT_EQ(a[i].alarm, b[i].alarm);
    for (std::size_t v = 0; v < a[i].values.size(); ++v) {
      EXPECT_TRUE(a[i].values[v] == b[i].values[v] ||
                  (std::isnan(a[i].values[v]) && std::isnan(b[i].values[v])))
          << "round " << i << " value " << v;
    }
  }
  EXPECT_EQ(a[1].failure, "timeout");
  EXPECT_TRUE(std::isnan(a[1].values[0])) << "a failed round publishes no values";
  EXPECT_EQ(a[0].round_ms, 12.346);
  EXPECT_EQ(a[0].alarm_text, "输入电源中断 UA:23");  // the one thing only the live report has
  for (const RecordedRun* run : {&live, &from_csv}) {
    EXPECT_EQ(run->basis.nominal_voltage, 230);
    EXPECT_EQ(run->basis.nominal_frequency, 60);
    EXPECT_EQ(run->basis.frequency_limit, 0.5);
  }
}

TEST(RunCsv, UnusableFieldsAreRefusedWithTheirLine) {
  const std::vector<std::string> columns = run_csv_columns();
  const auto row_with = [&columns](const std::string& column, const std::string& value) {
    std::vector<std::string> row = run_csv_row(sample_round(1, true));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i] == column) row[i] = value;
    }
    return row;
  };
  const std::string voltage = qx7540pm::kRegisterMap[0].key;
  struct Case {
    std::string column;
    std::string value;
    const char* reason;
  };
  const Case cases[] = {
      {voltage, "1.7e308", "is not a meter reading"},
      {voltage, "inf", "is not a meter reading"},
      {voltage, "nan", "is not a meter reading"},
      {voltage, "-2e9", "is not a meter reading"},
      {voltage, "230x", "is not a meter reading"},
      {"slave", "256", "is not a Modbus id"},
      {"slave", "-1", "is not a Modbus id"},
      {"slave", "99999999999999999999", "is not a Modbus id"},
      {"round", "x", "is not a round number"},
      {"round_ms", "1e300", "is not a round's time"},
      {"round_ms", "-5", "is not a round's time"},
  };
  Dir dir;
  for (const Case& c : cases) {
    const std::string path = dir.file("run.csv");
    write_all(path, std::string(qxcore::kByteOrderMark) + csv_line(columns) +
                        csv_line(run_csv_row(sample_round(1, true))) +
                        csv_line(row_with(c.column, c.value)));
    RecordedRun run;
    std::string error;
    EXPECT_FALSE(read_run_csv(path, run, error)) << c.column << "=" << c.value;
    EXPECT_NE(error.find("line 3 "), std::string::npos) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  // The largest usable values and ids still read.
  write_all(dir.file("edge.csv"), csv_line(columns) + csv_line(row_with("slave", "255")) +
                                      csv_line(row_with(voltage, "-1e9")));
  RecordedRun run;
  std::string error;
  EXPECT_TRUE(read_run_csv(dir.file("edge.csv"), run, error)) << error;
}

TEST(Verdict, FailureKindsAreCountedInTheOrderFirstSeen) {
  RecordedMeter meter;
  const char* kinds[] = {"timeout", "constructor", "timeout", "__proto__", "bad-crc", "timeout"};
  long number = 0;
  for (const char* kind : kinds) {
    RecordedRound round;
    round.round = ++number;
    round.failure = kind;
    round.values.fill(std::nanf(""));
    meter.rounds.push_back(round);
  }
  RecordedRound good;
  good.round = ++number;
  good.ok = true;
  good.round_ms = 5;
  good.values.fill(std::nanf(""));
  good.values[static_cast<std::size_t>(qx7540pm::register_index(
      qx7540pm::QuantityKind::kFrequency, qx7540pm::PhaseGroup::kWhole))] = 70;
  meter.rounds.push_back(good);
  const MeterVerdict v = judge_meter(meter);
  EXPECT_EQ(v.rounds, 7);
  EXPECT_EQ(v.published, 1);
  const std::vector<std::pair<std::string, long>> expected = {
      {"timeout", 3}, {"constructor", 1}, {"__proto__", 1}, {"bad-crc", 1}};
  EXPECT_EQ(v.failures, expected);
  EXPECT_EQ(v.implausible_rounds, 1);
  ASSERT_EQ(v.implausible.size(), 1u);
  EXPECT_EQ(v.implausible[0].key, "频率");
  EXPECT_FALSE(v.passed());
}

// Each register of the map is the one of its kind and phase.
TEST(Quantities, OneRowPerRenderedRegisterInMapOrder) {
  for (int i = 0; i < qx7540pm::kRenderedRegisters; ++i) {
    const auto& q = qx7540pm::kRegisterMap[i];
    EXPECT_EQ(qx7540pm::register_index(q.kind, q.phase), i) << "kind and phase name one register";
  }
}

// The live screen on terminals of 80 to 200 columns: every line fits, what
// is left out goes in a fixed order (the wider the terminal, the fewer), and
// the note under the table names it.
TEST(Watch, RowsFitTheTerminalAndTheNoteSaysWhatIsLeftOut) {
  RoundResult round;
  round.ok = true;
  round.round = 12345;
  round.time = "2026-12-10 15:29:11";
  round.alarm_reported = true;
  for (const auto& reg : qx7540pm::kRegisterMap) round.snapshot[reg.key] = 1234.5;
  Summary counts;
  counts.rounds = 12345;
  counts.ok = 12345;
  LineSummary totals;
  totals.meters.resize(2);
  std::vector<std::string> hidden_before;
  for (int columns : {200, 120, 100, 80, 40}) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    WatchScreen screen(out, {1, 2}, columns);
    screen.update(round, counts);
    screen.draw(totals);
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
    std::fclose(out);
    text = text.substr(text.find("\n\n") + 2);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find('\n', at);
      lines.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    ASSERT_GE(lines.size(), 3u) << text;
    const std::string& heading = lines[0];
    EXPECT_EQ(lines[2].rfind("    2", 0), 0u) << text;
    EXPECT_EQ(lines[2].find_first_not_of(" 2-"), std::string::npos)
        << "an unpolled meter: " << text;
    std::vector<std::string> hidden;
    for (const char* h : {"round", "time", "f Hz", "PF", "P kW", "ok/rounds", "Ia A", "alarm"}) {
      if (heading.find(h) == std::string::npos) hidden.push_back(h);
    }
    for (const std::string& h : hidden_before) {
      EXPECT_NE(std::find(hidden.begin(), hidden.end(), h), hidden.end()) << columns << ": " << h;
    }
    hidden_before = hidden;
    for (const char* always : {"slave", "status", "Ua V", "Uc V"}) {
      EXPECT_NE(heading.find(always), std::string::npos) << columns << ": " << always;
    }
    for (const std::string& line : lines) {
      EXPECT_LE(qxi18n::display_width(line), static_cast<std::size_t>(columns)) << line;
    }
    const std::string note = text.substr(text.find(lines[2]) + lines[2].size());
    if (columns == 200) {
      EXPECT_NE(lines[1].find("2026-12-10 15:29:11"), std::string::npos) << text;
      EXPECT_EQ(note, "\n") << text;
      continue;
    }
    EXPECT_NE(note.find("The terminal is " + std::to_string(columns) + " columns wide"),
              std::string::npos)
        << text;
    for (const std::string& h : hidden) EXPECT_NE(note.find(h), std::string::npos) << note;
  }
  EXPECT_EQ(hidden_before.size(), 7u) << "all but the alarm left out at 40 columns";
}

// The unbalance from the three line-voltage magnitudes is the negative
// sequence over the positive of the line-voltage phasors, as symmetrical
// components give it; what no triangle closes, or no voltage, gives no NaN.
TEST(Diagnosis, VoltageUnbalanceIsTheNegativeSequenceOfThePhasors) {
  using Phasor = std::complex<double>;
  const Phasor a = std::polar(1.0, 2 * M_PI / 3);
  const auto deg = [](double magnitude, double degrees) {
    return std::polar(magnitude, degrees * M_PI / 180);
  };
  struct Case {
    Phasor ua, ub, uc;
    double expected_percent;  ///< about, to tell the cases apart
  };
  const Case cases[] = {
      // 3 % negative sequence at 30°, and a zero sequence the line voltages do not see.
      {220.0 + deg(6.6, 30) + 10.0, 220.0 * a * a + deg(6.6, 30) * a + 10.0,
       220.0 * a + deg(6.6, 30) * a * a + 10.0, 3},
      {deg(230, 0), deg(200, -115), deg(245, 125), 8.8},
      {deg(230, 0), deg(230, -120), 0, 50},  // phase C out
  };
  for (const Case& c : cases) {
    const Phasor uab = c.ua - c.ub, ubc = c.ub - c.uc, uca = c.uc - c.ua;
    const Phasor positive = (uab + a * ubc + a * a * uca) / 3.0;
    const Phasor negative = (uab + a * a * ubc + a * uca) / 3.0;
    const double percent = voltage_unbalance_percent(std::abs(uab), std::abs(ubc), std::abs(uca));
    EXPECT_NEAR(percent, std::abs(negative) / std::abs(positive) * 100, 1e-9);
    EXPECT_NEAR(percent, c.expected_percent, 0.5);
  }
  EXPECT_NEAR(voltage_unbalance_percent(400, 400, 400), 0, 1e-6);
  EXPECT_TRUE(std::isnan(voltage_unbalance_percent(0, 0, 0)));
  EXPECT_NEAR(voltage_unbalance_percent(230, 230, 460), 100, 1e-6);  // 3 - 6L rounds below 0
  EXPECT_EQ(voltage_unbalance_percent(100, 100, 1000), 100);         // no triangle
  EXPECT_DOUBLE_EQ(current_unbalance_percent(5, 5, 0), 100);
  EXPECT_DOUBLE_EQ(current_unbalance_percent(6, 4.5, 4.5), 20);
  EXPECT_TRUE(std::isnan(current_unbalance_percent(0, 0, 0)));
  EXPECT_TRUE(figure_json(NAN).isNull());
}

}  // namespace
}  // namespace qxbench
