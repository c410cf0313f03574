// The framework's out-of-line operations, as our stand-in implements them:
// each one is logged with its arguments and answers with the result a test set.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <utility>

#include <json/writer.h>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "spdevice.h"
#include "ttime.h"
#include "vdevice.h"
#include "zelfw/standin.h"

struct ZelVDevice::Context {
  zelfw::Framework* framework = nullptr;
};

namespace zelfw {
namespace {

// Settings as the call log keeps them: compact JSON text, as the controller
// writes them. FastWriter is what the controller's own jsoncpp offers; newer
// releases deprecate it.
std::string compact_text(const Json::Value& value) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Json::FastWriter writer;
#pragma GCC diagnostic pop
  return writer.write(value);
}

Framework* framework_of(const ZelVDevice& device) {
  return device.context == nullptr ? nullptr : device.context->framework;
}

// Every framework operation goes through here. With recording off the call
// costs one result lookup: the Call, with its copies of texts and bytes, is
// built by fill only when it will be logged.
bool is_round_service(Op op) {
  switch (op) {
    case Op::kSendSP:
    case Op::kReset:
    case Op::kCheckThresholdBool:
    case Op::kCheckAOReport:
    case Op::kCheckThreshold:
    case Op::kDoBatchCheckThreshold:
    case Op::kSaveDeviceHistory:
      return true;
    default:
      return false;
  }
}

template <typename Fill>
long long serve(Framework* fw, Op op, Fill&& fill) {
  // The controller's own lock, taken inside its round services: the observer
  // (a test's stand-in for what the framework does there) runs under it too.
  std::unique_lock<std::recursive_mutex> service;
  if (fw->service_locking() && is_round_service(op)) {
    service = std::unique_lock<std::recursive_mutex>(fw->service_lock());
  }
  if (!fw->recording()) return fw->next_result(op);
  Call c;
  c.op = op;
  fill(c);
  return fw->handle(std::move(c));
}

template <typename Fill>
long long call_with(const ZelVDevice& device, Op op, long long unattached, Fill&& fill) {
  Framework* fw = framework_of(device);
  if (fw == nullptr) return unattached;
  fw->run_call_hook(op, Phase::kEntry);
  const long long result = serve(fw, op, std::forward<Fill>(fill));
  fw->run_call_hook(op, Phase::kReturn);
  return result;
}

long long call(const ZelVDevice& device, Op op, std::initializer_list<long long> ints = {},
               long long unattached = 1) {
  return call_with(device, op, unattached, [ints](Call& c) { c.ints.assign(ints); });
}

std::vector<unsigned char> bytes_of(const void* data, long long size) {
  if (data == nullptr || size <= 0) return {};
  const auto* p = static_cast<const unsigned char*>(data);
  return std::vector<unsigned char>(p, p + size);
}

}  // namespace

// Framework-side attachment lives here: the context is the framework's private state.
void attach_context(ZelVDevice& device, Framework* framework) {
  if (device.context == nullptr) device.context = new ZelVDevice::Context();
  device.context->framework = framework;
}

void detach_context(ZelVDevice& device) {
  delete device.context;
  device.context = nullptr;
}

}  // namespace zelfw

using zelfw::Op;

ttime_t get_ttime(boost::posix_time::ptime t) {
  ttime_t out{};
  if (t.is_special()) return out;
  const auto date = t.date();
  const auto time = t.time_of_day();
  out.year = static_cast<std::uint16_t>(date.year());
  out.month = static_cast<std::uint8_t>(date.month().as_number());
  out.day = static_cast<std::uint8_t>(date.day());
  out.hour = static_cast<std::uint8_t>(time.hours());
  out.minute = static_cast<std::uint8_t>(time.minutes());
  out.second = static_cast<std::uint8_t>(time.seconds());
  return out;
}

// ZelVDevice ------------------------------------------------------------------

ZelVDevice::ZelVDevice() = default;

ZelVDevice::~ZelVDevice() { zelfw::detach_context(*this); }

int ZelVDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_size) {
  const int result =
      static_cast<int>(zelfw::call_with(*this, Op::kDeviceIoControl, 0, [&](zelfw::Call& c) {
        c.ints = {code, in_len, out_len};
        c.bytes = zelfw::bytes_of(in, in_len);
        c.out_bytes = zelfw::bytes_of(out, std::min(out_len, 64));
        c.out_size_on_entry = out_size;
      }));
  // A reply set by a test shows whether the device passed the caller's own
  // buffer and out_size through.
  std::vector<unsigned char> reply;
  int reply_size = 0;
  zelfw::Framework* fw = zelfw::framework_of(*this);
  if (fw != nullptr && fw->control_reply(reply, reply_size)) {
    const std::size_t room = out == nullptr || out_len < 0 ? 0 : static_cast<std::size_t>(out_len);
    if (!reply.empty() && room > 0) std::memcpy(out, reply.data(), std::min(room, reply.size()));
    out_size = reply_size;
  }
  return result;
}

void ZelVDevice::Reset() { zelfw::call(*this, Op::kVDeviceReset); }

bool ZelVDevice::InitV(ZelVDevice* parent, unsigned int index, const Json::Value&) {
  parent_ = parent;
  index_ = index;
  return zelfw::call(*this, Op::kInitV, {index}) != 0;
}

