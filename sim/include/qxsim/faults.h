// The simulated meter's fault switches: the one contract between the
// simulator, the bench host and the tests. A switch fires on the Nth request
// the simulator receives (counting from 1, every request it answers or
// ignores); the outage holds from a round on (a round begins with each read
// from register 0).
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "qxcore/failures.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"

namespace qxsim {

enum class Fault {
  kIgnore,      ///< read the request, answer nothing: the master times out
  kBadCrc,      ///< the right reply with its CRC corrupted
  kException,   ///< an exception response with the switch's code
  kTruncate,    ///< a short reply: half the registers asked for, valid CRC
  kWrongSlave,  ///< the right reply, sent as the next slave id
  kDelay,       ///< the right reply after the switch's delay
};

/// Exception code sent when a switch names none: slave device failure.
constexpr int kDefaultExceptionCode = 4;
/// Delay when a switch names none: longer than the bench's default timeout.
constexpr int kDefaultDelayMs = 2000;

struct FaultSwitch {
  Fault fault = Fault::kIgnore;
  long request = 1;  ///< fires on this request, counting from 1
  int argument = 0;  ///< exception code or delay in milliseconds
};

/// A phase whose voltage (and current and powers) drop to 0 from a round on.
struct Outage {
  char phase = 0;  ///< 'A', 'B' or 'C'; 0: none
  long from_round = 1;
};

struct FaultPlan {
  std::vector<FaultSwitch> switches;
  Outage outage;
};

struct FaultInfo {
  Fault fault;
  const char* name;         ///< as written in a switch: "ignore", "crc", ...
  qxcore::Failure failure;  ///< the failure kind a libmodbus master reports for it
};

/// Every switch, with the failure kind it makes a libmodbus master report. A
/// delay shorter than the master's response timeout is no failure at all.
constexpr FaultInfo kFaults[] = {
    {Fault::kIgnore, "ignore", qxcore::Failure::kTimeout},
    {Fault::kBadCrc, "crc", qxcore::Failure::kBadCrc},
    {Fault::kException, "exception", qxcore::Failure::kException},
    {Fault::kTruncate, "truncate", qxcore::Failure::kMalformed},
    {Fault::kWrongSlave, "wrong-slave", qxcore::Failure::kWrongSlave},
    {Fault::kDelay, "delay", qxcore::Failure::kTimeout},
};

/// Parses "KIND@N" or "KIND@N:ARG" (e.g. "crc@3", "exception@1:2",
/// "delay@2:1500"). On failure returns false with a message.
inline bool parse_fault_switch(const std::string& text, FaultSwitch& out, std::string& error) {
  const auto at = text.find('@');
  const std::string kind = text.substr(0, at);
  const FaultInfo* found = nullptr;
  for (const FaultInfo& info : kFaults) {
    if (kind == info.name) found = &info;
  }
  if (found == nullptr || at == std::string::npos) {
    error = qxcore::format(_("fault \"%s\": expected KIND@REQUEST[:ARG], KIND one of ignore, crc, "
                             "exception, truncate, wrong-slave, delay"),
                           text.c_str());
    return false;
  }
  const std::string rest = text.substr(at + 1);
  const auto colon = rest.find(':');
  char* end = nullptr;
  const std::string number = rest.substr(0, colon);
  const long request = std::strtol(number.c_str(), &end, 10);
  if (number.empty() || *end != '\0' || request < 1) {
    error = qxcore::format(_("fault \"%s\": the request number must be 1 or more"), text.c_str());
    return false;
  }
  FaultSwitch s;
  s.fault = found->fault;
  s.request = request;
  s.argument = s.fault == Fault::kException ? kDefaultExceptionCode
               : s.fault == Fault::kDelay   ? kDefaultDelayMs
                                            : 0;
  if (colon != std::string::npos) {
    const std::string arg = rest.substr(colon + 1);
    const long value = std::strtol(arg.c_str(), &end, 10);
    const bool takes_argument = s.fault == Fault::kException || s.fault == Fault::kDelay;
    const long low = s.fault == Fault::kException ? 1 : 0;
    const long high = s.fault == Fault::kException ? 255 : 600000;
    if (!takes_argument || arg.empty() || *end != '\0' || value < low || value > high) {
      error =
          takes_argument
              ? qxcore::format(_("fault \"%s\": argument out of range %d to %d"), text.c_str(),
                               static_cast<int>(low), static_cast<int>(high))
              : qxcore::format(_("fault \"%s\": %s takes no argument"), text.c_str(), found->name);
      return false;
    }
    s.argument = static_cast<int>(value);
  }
  out = s;
  return true;
}

}  // namespace qxsim
