// The exit codes of the bench host and the simulated meter: one set, the
// same number meaning the same thing in each (docs/bench.md, "Exit codes").
#pragma once

namespace qxcore {
/// `using namespace qxcore::exit_codes;` takes the codes alone.
inline namespace exit_codes {

constexpr int kExitOk = 0;  ///< every round published a record; the simulator stopped cleanly
constexpr int kExitRoundsFailed = 1;  ///< the run ended, some rounds failed
constexpr int kExitUsage = 2;         ///< bad command line
constexpr int kExitPlugin = 3;        ///< the plug-in could not be loaded or made no device
constexpr int kExitInput = 4;   ///< an input file (settings, cache, CSV, records, profile) unusable
constexpr int kExitPort = 5;    ///< the port or gateway could not be opened
constexpr int kExitOutput = 6;  ///< an output file (CSV, history, report) could not be written
constexpr int kExitInterrupted = 130;  ///< stopped by Ctrl-C (SIGINT) or SIGTERM

}  // namespace exit_codes
}  // namespace qxcore
