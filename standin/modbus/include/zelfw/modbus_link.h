// The stand-in framework's Modbus master over libmodbus: reads holding
// registers from a real slave on an RTU serial line or through a Modbus TCP
// gateway, hands checked replies to the device and reports every failed
// exchange, counting failures by kind.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qxcore/failures.h"
#include "qxcore/line_setting.h"
#include "zelfw/standin.h"

struct _modbus;

namespace zelfw {

/// How the link reaches the slave. RTU when serial_path is set (on the line
/// setting), TCP when tcp_host is.
struct LinkSettings : qxcore::LineSetting {
  std::string serial_path;
  std::string tcp_host;
  int tcp_port = 502;
  int slave = 1;
  int timeout_ms = 500;  ///< response timeout of one exchange
};

/// Why an exchange failed, as libmodbus reported it (the tools' failure kinds).
using qxcore::Failure;
using qxcore::failure_name;

/// Maps libmodbus's errno after a failed read to a failure kind.
Failure classify_modbus_errno(int error_number);

/// Replies delivered and failures by kind since the link was made.
struct LinkCounts {
  long long replies = 0;
  std::array<long long, static_cast<std::size_t>(Failure::kCount)> failures{};
  long long failed() const;
  long long of(Failure f) const { return failures[static_cast<std::size_t>(f)]; }
};

/// The latest failed exchange.
struct LinkFailure {
  Failure kind = Failure::kIo;
  int error_number = 0;    ///< errno as libmodbus left it
  int exception_code = 0;  ///< for kException: the slave's exception code
  std::string text;        ///< libmodbus's message
  int timeout_ms = 0;      ///< the link's response timeout when it failed
  bool tcp = false;        ///< through a gateway (else an RTU line)
};

/// One frame on the wire, as the link sent or received it.
struct Frame {
  std::chrono::steady_clock::time_point time;  ///< when it left, or when its reply ended
  bool sent = true;                            ///< false: received
  int slave = 0;                               ///< the slave id the exchange addressed
  /// The whole frame (RTU: with its CRC; TCP: with the MBAP header). A
  /// received frame libmodbus could not take whole (timeout, port error) has
  /// none.
  std::vector<std::uint8_t> bytes;
  std::optional<Failure> failure;  ///< received frames: why the exchange failed
};

/// Time on the wire of one RTU exchange reading `registers` holding registers:
/// request and reply frames plus the 3.5-character silence after each.
double rtu_exchange_minimum_ms(const LinkSettings& settings, int registers);

class LibModbusLink : public ModbusLink {
 public:
  explicit LibModbusLink(LinkSettings settings);
  ~LibModbusLink() override;
  LibModbusLink(const LibModbusLink&) = delete;
  LibModbusLink& operator=(const LibModbusLink&) = delete;

  /// Opens the serial port or connects to the gateway. On failure returns
  /// false with a message naming the port and the system's reason.
  bool open(std::string& error);
  void close();

  /// One exchange; its outcome reaches the device through deliver_reply or
  /// deliver_error before this returns (the device may ask again from inside).
  void read_registers(SPModbus& device, int start, int count) override;

  /// Addresses later exchanges to another slave id (a scan of the line);
  /// call it between exchanges. False for an id libmodbus refuses.
  bool set_slave(int slave);
  /// Addresses this device's exchanges to `slave` (several meters on one
  /// line); devices never routed use the settings' slave id. False for an id
  /// outside 1..247 (0..255 on TCP).
  bool route(const SPModbus& device, int slave);

  /// Called with every frame sent and received, on the exchanging thread,
  /// before the outcome reaches the device; empty: frames are not kept.
  void set_trace(std::function<void(const Frame&)> trace);

  LinkCounts counts() const;
  LinkFailure last_failure() const;
  const LinkSettings& settings() const { return settings_; }
  /// "RTU /dev/ttyS1 9600 8N1 slave 1" or "TCP 10.0.0.5:502 unit 1".
  std::string describe() const;

 private:
  bool connect_locked(std::string& error);
  /// One read of holding registers: the reply's registers into words, or -1
  /// with errno as libmodbus reports it. Under io_mutex_.
  int exchange_locked(int slave, int start, int count, std::uint16_t* words);
  void record_failure(int error_number);

  LinkSettings settings_;                    ///< only the slave id changes, under io_mutex_
  std::mutex io_mutex_;                      ///< the libmodbus context; never held while delivering
  std::map<const SPModbus*, int> routes_;    // guarded by io_mutex_
  std::function<void(const Frame&)> trace_;  // guarded by io_mutex_
  _modbus* ctx_ = nullptr;
  std::atomic<bool> connected_{false};
  mutable std::mutex count_mutex_;
  LinkCounts counts_;
  LinkFailure last_failure_;
};

}  // namespace zelfw
