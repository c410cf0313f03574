#include "e2e.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <sstream>

#include <json/reader.h>

#include "qxhost/plugin.h"

namespace qxe2e {

namespace {
// QX_E2E_BENCH, QX_E2E_SIM and QX_E2E_PLUGIN run the tests against other
// builds of the programs, e.g. the board bundle's under qemu-user.
const char* built_or(const char* variable, const char* built) {
  const char* other = std::getenv(variable);
  return other != nullptr && *other != '\0' ? other : built;
}
}  // namespace

const char* const kBench = built_or("QX_E2E_BENCH", QX_BENCH_PATH);
const char* const kSim = built_or("QX_E2E_SIM", QX_SIM_PATH);
const char* const kPlugin = built_or("QX_E2E_PLUGIN", qxhost::built_plugin_path());
const char* const kFramework = QX_FRAMEWORK_PATH;
const char* const kExamples = QX_EXAMPLES_DIR;
const char* const kPymodbusServer = QX_PYMODBUS_SERVER;
// Debian's pymodbus is importable from the system interpreter only.
const char* const kPython = "/usr/bin/python3";

namespace {
constexpr double kFrequencyDivisor = 936.2156291837135;
}  // namespace

Json::Value parse_json(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string error;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &error)) return Json::Value();
  return value;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

BenchRun run_bench(const std::vector<std::string>& args, double limit_s) {
  std::vector<std::string> argv = {kBench, "--json"};
  if (std::find(args.begin(), args.end(), "--plugin") == args.end()) {
    argv.insert(argv.end(), {"--plugin", kPlugin});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  BenchRun bench;
  bench.result = run(argv, limit_s);
  for (const std::string& line : lines_of(bench.result.out)) {
    const Json::Value value = parse_json(line);
    if (!value.isObject()) {
      bench.not_json.push_back(line);
    } else if (value.isMember("summary")) {
      bench.summary = value["summary"];
    } else {
      bench.rounds.push_back(value);
    }
  }
  return bench;
}

qxsim::RegisterImage registers_of_record(const std::string& hex) {
  qxsim::RegisterImage image{};
  const auto word_at = [&hex](std::size_t offset) {
    const auto byte = [&hex](std::size_t i) {
      return static_cast<unsigned>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    };
    return static_cast<std::uint16_t>(byte(offset) | (byte(offset + 1) << 8));
  };
  if (hex.size() != 2 * 91) return image;
  for (int reg = 0; reg < 32; ++reg) image[reg] = word_at(4 + 2 * reg);
  for (int reg = 33; reg <= 40; ++reg) image[reg] = word_at(68 + 2 * (reg - 33));
  return image;
}

double expected_value(std::uint16_t word, double divisor) {
  if (divisor == kFrequencyDivisor) return static_cast<double>(static_cast<float>(word)) / divisor;
  if (divisor == 1) return static_cast<double>(word);
  return static_cast<double>(static_cast<float>(word) / static_cast<float>(divisor));
}

}  // namespace qxe2e