bool ZelVDevice::Init(std::weak_ptr<ZelController> controller, unsigned int index,
                      const Json::Value&) {
  controller_ = std::move(controller);
  index_ = index;
  return zelfw::call(*this, Op::kInit, {index}) != 0;
}

bool ZelVDevice::InitSetting(const Json::Value& setting) {
  return zelfw::call_with(*this, Op::kVDeviceInitSetting, 1, [&](zelfw::Call& c) {
           c.texts.push_back(zelfw::compact_text(setting));
         }) != 0;
}

bool ZelVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

bool ZelVDevice::SendSP(int id, const unsigned char* data, unsigned int size, bool now) {
  return zelfw::call_with(*this, Op::kSendSP, 1, [&](zelfw::Call& c) {
           c.ints = {id, size, now};
           c.bytes = zelfw::bytes_of(data, size);
         }) != 0;
}

bool ZelVDevice::SendDelayData(int delay) {
  return zelfw::call(*this, Op::kSendDelayData, {delay}) != 0;
}

bool ZelVDevice::SendDoData(int channel, char value) {
  return zelfw::call(*this, Op::kSendDoData, {channel, value}) != 0;
}

int ZelVDevice::ReadDi(int channel) {
  return static_cast<int>(zelfw::call(*this, Op::kReadDi, {channel}, 0));
}

float ZelVDevice::ReadAi(int channel) {
  return static_cast<float>(zelfw::call(*this, Op::kReadAi, {channel}, 0));
}

double ZelVDevice::Get_SP_Value(unsigned int index, const std::string&) {
  return static_cast<double>(zelfw::call(*this, Op::kGetSPValue, {index}, 0));
}

bool ZelVDevice::CheckAOReport(const std::string& name, float value) {
  return zelfw::call_with(*this, Op::kCheckAOReport, 0, [&](zelfw::Call& c) {
           c.texts.push_back(name);
           c.reals.push_back(value);
         }) != 0;
}

void ZelVDevice::CheckThreshold(const std::string& name, const std::string& sub, const float& value,
                                int kind) {
  zelfw::call_with(*this, Op::kCheckThreshold, 1, [&](zelfw::Call& c) {
    c.ints = {kind};
    c.texts = {name, sub};
    c.reals.push_back(value);
  });
}

bool ZelVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  return zelfw::call_with(*this, Op::kDoBatchCheckThreshold, 0,
                          [&](zelfw::Call& c) { c.rule_count = rules.size(); }) != 0;
}

bool ZelVDevice::CheckThresholdBool(int kind, const std::string& id, const std::string& code,
                                    const std::string& name, const std::string& desc, bool state,
                                    unsigned short level) {
  return zelfw::call_with(*this, Op::kCheckThresholdBool, 1, [&](zelfw::Call& c) {
           c.ints = {kind, state, level};
           c.texts = {id, code, name, desc};
         }) != 0;
}

bool ZelVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int size) {
  return zelfw::call_with(*this, Op::kSaveDeviceHistory, 1, [&](zelfw::Call& c) {
           c.ints = {size};
           c.bytes = zelfw::bytes_of(data, size);
         }) != 0;
}

// ZelSPDevice -----------------------------------------------------------------

ZelSPDevice::ZelSPDevice() = default;
ZelSPDevice::~ZelSPDevice() = default;

void ZelSPDevice::Reset() { zelfw::call(*this, Op::kReset); }

bool ZelSPDevice::Init(std::weak_ptr<ZelController> controller, unsigned int index,
                       const Json::Value& setting) {
  return ZelVDevice::Init(std::move(controller), index, setting);
}

bool ZelSPDevice::RefreshStatus() { return zelfw::call(*this, Op::kRefreshStatus) != 0; }

bool ZelSPDevice::IsProcessing() { return false; }
bool ZelSPDevice::IsStalled() { return false; }

bool ZelSPDevice::SendData(const unsigned char* data, unsigned int size) {
  return zelfw::call_with(*this, Op::kSendData, 1, [&](zelfw::Call& c) {
           c.ints = {size};
           c.bytes = zelfw::bytes_of(data, size);
         }) != 0;
}

bool ZelSPDevice::SendParityData(const unsigned char* data, unsigned int size, EnumParity parity) {
  return zelfw::call_with(*this, Op::kSendParityData, 1, [&](zelfw::Call& c) {
           c.ints = {size, parity};
           c.bytes = zelfw::bytes_of(data, size);
         }) != 0;
}

bool ZelSPDevice::OpenPort() { return zelfw::call(*this, Op::kOpenPort) != 0; }

void ZelSPDevice::ClosePort() { zelfw::call(*this, Op::kClosePort); }

// SPModbus --------------------------------------------------------------------

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

bool SPModbus::InitSetting(const Json::Value& setting) {
  return zelfw::call_with(*this, Op::kInitSetting, 1, [&](zelfw::Call& c) {
           c.texts.push_back(zelfw::compact_text(setting));
         }) != 0;
}

bool SPModbus::process(unsigned char*, unsigned int) { return false; }

bool SPModbus::modbus_read_registers(int start, int count) {
  const bool result = zelfw::call(*this, Op::kReadRegisters, {start, count}) != 0;
  // The request is logged before the link answers: a reply may arrive inside this call.
  zelfw::Framework* fw = zelfw::framework_of(*this);
  if (fw != nullptr) {
    if (zelfw::ModbusLink* link = fw->link()) link->read_registers(*this, start, count);
  }
  return result;
}
