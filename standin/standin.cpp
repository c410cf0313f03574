// The stand-in's steering side: call log, results, links and reply delivery.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "zelfw/standin.h"

namespace zelfw {

void attach_context(ZelVDevice& device, Framework* framework);
void detach_context(ZelVDevice& device);

const char* op_name(Op op) {
  switch (op) {
    case Op::kInitSetting:
      return "InitSetting";
    case Op::kReadRegisters:
      return "modbus_read_registers";
    case Op::kSendSP:
      return "SendSP";
    case Op::kReset:
      return "Reset";
    case Op::kSaveDeviceHistory:
      return "SaveDeviceHistory";
    case Op::kCheckAOReport:
      return "CheckAOReport";
    case Op::kCheckThreshold:
      return "CheckThreshold";
    case Op::kDoBatchCheckThreshold:
      return "DoBatchCheckThreshold";
    case Op::kCheckThresholdBool:
      return "CheckThresholdBool";
    case Op::kOpenPort:
      return "OpenPort";
    case Op::kDeviceIoControl:
      return "DeviceIoControl";
    case Op::kRefreshStatus:
      return "RefreshStatus";
    case Op::kVDeviceReset:
      return "ZelVDevice::Reset";
    case Op::kVDeviceInitSetting:
      return "ZelVDevice::InitSetting";
    case Op::kInitV:
      return "InitV";
    case Op::kInit:
      return "Init";
    case Op::kSendDelayData:
      return "SendDelayData";
    case Op::kSendDoData:
      return "SendDoData";
    case Op::kReadDi:
      return "ReadDi";
    case Op::kReadAi:
      return "ReadAi";
    case Op::kGetSPValue:
      return "Get_SP_Value";
    case Op::kSendData:
      return "SendData";
    case Op::kSendParityData:
      return "SendParityData";
    case Op::kClosePort:
      return "ClosePort";
    case Op::kCount:
      break;
  }
  return "?";
}

bool deliver_reply(SPModbus& device, const std::uint16_t* words, int count,
                   SPModbus::tab_type table) {
  const int n = std::max(0, std::min(count, MODBUS_MAX_READ_REGISTERS));
  if (n > 0 && words != nullptr) std::memcpy(device.reg_buffer, words, n * sizeof *words);
  return device.process_payload(table, static_cast<unsigned int>(n));
}

bool deliver_error(SPModbus& device) { return device.on_error(); }

Framework::Framework() {
  // Checks report nothing unless a test says so; everything else succeeds.
  for (Op op : {Op::kCheckAOReport, Op::kDoBatchCheckThreshold, Op::kDeviceIoControl}) {
    results_[static_cast<std::size_t>(op)].fallback = 0;
  }
}

Framework::~Framework() = default;

void Framework::attach(ZelVDevice& device) { attach_context(device, this); }

void Framework::detach(ZelVDevice& device) { detach_context(device); }

void Framework::set_recording(bool on) { recording_.store(on, std::memory_order_release); }

std::vector<Call> Framework::calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void Framework::clear_calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

std::vector<Call> Framework::calls_of(Op op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Call> out;
  for (const Call& c : calls_) {
    if (c.op == op) out.push_back(c);
  }
  return out;
}

void Framework::set_result(Op op, long long value) {
  std::lock_guard<std::mutex> lock(mutex_);
  results_[static_cast<std::size_t>(op)].fallback = value;
}

void Framework::queue_results(Op op, std::vector<long long> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  Results& r = results_[static_cast<std::size_t>(op)];
  r.queued.insert(r.queued.end(), values.begin(), values.end());
}

void Framework::set_observer(std::function<void(const Call&)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void Framework::set_call_hook(std::function<void(Op, Phase)> hook) {
  has_call_hook_.store(false, std::memory_order_release);
  call_hook_ = std::move(hook);
  if (call_hook_) has_call_hook_.store(true, std::memory_order_release);
}

void Framework::set_link(ModbusLink* link) { link_.store(link, std::memory_order_release); }

void Framework::set_control_reply(std::vector<unsigned char> bytes, int out_size) {
  std::lock_guard<std::mutex> lock(mutex_);
  has_control_reply_ = true;
  control_reply_bytes_ = std::move(bytes);
  control_reply_size_ = out_size;
}

bool Framework::control_reply(std::vector<unsigned char>& bytes, int& out_size) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!has_control_reply_) return false;
  bytes = control_reply_bytes_;
  out_size = control_reply_size_;
  return true;
}

long long Framework::pop_result_locked(Results& r) {
  if (r.queued.empty()) return r.fallback;
  const long long result = r.queued.front();
  r.queued.pop_front();
  return result;
}

long long Framework::next_result(Op op) {
  std::lock_guard<std::mutex> lock(mutex_);
  return pop_result_locked(results_[static_cast<std::size_t>(op)]);
}

long long Framework::handle(Call&& call) {
  long long result;
  std::function<void(const Call&)> observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    result = pop_result_locked(results_[static_cast<std::size_t>(call.op)]);
    if (!recording()) return result;
    observer = observer_;
    calls_.push_back(call);
  }
  if (observer) observer(call);
  return result;
}

ImageLink::ImageLink() : registers_(65536, 0) {}

void ImageLink::fail_reads(std::vector<long long> read_numbers) {
  failing_ = std::move(read_numbers);
}

void ImageLink::read_registers(SPModbus& device, int start, int count) {
  const long long number = ++reads_;
  if (std::find(failing_.begin(), failing_.end(), number) != failing_.end() || start < 0 ||
      count < 0 || start + count > static_cast<int>(registers_.size())) {
    deliver_error(device);
    return;
  }
  deliver_reply(device, registers_.data() + start, count);
}

}  // namespace zelfw
