#include "zelfw/modbus_link.h"

#include <modbus.h>
#include <algorithm>

#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "zelfw/modbus_crc.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace zelfw {
namespace {

constexpr int kLeastByteTimeoutUs = 20000;

// RTU frame sizes of a holding-register read: slave, function, address,
// count, CRC; the reply carries slave, function, byte count, data, CRC.
constexpr int kReadRequestBytes = 8;
constexpr int kReadReplyOverhead = 5;
// Above 19200 baud the inter-frame silence is fixed rather than 3.5 characters.
constexpr int kFixedGapAboveBaud = 19200;
constexpr double kFixedGapMs = 1.75;
constexpr double kGapCharacters = 3.5;
constexpr std::uint8_t kReadHoldingRegisters = 0x03;
constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr int kHighestRtuSlave = 247;
constexpr int kHighestTcpUnit = 255;

// The reply's length from its header, as libmodbus counts it when it reads
// one: what was received when the CRC check refused it. 0: not known.
int reply_length(const std::uint8_t* rsp, int offset, int checksum) {
  const std::uint8_t function = rsp[offset];
  if ((function & kExceptionFlag) != 0) return offset + 2 + checksum;
  if (function == kReadHoldingRegisters) return offset + 2 + rsp[offset + 1] + checksum;
  return 0;
}

int bits_per_character(const LinkSettings& s) {
  return 1 + s.data_bits + (s.parity == 'N' ? 0 : 1) + s.stop_bits;
}

}  // namespace

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
      error = _("no serial port and no TCP address given");
      return false;
    }
    if (ctx_ == nullptr) {
      error = qxcore::format(_("%s: invalid line settings (%s)"), describe().c_str(),
                             modbus_strerror(errno));
      return false;
    }
    if (modbus_set_slave(ctx_, settings_.slave) != 0) {
      error = qxcore::format(_("invalid slave id %d (1 to 247 on RTU)"), settings_.slave);
      modbus_free(ctx_);
      ctx_ = nullptr;
      return false;
    }
    const int ms = settings_.timeout_ms > 0 ? settings_.timeout_ms : 1;
    modbus_set_response_timeout(ctx_, static_cast<std::uint32_t>(ms / 1000),
                                static_cast<std::uint32_t>((ms % 1000) * 1000));
    // Between two bytes of a reply a device may pause for the byte timeout
    // only, so that one trickling bytes cannot hold a round for long: the
    // larger of 20 ms and four characters on the line, never above --timeout.
    const int char_us =
        settings_.tcp_host.empty() && settings_.baud > 0
            ? static_cast<int>(1000000LL * bits_per_character(settings_) / settings_.baud)
            : 0;
    const int byte_us = std::min(ms * 1000, std::max(kLeastByteTimeoutUs, 4 * char_us));
    modbus_set_byte_timeout(ctx_, static_cast<std::uint32_t>(byte_us / 1000000),
                            static_cast<std::uint32_t>(byte_us % 1000000));
  }
  if (connected_) return true;
  if (modbus_connect(ctx_) != 0) {
    const int saved = errno;
    const char* reason = modbus_strerror(saved);
    error =
        settings_.serial_path.empty()
            ? qxcore::format(_("cannot open TCP %s:%d unit %d: %s"), settings_.tcp_host.c_str(),
                             settings_.tcp_port, settings_.slave, reason)
            : qxcore::format(_("cannot open RTU %s %s slave %d: %s"), settings_.serial_path.c_str(),
                             qxcore::line_setting_name(settings_).c_str(), settings_.slave, reason);
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

std::string LibModbusLink::describe() const {
  if (!settings_.serial_path.empty()) {
    return qxcore::format(_("RTU %s %s slave %d"), settings_.serial_path.c_str(),
                          qxcore::line_setting_name(settings_).c_str(), settings_.slave);
  }
  return qxcore::format(_("TCP %s:%d unit %d"), settings_.tcp_host.c_str(), settings_.tcp_port,
                        settings_.slave);
}

void LibModbusLink::record_failure(int error_number) {
  std::lock_guard<std::mutex> lock(count_mutex_);
  LinkFailure f;
  f.kind = classify_modbus_errno(error_number);
  f.error_number = error_number;
  if (f.kind == Failure::kException) f.exception_code = error_number - MODBUS_ENOBASE;
  f.text = modbus_strerror(error_number);
  f.timeout_ms = settings_.timeout_ms;
  f.tcp = settings_.serial_path.empty();
  ++counts_.failures[static_cast<std::size_t>(f.kind)];
  last_failure_ = std::move(f);
}

int LibModbusLink::exchange_locked(int slave, int start, int count, std::uint16_t* words) {
  // A raw request, so that the trace sees the very bytes on the wire;
  // libmodbus still frames it (header, CRC) and reads the reply by its length.
  const std::uint8_t request[] = {
      static_cast<std::uint8_t>(slave),      kReadHoldingRegisters,
      static_cast<std::uint8_t>(start >> 8), static_cast<std::uint8_t>(start & 0xFF),
      static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count & 0xFF)};
  const bool tcp = settings_.serial_path.empty();
  if (trace_) {
    Frame sent{std::chrono::steady_clock::now(), true, slave, {}, std::nullopt};
    if (tcp) {
      sent.bytes = {0, 0, 0, 0, 0, sizeof request};  // MBAP: transaction 0, protocol 0, length
    }
    for (const std::uint8_t byte : request) sent.bytes.push_back(byte);
    if (!tcp) {
      const std::uint16_t crc = modbus_crc(request, sizeof request);
      sent.bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
      sent.bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    }
    trace_(sent);
  }
  std::uint8_t rsp[MODBUS_MAX_ADU_LENGTH] = {};
  int length = -1;
  if (modbus_send_raw_request(ctx_, request, sizeof request) >= 0) {
    length = modbus_receive_confirmation(ctx_, rsp);
  }
  const int error_number = errno;
  const int offset = tcp ? 7 : 1;
  const int checksum = tcp ? 0 : 2;
  // libmodbus's own checks of a read's confirmation: slave, exception,
  // function and byte count.
  int result = -1;
  int failure = error_number;
  if (length == 0 || (length > 0 && rsp[offset - 1] != slave)) {
    failure = EMBBADSLAVE;  // RTU: libmodbus skips a frame of another slave unchecked
    length = reply_length(rsp, offset, checksum);
  } else if (length > 0 && tcp && (rsp[0] != 0 || rsp[1] != 0 || rsp[2] != 0 || rsp[3] != 0)) {
    failure = EMBBADDATA;  // another transaction's reply
  } else if (length > 0 && (rsp[offset] & kExceptionFlag) != 0) {
    const int code = rsp[offset + 1];
    failure = length == offset + 2 + checksum &&
                      rsp[offset] == (kReadHoldingRegisters | kExceptionFlag) &&
                      code < MODBUS_EXCEPTION_MAX
                  ? MODBUS_ENOBASE + code
                  : EMBBADEXC;
  } else if (length > 0 && (rsp[offset] != kReadHoldingRegisters || rsp[offset + 1] != 2 * count ||
                            length != offset + 2 + 2 * count + checksum)) {
    failure = EMBBADDATA;
  } else if (length > 0) {
    for (int i = 0; i < count; ++i) {
      words[i] =
          static_cast<std::uint16_t>((rsp[offset + 2 + 2 * i] << 8) | rsp[offset + 3 + 2 * i]);
    }
    result = count;
  } else if (error_number == EMBBADCRC) {
    length = reply_length(rsp, offset, checksum);
  }
  if (trace_) {
    Frame received{std::chrono::steady_clock::now(), false, slave, {}, std::nullopt};
    if (length > 0 && length <= MODBUS_MAX_ADU_LENGTH) received.bytes.assign(rsp, rsp + length);
    if (result < 0) received.failure = classify_modbus_errno(failure);
    trace_(received);
  }
  errno = failure;
  return result;
}

