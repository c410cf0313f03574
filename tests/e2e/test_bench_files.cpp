// The bench's files end to end: --history and --cache, decode of stored
// records, and the CSV of a run.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
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

TEST(BenchRun, HistoryKeepsEveryStoredRecordAndRestoresFromCache) {
  qxe2e::TempDir dir;
  const std::string history = dir.file("history.bin");
  const auto polled = run_bench({"--rounds", "2", "--interval", "50", "--history", history});
  ASSERT_EQ(polled.rounds.size(), 2u);
  const std::string stored = qxe2e::read_file(history);
  ASSERT_EQ(stored.size(), 2u * 91);
  const std::string hex =
      polled.rounds[0]["record"].asString() + polled.rounds[1]["record"].asString();
  std::string stored_hex;
  for (unsigned char b : stored) {
    static constexpr char kDigits[] = "0123456789abcdef";
    stored_hex += kDigits[b >> 4];
    stored_hex += kDigits[b & 0xF];
  }
  EXPECT_EQ(stored_hex, hex);

  qxe2e::write_file(dir.file("cache.bin"), stored.substr(0, 91));
  const auto restored = run_bench({"--rounds", "1", "--cache", dir.file("cache.bin")});
  ASSERT_EQ(restored.rounds.size(), 2u) << restored.result.err;
  const Json::Value& cache = restored.rounds[0];
  EXPECT_EQ(cache["round"].asInt(), 0);
  EXPECT_EQ(cache["source"].asString(), "cache");
  EXPECT_TRUE(cache["ok"].asBool());
  // Republished as it was, but for a fresh time stamp in bytes 84..90.
  EXPECT_EQ(cache["record"].asString().substr(0, 2 * 84), hex.substr(0, 2 * 84));
  EXPECT_FALSE(cache["alarm"].isNull());
}

// Bytes 0..3 (data identifier) and 84..90 (time stamp) of a record in hex,
// as the host's byte order stores them.
int data_id_of_record(const std::string& hex) {
  std::uint32_t id = 0;
  for (int i = 3; i >= 0; --i) id = id << 8 | std::stoul(hex.substr(2 * i, 2), nullptr, 16);
  return static_cast<int>(id);
}

std::string stamp_of_record(const std::string& hex) {
  const auto byte = [&](int i) {
    return static_cast<unsigned>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  };
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", byte(84) | byte(85) << 8,
                byte(86), byte(87), byte(88), byte(89), byte(90));
  return text;
}

std::vector<std::string> split_csv_line(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type begin = 0;
  for (;;) {
    const auto comma = line.find(',', begin);
    fields.push_back(line.substr(begin, comma - begin));
    if (comma == std::string::npos) return fields;
    begin = comma + 1;
  }
}

