// Shared pieces of the end-to-end tests: where the built programs are, the
// bench run in --json mode, and the values a snapshot must show for a word.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <json/value.h>
#include <json/writer.h>  // operator<< for failure messages

#include "process.h"
#include "qxsim/faults.h"
#include "qxsim/profile.h"

namespace qxe2e {

extern const char* const kBench;
extern const char* const kSim;
extern const char* const kPlugin;
extern const char* const kFramework;  ///< libzelfw.so: a library with no get_providers
extern const char* const kExamples;
extern const char* const kPymodbusServer;
extern const char* const kPython;

/// The bench's --json output, line by line.
struct BenchRun {
  Result result;
  std::vector<Json::Value> rounds;    ///< every line but the summary
  Json::Value summary;                ///< the last line's "summary" object
  std::vector<std::string> not_json;  ///< stdout lines that did not parse
};

/// Runs the bench with --json and these arguments.
BenchRun run_bench(const std::vector<std::string>& args, double limit_s = 60);

/// Parses one JSON text; null when it does not parse.
Json::Value parse_json(const std::string& text);

/// Registers 0..40 as a published record carries them (32 is not read: 0).
qxsim::RegisterImage registers_of_record(const std::string& hex);

/// What the snapshot must show for a word: the single-precision quotient,
/// widened; the frequency divided in double precision.
double expected_value(std::uint16_t word, double divisor);

/// Splits text into lines.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace qxe2e

namespace qxsim {
/// Names a fault switch in test names and failure messages.
inline void PrintTo(const FaultInfo& info, std::ostream* os) { *os << info.name; }
}  // namespace qxsim
