// What a field engineer's files and a hostile gateway can hand the bench,
// one row each (docs/bad-inputs.md, "The bench host"): the exit code, the
// message, and that no file the user had is lost or left half written.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e.h"
#include "qxcore/exit_codes.h"

namespace {

using qxe2e::TempDir;

using namespace qxcore::exit_codes;

const char kCsvHeader[] =
    "\xEF\xBB\xBFtime,slave,status,failure,相电压Ua,频率,alarm,round,round_ms\r\n";

std::string deep_json() { return std::string(5000, '[') + std::string(5000, ']'); }

struct BadInput {
  const char* name;
  /// Files made in the test's directory first: name, contents.
  std::vector<std::pair<std::string, std::string>> files;
  /// The bench's arguments; "@" stands for the test's directory.
  std::vector<std::string> args;
  int exit_code;
  const char* message;  ///< on standard error
  /// A file that must hold exactly this afterwards ("" name: none checked);
  /// "-" as contents: must not exist.
  std::pair<std::string, std::string> kept;
};

std::string in_dir(const std::string& arg, const std::string& dir) {
  std::string text = arg;
  for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size())) {
    text.replace(at, 1, dir);
  }
  return text;
}

class BenchBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(BenchBadInput, HasItsDocumentedOutcome) {
  const BadInput& c = GetParam();
  TempDir dir;
  for (const auto& [name, bytes] : c.files) qxe2e::write_file(dir.file(name), bytes);
  std::vector<std::string> argv = {qxe2e::kBench, "--plugin", qxe2e::kPlugin};
  const bool subcommand = !c.args.empty() && (c.args[0] == "decode" || c.args[0] == "report");
  if (subcommand) argv = {qxe2e::kBench};
  for (const std::string& arg : c.args) argv.push_back(in_dir(arg, dir.path()));
  if (!c.args.empty() && c.args[0] == "decode") {
    argv.insert(argv.begin() + 2, {"--plugin", qxe2e::kPlugin});
  }
  if (c.args.size() > 1 && c.args[0] == "sh") {
    argv = {"/usr/bin/env",
            std::string("QX_BENCH=") + qxe2e::kBench,
            std::string("QX_PLUGIN=") + qxe2e::kPlugin,
            "/bin/sh",
            "-c",
            in_dir(c.args[1], dir.path())};
  }
  const qxe2e::Result result = qxe2e::run(argv, 60);
  EXPECT_FALSE(result.killed) << "still running after 60 s";
  EXPECT_EQ(result.exit_code, c.exit_code) << result.err;
  EXPECT_NE(result.err.find(in_dir(c.message, dir.path())), std::string::npos) << result.err;
  if (!c.kept.first.empty()) {
    const std::string path = dir.file(c.kept.first);
    if (c.kept.second == "-") {
      EXPECT_NE(::access(path.c_str(), F_OK), 0) << path << " exists";
    } else {
      EXPECT_EQ(qxe2e::read_file(path), c.kept.second) << path;
    }
  }
  // No temporary file is left beside any output.
  const qxe2e::Result listing =
      qxe2e::run({"/bin/sh", "-c", "ls -A " + dir.path() + " | grep '^\\.' || true"});
  EXPECT_EQ(listing.out, "") << "temporary files left";
}

// The bench with writes capped at 2 KiB (dash counts 512-byte blocks): the
// disk is full after the header and the first rows.
std::string on_full_disk(const std::string& args) {
  return "trap '' XFSZ; ulimit -f 4; exec \"$QX_BENCH\" --plugin \"$QX_PLUGIN\" " + args +
         " >/dev/null";
}