// Stored records decode to what the rounds showed: the same 37 values, each
// record with its own stamp and identifier, though the device re-stamps a
// record it loads. Hex text decodes alike; a file with a torn last record
// still shows the whole ones.
TEST(BenchDecode, HistoryAndHexLinesShowTheRoundsValuesAndATornTailIsNamed) {
  qxe2e::TempDir dir;
  const std::string history = dir.file("history.bin");
  // Rounds more than a second apart: each round's 801 text is its own rendering.
  const auto polled = run_bench({"--rounds", "3", "--interval", "1100", "--history", history});
  ASSERT_EQ(polled.rounds.size(), 3u) << polled.result.err;
  const auto decode = [&](const std::string& path) {
    return qxe2e::run({qxe2e::kBench, "decode", "--json", "--plugin", qxe2e::kPlugin, path}, 30);
  };
  const auto check = [&](const qxe2e::Result& result, const std::string& path) {
    const auto lines = qxe2e::lines_of(result.out);
    ASSERT_EQ(lines.size(), 3u) << result.out << result.err;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const Json::Value decoded = qxe2e::parse_json(lines[i]);
      const std::string record = polled.rounds[i]["record"].asString();
      EXPECT_EQ(decoded["file"].asString(), path);
      EXPECT_EQ(decoded["index"].asUInt(), i);
      EXPECT_EQ(decoded["data_id"].asInt(), data_id_of_record(record));
      EXPECT_EQ(decoded["stamp"].asString(), stamp_of_record(record));
      EXPECT_EQ(decoded["values"], polled.rounds[i]["snapshot"]) << "record " << i;
    }
  };
  const auto whole = decode(history);
  EXPECT_EQ(whole.exit_code, kExitOk) << whole.err;
  check(whole, history);

  // The same records as hex text, one per line, spaces and a blank line between.
  std::string hex_text;
  for (const Json::Value& round : polled.rounds) {
    const std::string hex = round["record"].asString();
    hex_text += hex.substr(0, 100) + " \t" + hex.substr(100) + "\r\n\n";
  }
  const std::string hex_file = dir.file("records.hex");
  qxe2e::write_file(hex_file, hex_text);
  const auto from_hex = decode(hex_file);
  EXPECT_EQ(from_hex.exit_code, kExitOk) << from_hex.err;
  check(from_hex, hex_file);

  qxe2e::write_file(history, qxe2e::read_file(history) + std::string(10, '\x7f'));
  const auto torn = decode(history);
  EXPECT_EQ(torn.exit_code, kExitInput);
  EXPECT_NE(torn.err.find("10 bytes at offset 273"), std::string::npos) << torn.err;
  check(torn, history);

  const auto missing = decode(dir.file("none.bin"));
  EXPECT_EQ(missing.exit_code, kExitInput);
  EXPECT_NE(missing.err.find("none.bin"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.out, "");
}

// The CSV of a run: a byte-order mark, a header naming the 37 snapshot keys,
// and one row per round holding the values the round's snapshot showed.
TEST(BenchCsv, OneRowPerRoundUnderTheSnapshotKeys) {
  qxe2e::TempDir dir;
  const std::string csv = dir.file("rounds.csv");
  const auto bench = run_bench({"--rounds", "2", "--interval", "50", "--csv", csv});
  ASSERT_EQ(bench.rounds.size(), 2u) << bench.result.err;
  const std::string text = qxe2e::read_file(csv);
  ASSERT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
  std::vector<std::string> lines;
  for (std::string& line : qxe2e::lines_of(text.substr(3))) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 3u) << text;
  const std::vector<std::string> header = split_csv_line(lines[0]);
  // Columns added later go at the end, after the alarm: the round's, then the diagnosis's.
  constexpr std::size_t kDiagnosis = 5;
  ASSERT_EQ(header.size(), 4u + 37 + 3 + kDiagnosis) << lines[0];
  EXPECT_EQ(std::vector<std::string>(header.end() - 3 - kDiagnosis, header.end() - kDiagnosis),
            (std::vector<std::string>{"alarm", "round", "round_ms"}));
  std::vector<std::string> keys = {"更新时间"};
  for (int i = 0; i < qxsim::kKeyScaleCount; ++i) keys.push_back(qxsim::key_scales()[i].key);
  for (std::size_t row = 1; row < lines.size(); ++row) {
    const std::vector<std::string> fields = split_csv_line(lines[row]);
    ASSERT_EQ(fields.size(), header.size()) << lines[row];
    EXPECT_EQ(fields[2], "ok");
    EXPECT_EQ(fields[3], "");
    EXPECT_EQ(fields[header.size() - 3 - kDiagnosis], "normal");
    EXPECT_EQ(fields[header.size() - 2 - kDiagnosis], std::to_string(row));
    const std::string& ms = fields[header.size() - 1 - kDiagnosis];
    EXPECT_NEAR(std::stod(ms), bench.rounds[row - 1]["round_us"].asDouble() / 1000, 0.001) << ms;
    const Json::Value& snapshot = bench.rounds[row - 1]["snapshot"];
    for (const std::string& key : keys) {
      const auto column = std::find(header.begin(), header.end(), key) - header.begin();
      ASSERT_LT(static_cast<std::size_t>(column), header.size()) << key;
      const std::string& field = fields[static_cast<std::size_t>(column)];
      if (snapshot[key].isString()) {
        EXPECT_EQ(field, snapshot[key].asString());
      } else {
        EXPECT_EQ(std::stod(field), snapshot[key].asDouble()) << key;
      }
    }
  }
}

