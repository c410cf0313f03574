// The kinds of failed round the tools name: why a Modbus exchange failed, as
// the link reports it, and a round that published nothing without one. One
// table: the name machines read (--json, the CSV, --trace), the label people
// read (in their language), and the colour the commissioning report draws.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qxcore {

/// Why an exchange failed, as libmodbus reported it.
enum class Failure : std::uint8_t {
  kTimeout,     ///< no complete reply in time (silence, or a frame cut short mid-way)
  kBadCrc,      ///< the reply's CRC did not match
  kException,   ///< the slave answered with an exception code
  kMalformed,   ///< a short reply or one that does not match the request
  kWrongSlave,  ///< the reply came from another slave id
  kIo,          ///< the port or connection itself failed
  kCount
};

struct FailureKind {
  const char* name;    ///< "timeout", "bad-crc", ...: the same in every language
  const char* label;   ///< for people, translated in the context "failure"
  const char* colour;  ///< in the report's charts
};

/// Every link failure in the order of Failure, then the round that published
/// no record although no exchange failed ("unpublished").
extern const FailureKind kFailureKinds[static_cast<std::size_t>(Failure::kCount) + 1];
constexpr std::size_t kFailureKindCount = static_cast<std::size_t>(Failure::kCount) + 1;
/// The name of a round that published nothing without a failed exchange.
constexpr const char* kUnpublished = "unpublished";

/// Short name used in the bench's output: "timeout", "bad-crc", "exception",
/// "malformed", "wrong-slave", "io".
const char* failure_name(Failure failure);
/// A kind's name as shown to people, in the run's language ("timeout" -> "超时");
/// a name it does not know comes back as it is.
const char* failure_label(const char* name);
const char* failure_label(Failure failure);

}  // namespace qxcore