void LibModbusLink::read_registers(SPModbus& device, int start, int count) {
  std::vector<std::uint16_t> words(count > 0 ? static_cast<std::size_t>(count) : 1);
  int result = -1;
  int error_number = EINVAL;
  {
    std::lock_guard<std::mutex> lock(io_mutex_);
    std::string ignored;
    const auto route = routes_.find(&device);
    const int slave = route != routes_.end() ? route->second : settings_.slave;
    // A connection dropped by an earlier failure is reopened on the next request.
    if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) {
      error_number = EMBMDATA;
    } else if (connect_locked(ignored)) {
      // Late bytes of an earlier, abandoned exchange must not pass for this reply.
      modbus_flush(ctx_);
      modbus_set_slave(ctx_, slave);
      result = exchange_locked(slave, start, count, words.data());
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
  record_failure(error_number);
  deliver_error(device);
}

bool LibModbusLink::route(const SPModbus& device, int slave) {
  const bool tcp = settings_.serial_path.empty();
  if (slave < (tcp ? 0 : 1) || slave > (tcp ? kHighestTcpUnit : kHighestRtuSlave)) return false;
  std::lock_guard<std::mutex> lock(io_mutex_);
  routes_[&device] = slave;
  return true;
}

void LibModbusLink::set_trace(std::function<void(const Frame&)> trace) {
  std::lock_guard<std::mutex> lock(io_mutex_);
  trace_ = std::move(trace);
}

bool LibModbusLink::set_slave(int slave) {
  std::lock_guard<std::mutex> lock(io_mutex_);
  if (ctx_ != nullptr && modbus_set_slave(ctx_, slave) != 0) return false;
  if (ctx_ == nullptr && (slave < 0 || slave > kHighestTcpUnit)) return false;
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