const BadInput kBadInputs[] = {
    {"settings_nested_too_deeply",
     {{"deep.json", deep_json()}},
     {"--settings", "@/deep.json"},
     kExitInput,
     "settings file @/deep.json is not valid JSON: nested deeper",
     {}},
    {"profile_nested_too_deeply",
     {{"deep.json", deep_json()}},
     {"--sim-profile", "@/deep.json"},
     kExitInput,
     "profile file",
     {}},
    {"settings_with_trailing_junk",
     {{"s.json", "{\"appSetting\": {}} x"}},
     {"--settings", "@/s.json"},
     kExitInput,
     "line 1, column 20: text after the JSON value",
     {}},
    {"settings_missing_colon_in_chinese",
     {{"s.json", "{\"a\" 1}"}},
     {"--lang", "zh_CN", "--settings", "@/s.json"},
     kExitInput,
     "配置文件 @/s.json 不是有效的 JSON：第 1 行第 6 列：对象的成员名后缺少“:”",
     {}},
    {"settings_too_large",
     {{"s.json", "{\"a\": \"" + std::string(1 << 20, 'x') + "\"}"}},
     {"--settings", "@/s.json"},
     kExitInput,
     "is too large",
     {}},
    {"settings_directory", {}, {"--settings", "@"}, kExitInput, "is a directory", {}},
    {"cache_directory", {}, {"--cache", "@"}, kExitInput, "cache file @ is a directory", {}},
    {"cache_device", {}, {"--cache", "/dev/zero"}, kExitInput, "not a regular file", {}},
    {"decode_directory", {}, {"decode", "@"}, kExitInput, "record file @ is a directory", {}},
    {"decode_endless_device", {}, {"decode", "/dev/zero"}, kExitInput, "not a regular file", {}},
    {"decode_hex_with_a_typo",
     {{"r.hex",
       std::string(182, '0') + "\n" + std::string(10, '0') + "g" + std::string(171, '0') + "\n"}},
     {"decode", "@/r.hex"},
     kExitInput,
     "r.hex: line 2, column 11: 'g' is not a hex digit",
     {}},
    {"report_directory", {}, {"report", "@"}, kExitInput, "CSV file @ is a directory", {}},
    {"report_of_itself",
     {{"run.html", std::string(kCsvHeader) + "t,1,ok,,230,50,,1,1.0\r\n"}},
     {"report", "@/run.html"},
     kExitInput,
     "is also an input",
     {"run.html", std::string(kCsvHeader) + "t,1,ok,,230,50,,1,1.0\r\n"}},
    {"report_value_beyond_any_meter",
     {{"run.csv", std::string(kCsvHeader) + "t,1,ok,,1.7e308,50,,1,1.0\r\n"}},
     {"report", "@/run.csv"},
     kExitInput,
     "line 2 相电压Ua \"1.7e308\" is not a meter reading",
     {"run.html", "-"}},
    {"report_keeps_the_live_runs_page",
     {{"run.csv", std::string(kCsvHeader) + "t,1,ok,,230,50,,1,1.0\r\n"}, {"run.html", "live"}},
     {"report", "@/run.csv"},
     kExitInput,
     "report file @/run.html exists and is kept; -o @/run.html replaces it",
     {"run.html", "live"}},
    {"report_slave_beyond_modbus",
     {{"run.csv", std::string(kCsvHeader) + "t,300,ok,,230,50,,1,1.0\r\n"}},
     {"report", "@/run.csv"},
     kExitInput,
     "slave \"300\" is not a Modbus id",
     {}},
    {"csv_same_as_settings",
     {{"s.json", "{}"}},
     {"--rounds", "1", "--settings", "@/s.json", "--csv", "@/s.json"},
     kExitInput,
     "the output file @/s.json is also an input",
     {"s.json", "{}"}},
    {"run_refused_at_the_port_keeps_the_csv",
     {{"old.csv", "old rows"}},
     {"--port", "@/no-such-port", "--csv", "@/old.csv", "--report", "@/old.html"},
     kExitPort,
     "cannot open RTU",
     {"old.csv", "old rows"}},
    {"report_page_is_whole_or_untouched",
     {{"old.html", "old page"}},
     {"--port", "@/no-such-port", "--report", "@/old.html"},
     kExitPort,
     "cannot open RTU",
     {"old.html", "old page"}},
    {"csv_on_a_full_disk",
     {{"old.csv", "old rows"}},
     {"sh", on_full_disk("--rounds 5 --interval 0 --csv @/old.csv")},
     kExitOutput,
     "cannot write CSV file @/old.csv: File too large",
     {"old.csv", "old rows"}},
    {"history_on_a_full_disk",
     {},
     {"sh", on_full_disk("--rounds 30 --interval 0 --history @/h.bin")},
     kExitOutput,
     "cannot write history file @/h.bin: File too large",
     {"h.bin", "-"}},
    {"tcp_port_out_of_range",
     {},
     {"--tcp", "127.0.0.1:99999"},
     kExitUsage,
     "the port must be a number from 1 to 65535",
     {}},
    {"tcp_port_not_a_number",
     {},
     {"--tcp", "127.0.0.1:5o2"},
     kExitUsage,
     "the port must be a number from 1 to 65535",
     {}},
    {"tcp_malformed_v6", {}, {"--tcp", "[::1:502"}, kExitUsage, "[ADDRESS]:PORT", {}},
    {"tcp_empty", {}, {"--tcp", ""}, kExitUsage, "--tcp: an empty value", {}},
    {"port_empty", {}, {"--port", ""}, kExitUsage, "--port: an empty value", {}},
};