// The scan finds the simulated meter hidden at one id and line setting: the
// meter stays silent at the others, so it is the one responder; the command
// printed for it polls it as given.

// The same run in Chinese (chosen by LANGUAGE alone, or by --lang): the text
// for people speaks it throughout, while --json and the CSV stay as in
// English apart from the times and readings of the moment.
std::vector<std::string> in_chinese(std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/env", "-u", "LC_ALL", "-u", "LC_MESSAGES", "-u", "LANG",
                             "LANGUAGE=zh_CN"});
  return args;
}

void expect_words(const std::string& text, const std::vector<std::string>& present,
                  const std::vector<std::string>& absent) {
  for (const std::string& word : present) {
    EXPECT_NE(text.find(word), std::string::npos) << word << " missing from:\n" << text;
  }
  for (const std::string& word : absent) {
    EXPECT_EQ(text.find(word), std::string::npos) << word << " left in:\n" << text;
  }
}

/// A round's or summary's JSON without what changes from run to run.
Json::Value steady(Json::Value value) {
  if (!value.isObject()) return value;
  // The pseudo-terminal's name (in the link) changes too.
  for (const char* key :
       {"time", "round_us", "record", "snapshot", "alarm", "mean_round_us", "link"}) {
    if (value.isMember(key)) value[key] = Json::Value(key);
  }
  if (value.isMember("summary")) value["summary"] = steady(value["summary"]);
  return value;
}

TEST(BenchLanguage, TextRunAndScanSpeakChinese) {
  const auto run = qxe2e::run(
      in_chinese({qxe2e::kBench, "--plugin", qxe2e::kPlugin, "--rounds", "2", "--interval", "50"}));
  ASSERT_EQ(run.exit_code, kExitOk) << run.err;
  expect_words(run.out, {"第 1 轮",       "第 2 轮",   "成功",     "相电压",       "线电压",
                         "电流",          "有功功率",  "无功功率", "视在功率",     "功率因数",
                         "频率",          "平均/总计", "告警",     "正常",         "取值查询",
                         "汇总：共 2 轮", "链路",      "从站 1",   "内置模拟电表", "线路理论最短"},
               {"round 1", "phase voltage", "power factor", "avg/total", "value query", "summary",
                "mean round", "built-in simulated", "wire minimum", " ok "});
  // Device texts stay as the device writes them.
  expect_words(run.out, {"rvSize is 0", " kW", " kvarh"}, {});
  // The summary's wiring and supply quality speaks it too.
  expect_words(run.out, {"接线与电能质量", "供电电压偏差", "GB/T 15543-2008", "未发现问题"},
               {"Wiring and supply", "nothing found", "limit:"});
  // Aligned by display columns: every value column starts where the heading's does.
  const std::vector<std::string> lines = qxe2e::lines_of(run.out);
  const auto heading = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("A 相（AB）") != std::string::npos;
  });
  ASSERT_NE(heading, lines.end()) << run.out;
  const std::size_t column = heading->find("A 相（AB）");
  for (auto line = heading + 1; line != heading + 8; ++line) {
    std::size_t width = 0;  // columns of the label: a Chinese character takes two
    std::size_t at = 0;
    while (at < line->size() && (*line)[at] == ' ') ++at, ++width;
    while (at < line->size() && (*line)[at] != ' ') {
      const unsigned char lead = static_cast<unsigned char>((*line)[at]);
      const std::size_t bytes = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      width += bytes == 3 ? 2 : 1;
      at += bytes;
    }
    while (at < line->size() && (*line)[at] == ' ') ++at, ++width;
    EXPECT_EQ(width, column) << *line;
  }

  const auto scan = qxe2e::run(in_chinese(
      {qxe2e::kBench, "--plugin", qxe2e::kPlugin, "scan", "--slaves", "1-2", "--baud", "9600"}));
  ASSERT_EQ(scan.exit_code, kExitOk) << scan.err;
  expect_words(scan.out + scan.err,
               {"从站 1", "看起来是本型号电表", "轮询命令：", "扫描：", "应答设备"},
               {"looks like this meter", "poll it", "responders", "line settings"});
}

