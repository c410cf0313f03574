// The simulated meter: a libmodbus RTU slave on a pseudo-terminal, serving
// holding registers 0..40 from a profile, with fault switches and optional
// pacing like a real serial line.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qxcore/line_setting.h"
#include "qxsim/faults.h"
#include "qxsim/profile.h"

struct _modbus;

namespace qxsim {

/// Another meter on the same line, with its own registers and faults.
struct SlaveSim {
  int slave = 2;
  Profile profile;
  FaultPlan faults;
};

struct SimConfig {
  Profile profile;
  FaultPlan faults;
  int slave = 1;
  /// Further meters on the line; each answers its own id (a request for an
  /// id no meter has goes unanswered, as on a real line).
  std::vector<SlaveSim> more_slaves;
  /// A nonzero baud: the meter's line speed and frame format. A request that
  /// arrives while the master's side of the pseudo-terminal is set to another
  /// speed, parity or stop bits is left unanswered, as a real meter hears only
  /// noise (a pseudo-terminal keeps no data bits: those are not checked).
  qxcore::LineSetting line = {0, 8, 'N', 1};
  /// 0: bytes leave at once; otherwise each frame takes its time on a line of
  /// this speed (8N1), with the 3.5-character silence before and after.
  int pace_baud = 0;
};

struct SimStats {
  long requests = 0;  ///< requests addressed to this meter
  long rounds = 0;    ///< reads from register 0
  long replies = 0;   ///< correct replies sent (delayed ones included)
  long faults = 0;    ///< fault switches that fired
};

class MeterSim {
 public:
  explicit MeterSim(SimConfig config);
  ~MeterSim();
  MeterSim(const MeterSim&) = delete;
  MeterSim& operator=(const MeterSim&) = delete;

  /// Opens a pseudo-terminal and starts serving on it. On failure returns
  /// false with a message.
  bool start(std::string& error);
  /// Stops serving and closes the pseudo-terminal; idempotent.
  void stop();
  /// Path a master opens, e.g. /dev/pts/3.
  const std::string& port() const { return port_; }
  /// Every meter on the line together.
  SimStats stats() const;
  /// One meter's; all zero for an id no meter has.
  SimStats stats(int slave) const;

 private:
  struct Meter;
  void serve();
  /// A request libmodbus passed over as another slave's: a meter with that
  /// id answers it when its CRC holds.
  void answer_other(const std::uint8_t* request);
  void answer(Meter& meter, const std::uint8_t* request, int length);
  std::vector<std::uint8_t> correct_reply(Meter& meter, const std::uint8_t* request, int length);
  void send(const std::vector<std::uint8_t>& frame, int request_length);
  /// Sleeps, waking early on stop; false when stopping.
  bool pause_ms(double ms);
  /// Starts a fresh receiving context after a request for another slave id.
  void forget_other_slave();
  /// True when the terminal settings the master applied match the meter's line.
  bool line_matches() const;

  const SimConfig config_;
  std::string port_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  int wake_fds_[2] = {-1, -1};
  int capture_fds_[2] = {-1, -1};
  _modbus* ctx_ = nullptr;  ///< reads requests from the pseudo-terminal, as the first meter
  std::vector<std::unique_ptr<Meter>> meters_;  ///< the first is config_.slave
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  mutable std::mutex stats_mutex_;  ///< every meter's stats and registers
};

/// Appends the frame's CRC-16/MODBUS, low byte first.
void append_crc(std::vector<std::uint8_t>& frame);

}  // namespace qxsim
