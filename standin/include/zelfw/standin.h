// Our stand-in for the controller's closed device framework: it implements the
// framework's out-of-line operations so that the plug-in loads and runs here,
// records every call a device makes into it, and lets tests, benchmarks and
// the bench host steer each call's result and deliver Modbus replies.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "spdevice.h"
#include "vdevice.h"

namespace zelfw {

/// Framework operations a device can call.
enum class Op : std::uint8_t {
  kInitSetting,            ///< SPModbus::InitSetting
  kReadRegisters,          ///< SPModbus::modbus_read_registers
  kSendSP,                 ///< ZelVDevice::SendSP
  kReset,                  ///< ZelSPDevice::Reset
  kSaveDeviceHistory,      ///< ZelVDevice::SaveDeviceHistory
  kCheckAOReport,          ///< ZelVDevice::CheckAOReport
  kCheckThreshold,         ///< ZelVDevice::CheckThreshold
  kDoBatchCheckThreshold,  ///< ZelVDevice::DoBatchCheckThreshold
  kCheckThresholdBool,     ///< ZelVDevice::CheckThresholdBool
  kOpenPort,               ///< ZelSPDevice::OpenPort
  kDeviceIoControl,        ///< ZelVDevice::DeviceIoControl
  kRefreshStatus,          ///< ZelSPDevice::RefreshStatus
  kVDeviceReset,           ///< ZelVDevice::Reset (a device should reach ZelSPDevice's)
  kVDeviceInitSetting,     ///< ZelVDevice::InitSetting (a device should reach SPModbus's)
  kInitV,                  ///< ZelVDevice::InitV
  kInit,                   ///< ZelVDevice::Init (through ZelSPDevice::Init)
  kSendDelayData,          ///< ZelVDevice::SendDelayData
  kSendDoData,             ///< ZelVDevice::SendDoData
  kReadDi,                 ///< ZelVDevice::ReadDi
  kReadAi,                 ///< ZelVDevice::ReadAi
  kGetSPValue,             ///< ZelVDevice::Get_SP_Value
  kSendData,               ///< ZelSPDevice::SendData
  kSendParityData,         ///< ZelSPDevice::SendParityData
  kClosePort,              ///< ZelSPDevice::ClosePort
  kCount
};

/// Where a framework call stands when its hook runs: about to do its work, or done.
enum class Phase : std::uint8_t { kEntry, kReturn };

/// The operation's C++ name, as it appears in call logs.
const char* op_name(Op op);

/// One call into the framework, with its arguments in order.
struct Call {
  Op op = Op::kCount;                ///< kCount: not set
  std::vector<long long> ints;       ///< integer and bool arguments
  std::vector<double> reals;         ///< float arguments
  std::vector<std::string> texts;    ///< string arguments (settings: their JSON text)
  std::vector<unsigned char> bytes;  ///< the buffer passed (record, request body)
  /// DeviceIoControl only: the first bytes of the reply buffer, and out_size, on entry.
  std::vector<unsigned char> out_bytes;
  int out_size_on_entry = 0;
  /// DoBatchCheckThreshold only: the number of rules passed.
  std::size_t rule_count = 0;
};

/// Where a device's Modbus requests go. An implementation answers each request
/// with deliver_reply or deliver_error, at once or later, on any thread.
class ModbusLink {
 public:
  virtual ~ModbusLink() = default;
  virtual void read_registers(SPModbus& device, int start, int count) = 0;
};

/// Copies a checked reply into the device's reg_buffer (at most 125 words) and
/// hands it to the device's process_payload. Returns what the device returned.
bool deliver_reply(SPModbus& device, const std::uint16_t* words, int count,
                   SPModbus::tab_type table = SPModbus::TAB_HOLDING);
/// Reports a failed exchange to the device (its on_error).
bool deliver_error(SPModbus& device);

/// The framework's side of one or more devices: call log, results, link.
/// Thread-safe: devices may call in from several threads at once.
class Framework {
 public:
  Framework();
  ~Framework();
  Framework(const Framework&) = delete;
  Framework& operator=(const Framework&) = delete;