std::string name_of(const ::testing::TestParamInfo<BadInput>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, BenchBadInput, ::testing::ValuesIn(kBadInputs), name_of);

// A gateway that trickles one byte every 0.4 s: --timeout bounds the
// exchange (the byte timeout), so the round fails as a timeout instead of
// taking the trickle's pace.
TEST(BenchBadLink, TricklingGatewayFailsTheRoundAsATimeout) {
  const std::string server =
      "import socket,sys,time\n"
      "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
      "s.bind(('127.0.0.1',0)); s.listen(1); print(s.getsockname()[1], flush=True)\n"
      "s.settimeout(30)\n"
      "try:\n"
      "  while True:\n"
      "    c,_=s.accept(); c.settimeout(30)\n"
      "    req=c.recv(260)\n"
      "    reply=req[:2]+b'\\x00\\x00\\x00\\x43'+req[6:7]+b'\\x03\\x40'+bytes(64)\n"
      "    for b in reply:\n"
      "      c.send(bytes([b])); time.sleep(0.4)\n"
      "except Exception: pass\n";
  qxe2e::Child gateway({qxe2e::kPython, "-c", server});
  std::string port;
  ASSERT_TRUE(gateway.read_line(port, 10));
  const auto bench = qxe2e::run_bench(
      {"--tcp", "127.0.0.1:" + port, "--rounds", "1", "--timeout", "200", "--interval", "0"}, 20);
  EXPECT_FALSE(bench.result.killed) << "the trickle held the round";
  EXPECT_EQ(bench.result.exit_code, kExitRoundsFailed) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 1u);
  EXPECT_EQ(bench.rounds[0]["error"].asString(), "timeout") << bench.rounds[0];
  gateway.signal(SIGTERM);
}

// Ctrl-C or SIGTERM while a large CSV is read ends the bench at once.
TEST(BenchBadInput, SignalWhileInputsAreReadEndsTheBench) {
  TempDir dir;
  std::string csv = kCsvHeader;
  const std::string row = "2026-12-08 10:00:00,1,ok,,230.1,50.005,normal,1,1.234\r\n";
  csv.reserve(row.size() * 600000);
  for (int i = 0; i < 600000; ++i) csv += row;
  qxe2e::write_file(dir.file("big.csv"), csv);
  qxe2e::Child bench({qxe2e::kBench, "report", dir.file("big.csv")});
  ::usleep(300000);  // past the bench's start, well before the end of its reading
  bench.signal(SIGTERM);
  const qxe2e::Result result = bench.finish(30);
  EXPECT_EQ(result.exit_code, kExitInterrupted) << result.err;
  EXPECT_NE(::access(dir.file("big.html").c_str(), F_OK), 0) << "no report of half the rows";
}

}  // namespace
