// Interoperability with Modbus implementations written elsewhere: mbpoll
// reading the simulated meter, and the bench polling a pymodbus RTU slave on
// a socat pseudo-terminal pair and over Modbus TCP on the loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e.h"
#include "qxsim/profile.h"

namespace {

constexpr const char* kMbpoll = "/usr/bin/mbpoll";
constexpr const char* kSocat = "/usr/bin/socat";

bool installed(const char* path) { return ::access(path, X_OK) == 0; }

TEST(Interop, MbpollReadsTheSimulatedMetersRegisters) {
  ASSERT_TRUE(installed(kMbpoll)) << "mbpoll missing: run scripts/install-deps.sh";
  qxe2e::Child sim({qxe2e::kSim});
  std::string port;
  ASSERT_TRUE(sim.read_line(port, 30));
  ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;
  // One read of all 41 registers (mbpoll counts references from 1).
  const auto result = qxe2e::run({kMbpoll, "-m", "rtu", "-a", "1", "-b", "9600", "-P", "none", "-t",
                                  "4", "-r", "1", "-c", "41", "-o", "5", "-1", port},
                                 60);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  const qxsim::RegisterImage expected = qxsim::Profile().image_for_round(1, {});
  int seen = 0;
  for (const std::string& line : qxe2e::lines_of(result.out)) {
    // "[1]: \t2300"; words above 32767 are followed by their signed reading.
    int reference = 0;
    unsigned long word = 0;
    if (std::sscanf(line.c_str(), "[%d]: %lu", &reference, &word) != 2) continue;
    const int reg = reference - 1;
    ASSERT_GE(reg, 0);
    ASSERT_LT(reg, qxsim::kRegisterCount);
    EXPECT_EQ(word, expected[reg]) << "register " << reg;
    ++seen;
  }
  EXPECT_EQ(seen, qxsim::kRegisterCount) << result.out;
  sim.signal(SIGTERM);
  EXPECT_EQ(sim.finish(30).exit_code, 0);
}

TEST(Interop, BenchPollsAPymodbusSlave) {
  ASSERT_TRUE(installed(kSocat)) << "socat missing: run scripts/install-deps.sh";
  ASSERT_TRUE(installed(qxe2e::kPython));
  qxe2e::TempDir dir;
  const std::string server_end = dir.file("server"), bench_end = dir.file("bench");
  qxe2e::Child socat({kSocat, "-d", "-d", "pty,raw,echo=0,link=" + server_end,
                      "pty,raw,echo=0,link=" + bench_end});
  // socat reports each pty on standard error; wait for both links.
  for (int i = 0; i < 300 && (::access(server_end.c_str(), F_OK) != 0 ||
                              ::access(bench_end.c_str(), F_OK) != 0);
       ++i) {
    ::usleep(20000);
  }
  ASSERT_EQ(::access(bench_end.c_str(), F_OK), 0) << "socat made no pseudo-terminal pair";

  // Registers 0..40: distinct words, a 230.0 V phase A and a 50 Hz frequency.
  std::vector<std::uint16_t> words(qxsim::kRegisterCount);
  for (int reg = 0; reg < qxsim::kRegisterCount; ++reg) words[reg] = 1000 + 37 * reg;
  words[0] = 2300;
  words[27] = 46811;
  std::vector<std::string> argv = {qxe2e::kPython, qxe2e::kPymodbusServer, server_end, "7"};
  for (std::uint16_t w : words) argv.push_back(std::to_string(w));
  qxe2e::Child server(argv);
  std::string ready;
  ASSERT_TRUE(server.read_line(ready, 60)) << server.finish(5).err;
  ASSERT_EQ(ready, "ready");

  const auto bench = qxe2e::run_bench({"--port", bench_end, "--slave", "7", "--rounds", "2",
                                       "--interval", "200", "--timeout", "2000"});
  ASSERT_EQ(bench.result.exit_code, 0) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 2u);
  qxsim::RegisterImage expected{};
  for (int reg = 0; reg < qxsim::kRegisterCount; ++reg) expected[reg] = words[reg];
  expected[32] = 0;  // never read
  for (const Json::Value& round : bench.rounds) {
    ASSERT_TRUE(round["ok"].asBool()) << round;
    EXPECT_EQ(qxe2e::registers_of_record(round["record"].asString()), expected);
  }
  const Json::Value& snapshot = bench.rounds[0]["snapshot"];
  for (int i = 0; i < qxsim::kKeyScaleCount; ++i) {
    const qxsim::KeyScale& row = qxsim::key_scales()[i];
    EXPECT_EQ(snapshot[row.key].asDouble(), qxe2e::expected_value(words[row.reg], row.divisor))
        << row.key;
  }
  EXPECT_EQ(snapshot["相电压Ua"].asDouble(), static_cast<double>(2300.0f / 10.0f));
}

TEST(Interop, BenchPollsAPymodbusSlaveOverModbusTcp) {
  std::vector<std::string> argv = {qxe2e::kPython, qxe2e::kPymodbusServer, "tcp", "1"};
  for (int reg = 0; reg < qxsim::kRegisterCount; ++reg) argv.push_back(std::to_string(2000 + reg));
  qxe2e::Child server(argv);
  std::string ready;
  ASSERT_TRUE(server.read_line(ready, 60)) << server.finish(5).err;
  ASSERT_EQ(ready.rfind("ready ", 0), 0u) << ready;
  const std::string address = "127.0.0.1:" + ready.substr(6);
  const auto bench = qxe2e::run_bench({"--tcp", address, "--rounds", "1", "--timeout", "2000"});
  ASSERT_EQ(bench.result.exit_code, 0) << bench.result.err;
  ASSERT_EQ(bench.rounds.size(), 1u);
  const auto registers = qxe2e::registers_of_record(bench.rounds[0]["record"].asString());
  EXPECT_EQ(registers[0], 2000);
  EXPECT_EQ(registers[31], 2031);
  EXPECT_EQ(registers[33], 2033);
  EXPECT_EQ(registers[40], 2040);
  EXPECT_TRUE(bench.summary["wire_minimum_us"].isNull());
}

// A scan over a gateway finds a pymodbus slave at a non-default unit id and
// judges it from the snapshot the device renders: these registers give a
// frequency no installation has, so it is a responder but not this meter.
TEST(Interop, ScanReportsAPymodbusSlaveAndItsVerdict) {
  std::vector<std::string> argv = {qxe2e::kPython, qxe2e::kPymodbusServer, "tcp", "9"};
  for (int reg = 0; reg < qxsim::kRegisterCount; ++reg) argv.push_back(std::to_string(2000 + reg));
  qxe2e::Child server(argv);
  std::string ready;
  ASSERT_TRUE(server.read_line(ready, 60)) << server.finish(5).err;
  ASSERT_EQ(ready.rfind("ready ", 0), 0u) << ready;
  const auto scan = qxe2e::run_bench(
      {"scan", "--tcp", "127.0.0.1:" + ready.substr(6), "--slaves", "8-10", "--timeout", "300"});
  EXPECT_EQ(scan.result.exit_code, 1) << scan.result.err;  // no meter found
  ASSERT_EQ(scan.rounds.size(), 1u) << scan.result.out;
  const Json::Value& responder = scan.rounds[0];
  EXPECT_EQ(responder["slave"].asInt(), 9);
  EXPECT_EQ(responder["answer"].asString(), "reply");
  EXPECT_FALSE(responder["meter"].asBool());
  EXPECT_NE(responder["verdict"].asString().find("频率"), std::string::npos) << responder;
  EXPECT_EQ(scan.summary["responders"].asInt(), 1);
}

}  // namespace