  /// Routes the device's framework calls here until detach (or destruction).
  void attach(ZelVDevice& device);
  static void detach(ZelVDevice& device);

  /// Off: no call is logged and no observer runs; results still apply. The
  /// framework's operations then build no Call at all, so a device costs the
  /// stand-in one locked result lookup per call.
  void set_recording(bool on);
  bool recording() const { return recording_.load(std::memory_order_acquire); }
  std::vector<Call> calls() const;
  void clear_calls();
  /// Calls of one operation, in order.
  std::vector<Call> calls_of(Op op) const;

  /// Result of every later call of op (bool results: nonzero is true).
  void set_result(Op op, long long value);
  /// Results of the next calls of op, one per call, before the default applies.
  void queue_results(Op op, std::vector<long long> values);

  /// Runs after each logged call, outside the framework's lock.
  void set_observer(std::function<void(const Call&)> observer);

  /// Runs on the calling thread at the entry to and the return from each
  /// framework operation a device calls (get_ttime, a pure conversion, has
  /// none), outside the framework's locks, logged or not. A hook that throws
  /// at entry makes that call throw having done nothing. Set it before any
  /// device calls in; an empty function removes it.
  void set_call_hook(std::function<void(Op, Phase)> hook);
  void run_call_hook(Op op, Phase phase) const {
    if (has_call_hook_.load(std::memory_order_acquire)) call_hook_(op, phase);
  }

  /// A controller with locks of its own: while on, the round services
  /// (SendSP, Reset, CheckThresholdBool, CheckAOReport, CheckThreshold,
  /// DoBatchCheckThreshold, SaveDeviceHistory) run holding service_lock(), as
  /// a framework guarding its data bus or device table would. Tests hold the
  /// same lock on controller threads around their calls into the device.
  void set_service_locking(bool on) { service_locking_.store(on, std::memory_order_release); }
  bool service_locking() const { return service_locking_.load(std::memory_order_acquire); }
  std::recursive_mutex& service_lock() { return service_lock_; }

  /// Modbus requests go to the link; with none they are only logged.
  void set_link(ModbusLink* link);

  /// What the framework's DeviceIoControl writes from now on: these bytes into
  /// the caller's buffer (as many as out_len allows) and this out_size.
  void set_control_reply(std::vector<unsigned char> bytes, int out_size);
  /// The reply set by set_control_reply; false while none is set.
  bool control_reply(std::vector<unsigned char>& bytes, int& out_size) const;

  // Used by the framework's operations.
  /// Takes the call's result and, when recording, logs it and runs the observer.
  long long handle(Call&& call);
  /// Takes the result of one call of op without logging anything.
  long long next_result(Op op);
  ModbusLink* link() const { return link_.load(std::memory_order_acquire); }

 private:
  struct Results {
    long long fallback = 1;
    std::deque<long long> queued;
  };
  /// Takes a queued result or the fallback.
  static long long pop_result_locked(Results& results);

  mutable std::mutex mutex_;
  std::atomic<bool> recording_{true};
  std::atomic<bool> service_locking_{false};
  std::recursive_mutex service_lock_;
  std::vector<Call> calls_;
  std::array<Results, static_cast<std::size_t>(Op::kCount)> results_;  // guarded by mutex_
  std::function<void(const Call&)> observer_;
  std::atomic<bool> has_call_hook_{false};
  std::function<void(Op, Phase)> call_hook_;
  std::atomic<ModbusLink*> link_{nullptr};
  bool has_control_reply_ = false;  // guarded by mutex_
  std::vector<unsigned char> control_reply_bytes_;
  int control_reply_size_ = 0;
};

/// A link that answers every read at once from a register image: a meter that
/// always answers. Fails the reads whose numbers (from 1, as the simulated
/// meter counts requests) are listed.
class ImageLink : public ModbusLink {
 public:
  ImageLink();
  void read_registers(SPModbus& device, int start, int count) override;
  std::vector<std::uint16_t>& registers() { return registers_; }
  void fail_reads(std::vector<long long> read_numbers);
  long long reads() const { return reads_; }

 private:
  std::vector<std::uint16_t> registers_;
  std::vector<long long> failing_;
  long long reads_ = 0;
};

}  // namespace zelfw