// Every way a round or a link fails, a finding, a device's own lines: in
// Chinese, with no English word of the bench's own left. Latin letters are
// only units, protocol and standard names, phases, the snapshot's keys, the
// checks' codes, what the device or the system writes, and what is typed
// (options, paths, numbers).
TEST(BenchLanguage, FailuresAndFindingsSpeakChinese) {
  const std::string examples = qxe2e::kExamples;
  // Each failure on a round's first read (two reads a round), the late answer last.
  std::vector<std::string> args = {qxe2e::kBench,
                                   "--plugin",
                                   qxe2e::kPlugin,
                                   "--rounds",
                                   "8",
                                   "--interval",
                                   "20",
                                   "--sim-outage-phase",
                                   "B",
                                   "--sim-outage-round",
                                   "5",
                                   "--settings",
                                   examples + "/monitor-all-phases.json"};
  for (const char* fault :
       {"exception@1:2", "crc@3", "truncate@5", "wrong-slave@7", "delay@15:700"}) {
    args.insert(args.end(), {"--sim-fault", fault});
  }
  const auto run = qxe2e::run(in_chinese(args));
  EXPECT_EQ(run.exit_code, kExitRoundsFailed) << run.err;
  expect_words(run.out,
               {"失败：异常应答（异常码 02：非法数据地址）", "失败：CRC 校验错误",
                "失败：响应超时（500 ms 内无应答）", "输入电源中断：已触发", "电压缺失：B",
                "汇总：共 8 轮，成功 3 轮，失败 5 轮"},
               {});
  const auto port = qxe2e::run(in_chinese(
      {qxe2e::kBench, "--plugin", qxe2e::kPlugin, "--port", "/dev/ttyNOPE", "--rounds", "1"}));
  EXPECT_EQ(port.exit_code, kExitPort);
  // The system's own reason in Chinese too, not question marks in the C locale.
  expect_words(port.err,
               {"无法打开串口 /dev/ttyNOPE（9600 8N1，从站 1）：没有那个文件或目录", "提示："},
               {"?", "cannot open"});
  const auto reversed = qxe2e::run(
      in_chinese({qxe2e::kBench, "--plugin", qxe2e::kPlugin, "--rounds", "2", "--interval", "20",
                  "--sim-profile", examples + "/profile-ct-reversed.json"}));
  const std::set<std::string> allowed = {"A",
                                         "B",
                                         "C",
                                         "AB",
                                         "BC",
                                         "CA",
                                         "N",
                                         "P",
                                         "Q",
                                         "S",
                                         "V",
                                         "kV",
                                         "kVA",
                                         "kW",
                                         "kWh",
                                         "kvar",
                                         "kvarh",
                                         "Hz",
                                         "ms",
                                         "CRC",
                                         "DI",
                                         "DO",
                                         "GB",
                                         "Modbus",
                                         "RTU",
                                         "TCP",
                                         "UA",
                                         "UB",
                                         "UC",
                                         "Ua",
                                         "Ub",
                                         "Uc",
                                         "Ia",
                                         "Ib",
                                         "Ic",
                                         "Pa",
                                         "Pb",
                                         "Pc",
                                         "Pt",
                                         "Qa",
                                         "Qb",
                                         "Qc",
                                         "Qt",
                                         "Sa",
                                         "Sb",
                                         "Sc",
                                         "St",
                                         "PFa",
                                         "PFb",
                                         "PFc",
                                         "PFt",
                                         "Uab",
                                         "Ubc",
                                         "Uca",
                                         "F",
                                         "Ep",
                                         "Eq",
                                         "SPModbus",
                                         "get",
                                         "error",
                                         "rvSize",
                                         "is",
                                         "dialout",
                                         "build-id",
                                         "voltage-missing",
                                         "vt-polarity",
                                         "current-missing",
                                         "ct-reverse",
                                         "ct-cross",
                                         "consistency",
                                         "voltage-deviation",
                                         "frequency-deviation",
                                         "voltage-unbalance",
                                         "current-unbalance"};
  // Words: runs of Latin letters (and '-', '_' within), in the tokens between
  // spaces that hold no digit, less option names and paths.
  const auto words_of = [](const std::string& text) {
    std::vector<std::string> found;
    std::istringstream tokens(text);
    std::string token;
    while (tokens >> token) {
      if (std::any_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        continue;
      }
      token = token.substr(0, token.find('/'));
      for (std::size_t at = 0; at < token.size();) {
        const auto latin = [&](std::size_t i) {
          return i < token.size() && std::isalpha(static_cast<unsigned char>(token[i])) &&
                 static_cast<unsigned char>(token[i]) < 0x80;
        };
        const bool option = token.compare(at, 2, "--") == 0;
        if (!option && !latin(at)) {
          ++at;
          continue;
        }
        std::size_t end = option ? at + 2 : at;
        while (latin(end) ||
               (end > at && end < token.size() && (token[end] == '-' || token[end] == '_'))) {
          ++end;
        }
        if (!option) found.push_back(token.substr(at, end - at));
        at = end;
      }
    }
    return found;
  };
  for (const std::string& text : {run.out + run.err, port.err, reversed.out + reversed.err}) {
    for (const std::string& word : words_of(text)) {
      EXPECT_TRUE(allowed.count(word)) << word << " in:\n" << text;
    }
  }
}

