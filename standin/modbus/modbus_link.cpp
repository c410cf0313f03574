#include "zelfw/modbus_link.h"

#include <modbus.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace zelfw {
namespace {

// RTU frame sizes of a holding-register read: slave, function, address,
// count, CRC; the reply carries slave, function, byte count, data, CRC.
constexpr int kReadRequestBytes = 8;
constexpr int kReadReplyOverhead = 5;
// Above 19200 baud the inter-frame silence is fixed rather than 3.5 characters.
constexpr int kFixedGapAboveBaud = 19200;
constexpr double kFixedGapMs = 1.75;
constexpr double kGapCharacters = 3.5;

int bits_per_character(const LinkSettings& s) {
  return 1 + s.data_bits + (s.parity == 'N' ? 0 : 1) + s.stop_bits;
}

}  // namespace

const char* failure_name(Failure failure) {
  switch (failure) {
    case Failure::kTimeout:
      return "timeout";
    case Failure::kBadCrc:
      return "bad-crc";
    case Failure::kException:
      return "exception";
    case Failure::kMalformed:
      return "malformed";
    case Failure::kWrongSlave:
      return "wrong-slave";
    case Failure::kIo:
      return "io";
    case Failure::kCount:
      break;
  }
  return "?";
}

Failure classify_modbus_errno(int error_number) {
  if (error_number == ETIMEDOUT) return Failure::kTimeout;
  if (error_number == EMBBADCRC) return Failure::kBadCrc;
  if (error_number == EMBBADSLAVE) return Failure::kWrongSlave;
  // libmodbus reports an exception response as its code above MODBUS_ENOBASE.
  if (error_number >= EMBXILFUN && error_number <= EMBXGTAR) return Failure::kException;
  if (error_number == EMBBADDATA || error_number == EMBBADEXC || error_number == EMBMDATA ||
      error_number == EMBUNKEXC) {
    return Failure::kMalformed;
  }
  return Failure::kIo;
}

long long LinkCounts::failed() const {
  long long total = 0;
  for (long long n : failures) total += n;
  return total;
}

double rtu_exchange_minimum_ms(const LinkSettings& settings, int registers) {
  if (settings.baud <= 0) return 0.0;
  const double char_ms = 1000.0 * bits_per_character(settings) / settings.baud;
  const double gap_ms = settings.baud > kFixedGapAboveBaud ? kFixedGapMs : kGapCharacters * char_ms;
  const int bytes = kReadRequestBytes + kReadReplyOverhead + 2 * registers;
  return bytes * char_ms + 2 * gap_ms;
}

LibModbusLink::LibModbusLink(LinkSettings settings) : settings_(std::move(settings)) {}

LibModbusLink::~LibModbusLink() { close(); }

bool LibModbusLink::open(std::string& error) {
  std::lock_guard<std::mutex> lock(io_mutex_);
  return connect_locked(error);
}

bool LibModbusLink::connect_locked(std::string& error) {
  if (ctx_ == nullptr) {
    if (!settings_.serial_path.empty()) {
      ctx_ = modbus_new_rtu(settings_.serial_path.c_str(), settings_.baud, settings_.parity,
                            settings_.data_bits, settings_.stop_bits);
    } else if (!settings_.tcp_host.empty()) {
      const std::string service = std::to_string(settings_.tcp_port);
      ctx_ = modbus_new_tcp_pi(settings_.tcp_host.c_str(), service.c_str());
    } else {
      error = "no serial port and no TCP address given";
      return false;
    }
    if (ctx_ == nullptr) {
      error = describe() + ": invalid line settings (" + modbus_strerror(errno) + ")";
      return false;
    }
    if (modbus_set_slave(ctx_, settings_.slave) != 0) {
      error = "invalid slave id " + std::to_string(settings_.slave) + " (1..247 on RTU)";
      modbus_free(ctx_);
      ctx_ = nullptr;
      return false;
    }
    const int ms = settings_.timeout_ms > 0 ? settings_.timeout_ms : 1;
    modbus_set_response_timeout(ctx_, static_cast<std::uint32_t>(ms / 1000),
                                static_cast<std::uint32_t>((ms % 1000) * 1000));
  }
  if (connected_) return true;
  if (modbus_connect(ctx_) != 0) {
    const int saved = errno;
    error = "cannot open " + describe() + ": " + modbus_strerror(saved);
    return false;
  }
  connected_ = true;
  return true;
}

void LibModbusLink::close() {
  std::lock_guard<std::mutex> lock(io_mutex_);
  if (ctx_ == nullptr) return;
  if (connected_) modbus_close(ctx_);
  modbus_free(ctx_);
  ctx_ = nullptr;
  connected_ = false;
}

bool LibModbusLink::is_open() const { return connected_; }

std::string LibModbusLink::describe() const {
  if (!settings_.serial_path.empty()) {
    return "RTU " + settings_.serial_path + " " + std::to_string(settings_.baud) + " " +
           std::to_string(settings_.data_bits) + settings_.parity +
           std::to_string(settings_.stop_bits) + " slave " + std::to_string(settings_.slave);
  }
  return "TCP " + settings_.tcp_host + ":" + std::to_string(settings_.tcp_port) + " unit " +
         std::to_string(settings_.slave);
}

void LibModbusLink::record_failure(int error_number) {
  std::lock_guard<std::mutex> lock(count_mutex_);
  LinkFailure f;
  f.kind = classify_modbus_errno(error_number);
  f.error_number = error_number;
  if (f.kind == Failure::kException) f.exception_code = error_number - MODBUS_ENOBASE;
  f.text = modbus_strerror(error_number);
  ++counts_.failures[static_cast<std::size_t>(f.kind)];
  last_failure_ = std::move(f);
}

void LibModbusLink::read_registers(SPModbus& device, int start, int count) {
  std::vector<std::uint16_t> words(count > 0 ? static_cast<std::size_t>(count) : 1);
  int result = -1;
  int error_number = EINVAL;
  {
    std::lock_guard<std::mutex> lock(io_mutex_);
    std::string ignored;
    // A connection dropped by an earlier failure is reopened on the next request.
    if (connect_locked(ignored)) {
      // Late bytes of an earlier, abandoned exchange must not pass for this reply.
      modbus_flush(ctx_);
      result = modbus_read_registers(ctx_, start, count, words.data());
      error_number = errno;
      if (result < 0 && classify_modbus_errno(error_number) == Failure::kIo) {
        modbus_close(ctx_);
        connected_ = false;
      }
    } else {
      error_number = errno != 0 ? errno : EIO;
    }
  }
  if (result == count) {
    {
      std::lock_guard<std::mutex> lock(count_mutex_);
      ++counts_.replies;
    }
    deliver_reply(device, words.data(), count);
    return;
  }
  // libmodbus checks the register count itself; a mismatch here is a short reply.
  record_failure(result < 0 ? error_number : EMBBADDATA);
  deliver_error(device);
}

bool LibModbusLink::set_slave(int slave) {
  std::lock_guard<std::mutex> lock(io_mutex_);
  if (ctx_ != nullptr && modbus_set_slave(ctx_, slave) != 0) return false;
  settings_.slave = slave;
  return true;
}

LinkCounts LibModbusLink::counts() const {
  std::lock_guard<std::mutex> lock(count_mutex_);
  return counts_;
}

LinkFailure LibModbusLink::last_failure() const {
  std::lock_guard<std::mutex> lock(count_mutex_);
  return last_failure_;
}

}  // namespace zelfw
