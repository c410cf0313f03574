#include "qxsim/meter_sim.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "zelfw/modbus_crc.h"

namespace qxsim {
namespace {

constexpr int kReadHoldingRegisters = 0x03;
constexpr std::uint8_t kExceptionFlag = 0x80;
constexpr int kHighestSlave = 247;
// 8N1: start bit, eight data bits, stop bit.
constexpr double kBitsPerCharacter = 10.0;
constexpr double kGapCharacters = 3.5;

/// The termios speed constant of a line speed; B0 when there is none.
speed_t speed_of(int baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the master went away; the next request will tell
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

/// One meter on the line: its id, registers, faults and counts.
struct MeterSim::Meter {
  int slave = 1;
  Profile profile;
  FaultPlan faults;
  SimStats stats;
  modbus_t* reply_ctx = nullptr;        ///< writes libmodbus's replies into capture_fds_
  modbus_mapping_t* mapping = nullptr;  ///< registers 0..40

  Meter(int id, Profile p, FaultPlan f) : slave(id), profile(std::move(p)), faults(std::move(f)) {}
  ~Meter() {
    if (reply_ctx != nullptr) modbus_free(reply_ctx);
    if (mapping != nullptr) modbus_mapping_free(mapping);
  }
  Meter(const Meter&) = delete;
  Meter& operator=(const Meter&) = delete;

  const FaultSwitch* switch_for(long request) const {
    for (const FaultSwitch& s : faults.switches) {
      if (s.request == request) return &s;
    }
    return nullptr;
  }
};

void append_crc(std::vector<std::uint8_t>& frame) {
  const std::uint16_t crc = zelfw::modbus_crc(frame.data(), frame.size());
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

MeterSim::MeterSim(SimConfig config) : config_(std::move(config)) {}

MeterSim::~MeterSim() { stop(); }

bool MeterSim::start(std::string& error) {
  char name[128] = {};
  if (::openpty(&master_fd_, &slave_fd_, name, nullptr, nullptr) != 0) {
    error = qxcore::format(_("cannot open a pseudo-terminal: %s"), std::strerror(errno));
    return false;
  }
  port_ = name;
  // Raw bytes both ways; the simulator keeps its own handle on the terminal
  // side so the line stays up between masters.
  termios tio{};
  ::tcgetattr(slave_fd_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave_fd_, TCSANOW, &tio);
  if (::pipe2(wake_fds_, O_CLOEXEC) != 0 ||
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, capture_fds_) != 0) {
    error = qxcore::format(_("cannot set up the simulator: %s"), std::strerror(errno));
    stop();
    return false;
  }
  ::fcntl(capture_fds_[1], F_SETFL, O_NONBLOCK);
  meters_.clear();
  meters_.push_back(std::make_unique<Meter>(config_.slave, config_.profile, config_.faults));
  for (const SlaveSim& more : config_.more_slaves) {
    meters_.push_back(std::make_unique<Meter>(more.slave, more.profile, more.faults));
  }
  ctx_ = modbus_new_rtu(port_.c_str(), 9600, 'N', 8, 1);
  if (ctx_ == nullptr || modbus_set_slave(ctx_, config_.slave) != 0) {
    error = qxcore::format(_("cannot set up the simulator's Modbus slave (slave id %d)"),
                           config_.slave);
    stop();
    return false;
  }
  modbus_set_socket(ctx_, master_fd_);
  for (const std::unique_ptr<Meter>& meter : meters_) {
    meter->reply_ctx = modbus_new_rtu(port_.c_str(), 9600, 'N', 8, 1);
    meter->mapping = modbus_mapping_new_start_address(0, 0, 0, 0, 0, kRegisterCount, 0, 0);
    if (meter->reply_ctx == nullptr || meter->mapping == nullptr ||
        modbus_set_slave(meter->reply_ctx, meter->slave) != 0) {
      error = qxcore::format(_("cannot set up the simulator's Modbus slave (slave id %d)"),
                             meter->slave);
      stop();
      return false;
    }
    modbus_set_socket(meter->reply_ctx, capture_fds_[0]);
    const RegisterImage first = meter->profile.image_for_round(1, meter->faults.outage);
    std::copy(first.begin(), first.end(), meter->mapping->tab_registers);
  }
  stopping_ = false;
  thread_ = std::thread([this] { serve(); });
  return true;
}

void MeterSim::stop() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_all();
  }
  if (wake_fds_[1] >= 0) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(wake_fds_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  // The contexts do not own the descriptors: free them, then close ours.
  if (ctx_ != nullptr) modbus_free(ctx_);
  ctx_ = nullptr;
  // The meters keep their counts for stats() after the line is gone.
  for (const std::unique_ptr<Meter>& meter : meters_) {
    if (meter->reply_ctx != nullptr) modbus_free(meter->reply_ctx);
    if (meter->mapping != nullptr) modbus_mapping_free(meter->mapping);
    meter->reply_ctx = nullptr;
    meter->mapping = nullptr;
  }
  close_fd(master_fd_);
  close_fd(slave_fd_);
  for (int& fd : wake_fds_) close_fd(fd);
  for (int& fd : capture_fds_) close_fd(fd);
}

SimStats MeterSim::stats() const {
  std::lock_guard<std::mutex> lock(stats_mutex_);
  SimStats total;
  for (const std::unique_ptr<Meter>& meter : meters_) {
    total.requests += meter->stats.requests;
    total.rounds += meter->stats.rounds;
    total.replies += meter->stats.replies;
    total.faults += meter->stats.faults;
  }
  return total;
}

SimStats MeterSim::stats(int slave) const {
  std::lock_guard<std::mutex> lock(stats_mutex_);
  for (const std::unique_ptr<Meter>& meter : meters_) {
    if (meter->slave == slave) return meter->stats;
  }
  return SimStats{};
}

bool MeterSim::pause_ms(double ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::duration<double, std::milli>(ms),
                         [this] { return stopping_.load(); });
}

void MeterSim::forget_other_slave() {
  // libmodbus takes the next frame after a request for another slave to be
  // that slave's reply and drops it unread. Here the simulator answers for
  // every meter on the line, and a master sweeping ids sends its next
  // request at once: a fresh context hears it, as a meter that frames by
  // silence would.
  modbus_t* fresh = modbus_new_rtu(port_.c_str(), 9600, 'N', 8, 1);
  if (fresh == nullptr || modbus_set_slave(fresh, config_.slave) != 0) {
    if (fresh != nullptr) modbus_free(fresh);
    return;
  }
  modbus_set_socket(fresh, master_fd_);
  modbus_free(ctx_);
  ctx_ = fresh;
}

bool MeterSim::line_matches() const {
  if (config_.line.baud <= 0) return true;
  termios tio{};
  if (::tcgetattr(slave_fd_, &tio) != 0) return true;
  // The pseudo-terminal driver clears PARENB and forces CS8 whatever the
  // master asks, so the data bits go unchecked and parity is read from what
  // survives: input parity checking (INPCK, which a master sets with parity)
  // and PARODD.
  const bool parity_on = (tio.c_cflag & PARENB) != 0 || (tio.c_iflag & INPCK) != 0;
  const char parity = !parity_on ? 'N' : (tio.c_cflag & PARODD) != 0 ? 'O' : 'E';
  const int stop_bits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
  return ::cfgetispeed(&tio) == speed_of(config_.line.baud) && parity == config_.line.parity &&
         stop_bits == config_.line.stop_bits;
}

void MeterSim::serve() {
  std::uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
  while (!stopping_) {
    pollfd fds[2] = {{master_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0 || stopping_) return;
    if ((fds[0].revents & POLLIN) == 0) {
      pause_ms(10);  // hang-up between masters: wait for the next one
      continue;
    }
    const int length = modbus_receive(ctx_, request);
    // At another speed or format a real meter hears only noise: no meter on
    // the line answers, whichever id the request is for.
    const bool heard = length >= 0 && line_matches();
    if (length > 0) {
      if (heard) answer(*meters_.front(), request, length);
    } else if (length == 0) {
      if (heard) answer_other(request);
      forget_other_slave();
    } else if (length < 0) {
      modbus_flush(ctx_);  // a garbled request: drop what is left of it
    }
  }
}

void MeterSim::answer_other(const std::uint8_t* request) {
  // libmodbus read the frame by its function's length before it saw the id:
  // reads and single writes are eight bytes.
  constexpr int kShortRequest = 8;
  if (request[1] < 1 || request[1] > 6) return;
  const std::uint16_t crc = zelfw::modbus_crc(request, kShortRequest - 2);
  if (request[6] != (crc & 0xFF) || request[7] != (crc >> 8)) return;
  for (const std::unique_ptr<Meter>& meter : meters_) {
    if (meter->slave == request[0]) {
      answer(*meter, request, kShortRequest);
      return;
    }
  }
}

std::vector<std::uint8_t> MeterSim::correct_reply(Meter& meter, const std::uint8_t* request,
                                                  int length) {
  std::vector<std::uint8_t> frame;
  if (modbus_reply(meter.reply_ctx, request, length, meter.mapping) <= 0) return frame;
  std::uint8_t buffer[MODBUS_RTU_MAX_ADU_LENGTH];
  for (;;) {
    const ssize_t n = ::read(capture_fds_[1], buffer, sizeof buffer);
    if (n <= 0) break;
    frame.insert(frame.end(), buffer, buffer + n);
  }
  return frame;
}

void MeterSim::answer(Meter& meter, const std::uint8_t* request, int length) {
  const int function = request[1];
  const int start = (request[2] << 8) | request[3];
  const int count = (request[4] << 8) | request[5];
  long number;
  {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    number = ++meter.stats.requests;
    if (function == kReadHoldingRegisters && start == 0) {
      ++meter.stats.rounds;
      const RegisterImage image =
          meter.profile.image_for_round(meter.stats.rounds, meter.faults.outage);
      std::copy(image.begin(), image.end(), meter.mapping->tab_registers);
    }
  }
  const FaultSwitch* fault = meter.switch_for(number);
  if (fault != nullptr) {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    ++meter.stats.faults;
  }
  std::vector<std::uint8_t> frame;
  switch (fault == nullptr ? Fault::kDelay : fault->fault) {
    case Fault::kIgnore:
      return;
    case Fault::kException:
      frame = {static_cast<std::uint8_t>(meter.slave),
               static_cast<std::uint8_t>(function | kExceptionFlag),
               static_cast<std::uint8_t>(fault->argument)};
      append_crc(frame);
      break;
    case Fault::kTruncate:
      frame = correct_reply(meter, request, length);
      if (frame.size() < 5) return;
      if (function == kReadHoldingRegisters && frame[1] == function) {
        // A well-formed frame carrying half the registers asked for.
        const int half = count / 2;
        frame.resize(3 + 2 * static_cast<std::size_t>(half));
        frame[2] = static_cast<std::uint8_t>(2 * half);
      } else {
        frame.resize(frame.size() / 2);
      }
      append_crc(frame);
      break;
    case Fault::kWrongSlave:
      frame = correct_reply(meter, request, length);
      if (frame.size() < 3) return;
      frame.resize(frame.size() - 2);
      frame[0] = static_cast<std::uint8_t>(meter.slave % kHighestSlave + 1);
      append_crc(frame);
      break;
    case Fault::kBadCrc:
      frame = correct_reply(meter, request, length);
      if (!frame.empty()) frame.back() ^= 0xFF;
      break;
    case Fault::kDelay:
      if (fault != nullptr && !pause_ms(fault->argument)) return;
      frame = correct_reply(meter, request, length);
      if (!frame.empty() && frame[1] == function) {
        std::lock_guard<std::mutex> lock(stats_mutex_);
        ++meter.stats.replies;
      }
      break;
  }
  send(frame, length);
}

void MeterSim::send(const std::vector<std::uint8_t>& frame, int request_length) {
  if (frame.empty()) return;
  if (config_.pace_baud <= 0) {
    write_all(master_fd_, frame.data(), frame.size());
    return;
  }
  // The request took its time on the wire, and its end is known only after a
  // 3.5-character silence; then each reply byte arrives one character apart.
  const double char_ms = 1000.0 * kBitsPerCharacter / config_.pace_baud;
  if (!pause_ms((request_length + kGapCharacters) * char_ms)) return;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point begin = Clock::now();
  for (std::size_t i = 0; i < frame.size(); ++i) {
    std::this_thread::sleep_until(
        begin + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double, std::milli>((i + 1) * char_ms)));
    write_all(master_fd_, &frame[i], 1);
  }
  // The line stays silent for 3.5 characters before the next frame may start.
  pause_ms(kGapCharacters * char_ms);
}

}  // namespace qxsim