TEST(BenchLanguage, JsonAndCsvAreTheSameInEveryLanguage) {
  qxe2e::TempDir dir;
  std::vector<Json::Value> json[2];
  std::vector<std::string> csv[2];
  for (int chinese = 0; chinese < 2; ++chinese) {
    const std::string path = dir.file(chinese ? "zh.csv" : "en.csv");
    std::vector<std::string> args = {qxe2e::kBench, "--plugin",   qxe2e::kPlugin, "--rounds",
                                     "2",           "--interval", "50",           "--json",
                                     "--csv",       path,         "--sim-fault",  "crc@3"};
    if (chinese) args.insert(args.begin() + 1, {"--lang", "zh_CN"});
    const auto result = qxe2e::run(args);
    ASSERT_EQ(result.exit_code, kExitRoundsFailed) << result.err;
    for (const std::string& line : qxe2e::lines_of(result.out)) {
      json[chinese].push_back(steady(qxe2e::parse_json(line)));
    }
    const std::string text = qxe2e::read_file(path);
    for (const std::string& line : qxe2e::lines_of(text)) {
      const std::vector<std::string> fields = split_csv_line(line);
      // The columns' names, the round's status and failure: not the time or readings.
      csv[chinese].push_back(csv[chinese].empty() ? line : fields.at(2) + "," + fields.at(3));
    }
  }
  ASSERT_EQ(json[0].size(), 3u);
  for (std::size_t i = 0; i < json[0].size(); ++i) {
    EXPECT_EQ(json[0][i], json[1][i]) << json[0][i] << "\n" << json[1][i];
  }
  EXPECT_EQ(csv[0], csv[1]);
}

// Columns of UTF-8 text as a terminal shows it: a three-byte (CJK) character takes two.
std::size_t columns(const std::string& line) {
  std::size_t width = 0;
  for (std::size_t at = 0; at < line.size();) {
    const unsigned char lead = static_cast<unsigned char>(line[at]);
    const std::size_t bytes = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    width += bytes == 3 ? 2 : 1;
    at += bytes;
  }
  return width;
}

// The rest of what a person reads: the end of --help wrapped to the
// terminal, a bad command line's error, and preflight's verdict (whose
// --json, like every machine's output, stays as in English).
TEST(BenchLanguage, HelpErrorsAndPreflightSpeakChinese) {
  const auto help = qxe2e::run(in_chinese({qxe2e::kBench, "--help"}));
  ASSERT_EQ(help.exit_code, kExitOk) << help.err;
  expect_words(help.out,
               {"示例：", "退出状态：", "文件：", "查找从站地址或通信参数未知的电表",
                "  130  被 Ctrl-C 或 SIGTERM 中止", "    qx7540pm-bench scan --port /dev/ttyUSB0"},
               {"Examples:", "Exit status:", "Files:", "every round published", "Device settings"});
  const std::size_t footer = help.out.find("不带 --port 或 --tcp");
  ASSERT_NE(footer, std::string::npos) << help.out;
  for (const std::string& line : qxe2e::lines_of(help.out.substr(footer))) {
    EXPECT_LE(columns(line), 79u) << line;
  }
  // Every command's help and the simulator's: within 79 columns, none of
  // CLI11's English labels, the footers wrapped.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{qxe2e::kBench, "--help"},
                                             {qxe2e::kBench, "scan", "--help"},
                                             {qxe2e::kBench, "decode", "--help"},
                                             {qxe2e::kBench, "report", "--help"},
                                             {qxe2e::kBench, "preflight", "--help"},
                                             {qxe2e::kSim, "--help"}}) {
    const auto page = qxe2e::run(in_chinese(args));
    EXPECT_EQ(page.exit_code, kExitOk) << page.err;
    for (const std::string& line : qxe2e::lines_of(page.out)) {
      EXPECT_LE(columns(line), 79u) << args[1] << ": " << line;
    }
    expect_words(page.out, {"用法：", "选项："},
                 {" TEXT", " INT", " FLOAT", "REQUIRED", "Excludes", "Needs", "Usage", "FILE"});
  }

  const auto bad = qxe2e::run(in_chinese({qxe2e::kBench, "--timeout", "0"}));
  EXPECT_EQ(bad.exit_code, kExitUsage);
  expect_words(bad.err, {"--timeout：值 0 超出范围 1～60000", "运行 --help 查看更多信息"},
               {"not in range", "Run with"});

  std::string json[2];
  for (int chinese = 0; chinese < 2; ++chinese) {
    std::vector<std::string> args = {qxe2e::kBench, "preflight", "--exe",
                                     "/bin/true",   "--plugin",  qxe2e::kPlugin};
    const auto text = qxe2e::run(chinese ? in_chinese(args) : args);
    EXPECT_EQ(text.exit_code, 1) << text.err;
    if (chinese) {
      expect_words(text.out,
                   {"无法加载到", "库：控制器没有加载插件所需的 libstdc++.so.6", "解决办法："},
                   {"will not load", "library:", "which the plug-in needs", "fix:"});
    }
    args.push_back("--json");
    json[chinese] = qxe2e::run(chinese ? in_chinese(args) : args).out;
  }
  EXPECT_NE(json[0].find("\"will_load\":false"), std::string::npos) << json[0];
  EXPECT_NE(json[0].find("\"check\":\"not-given\""), std::string::npos) << json[0];
  EXPECT_EQ(json[0], json[1]);

  // The plug-in as the one argument; after a --lib it could be a library too.
  const auto positional =
      qxe2e::run({qxe2e::kBench, "preflight", qxe2e::kPlugin, "--exe", "/bin/true"});
  EXPECT_EQ(positional.exit_code, 1) << positional.err;
  EXPECT_NE(positional.out.find(qxe2e::kPlugin), std::string::npos) << positional.out;
  const auto ambiguous = qxe2e::run(
      {qxe2e::kBench, "preflight", "--exe", "/bin/true", "--lib", "/bin/true", qxe2e::kPlugin});
  EXPECT_EQ(ambiguous.exit_code, kExitUsage);
  EXPECT_NE(ambiguous.err.find("follows a --lib: is it a library or the plug-in?"),
            std::string::npos)
      << ambiguous.err;
}

}  // namespace
