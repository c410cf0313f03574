// The framework's out-of-line operations, as our stand-in implements them:
// each one is logged with its arguments and answers with the result a test set.
#include <algorithm>
#include <cstring>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/writer.h>

#include "spdevice.h"
#include "ttime.h"
#include "vdevice.h"
#include "zelfw/standin.h"

struct ZelVDevice::Context {
  zelfw::Framework* framework = nullptr;
};

namespace zelfw {
namespace {

Framework* framework_of(const ZelVDevice& device) {
  return device.context == nullptr ? nullptr : device.context->framework;
}

long long call(const ZelVDevice& device, Call&& c, long long unattached = 1) {
  Framework* fw = framework_of(device);
  return fw == nullptr ? unattached : fw->handle(std::move(c));
}

Call make(Op op, std::vector<long long> ints = {}) {
  Call c;
  c.op = op;
  c.ints = std::move(ints);
  return c;
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
  zelfw::Call c = zelfw::make(Op::kDeviceIoControl, {code, in_len, out_len});
  c.bytes = zelfw::bytes_of(in, in_len);
  c.out_bytes = zelfw::bytes_of(out, std::min(out_len, 64));
  c.out_size_on_entry = out_size;
  return static_cast<int>(zelfw::call(*this, std::move(c), 0));
}

void ZelVDevice::Reset() { zelfw::call(*this, zelfw::make(Op::kReset)); }

bool ZelVDevice::InitV(ZelVDevice* parent, unsigned int index, const Json::Value&) {
  parent_ = parent;
  index_ = index;
  return zelfw::call(*this, zelfw::make(Op::kOther, {index})) != 0;
}

bool ZelVDevice::Init(std::weak_ptr<ZelController> controller, unsigned int index,
                      const Json::Value&) {
  controller_ = std::move(controller);
  index_ = index;
  return zelfw::call(*this, zelfw::make(Op::kOther, {index})) != 0;
}

bool ZelVDevice::InitSetting(const Json::Value& setting) {
  zelfw::Call c = zelfw::make(Op::kInitSetting);
  c.texts.push_back(Json::FastWriter().write(setting));
  return zelfw::call(*this, std::move(c)) != 0;
}

bool ZelVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

bool ZelVDevice::SendSP(int id, const unsigned char* data, unsigned int size, bool now) {
  zelfw::Call c = zelfw::make(Op::kSendSP, {id, size, now});
  c.bytes = zelfw::bytes_of(data, size);
  return zelfw::call(*this, std::move(c)) != 0;
}

bool ZelVDevice::SendDelayData(int delay) {
  return zelfw::call(*this, zelfw::make(Op::kOther, {delay})) != 0;
}

bool ZelVDevice::SendDoData(int channel, char value) {
  return zelfw::call(*this, zelfw::make(Op::kOther, {channel, value})) != 0;
}

int ZelVDevice::ReadDi(int channel) {
  return static_cast<int>(zelfw::call(*this, zelfw::make(Op::kOther, {channel}), 0));
}

float ZelVDevice::ReadAi(int channel) {
  return static_cast<float>(zelfw::call(*this, zelfw::make(Op::kOther, {channel}), 0));
}

double ZelVDevice::Get_SP_Value(unsigned int index, const std::string&) {
  return static_cast<double>(zelfw::call(*this, zelfw::make(Op::kOther, {index}), 0));
}

bool ZelVDevice::CheckAOReport(const std::string& name, float value) {
  zelfw::Call c = zelfw::make(Op::kCheckAOReport);
  c.texts.push_back(name);
  c.reals.push_back(value);
  return zelfw::call(*this, std::move(c), 0) != 0;
}

void ZelVDevice::CheckThreshold(const std::string& name, const std::string& sub,
                                const float& value, int kind) {
  zelfw::Call c = zelfw::make(Op::kCheckThreshold, {kind});
  c.texts = {name, sub};
  c.reals.push_back(value);
  zelfw::call(*this, std::move(c));
}

bool ZelVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  zelfw::Call c = zelfw::make(Op::kDoBatchCheckThreshold);
  c.rule_count = rules.size();
  return zelfw::call(*this, std::move(c), 0) != 0;
}

bool ZelVDevice::CheckThresholdBool(int kind, const std::string& id, const std::string& code,
                                    const std::string& name, const std::string& desc,
                                    bool state, unsigned short level) {
  zelfw::Call c = zelfw::make(Op::kCheckThresholdBool, {kind, state, level});
  c.texts = {id, code, name, desc};
  return zelfw::call(*this, std::move(c)) != 0;
}

bool ZelVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int size) {
  zelfw::Call c = zelfw::make(Op::kSaveDeviceHistory, {size});
  c.bytes = zelfw::bytes_of(data, size);
  return zelfw::call(*this, std::move(c)) != 0;
}

// ZelSPDevice -----------------------------------------------------------------

ZelSPDevice::ZelSPDevice() = default;
ZelSPDevice::~ZelSPDevice() = default;

void ZelSPDevice::Reset() { zelfw::call(*this, zelfw::make(Op::kReset)); }

bool ZelSPDevice::Init(std::weak_ptr<ZelController> controller, unsigned int index,
                       const Json::Value& setting) {
  return ZelVDevice::Init(std::move(controller), index, setting);
}

bool ZelSPDevice::RefreshStatus() {
  return zelfw::call(*this, zelfw::make(Op::kRefreshStatus)) != 0;
}

bool ZelSPDevice::IsProcessing() { return false; }
bool ZelSPDevice::IsStalled() { return false; }

bool ZelSPDevice::SendData(const unsigned char* data, unsigned int size) {
  zelfw::Call c = zelfw::make(Op::kOther, {size});
  c.bytes = zelfw::bytes_of(data, size);
  return zelfw::call(*this, std::move(c)) != 0;
}

bool ZelSPDevice::SendParityData(const unsigned char* data, unsigned int size,
                                 EnumParity parity) {
  zelfw::Call c = zelfw::make(Op::kOther, {size, parity});
  c.bytes = zelfw::bytes_of(data, size);
  return zelfw::call(*this, std::move(c)) != 0;
}

bool ZelSPDevice::OpenPort() { return zelfw::call(*this, zelfw::make(Op::kOpenPort)) != 0; }

void ZelSPDevice::ClosePort() { zelfw::call(*this, zelfw::make(Op::kOther)); }

// SPModbus --------------------------------------------------------------------

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

bool SPModbus::InitSetting(const Json::Value& setting) { return ZelVDevice::InitSetting(setting); }

bool SPModbus::process(unsigned char*, unsigned int) { return false; }

bool SPModbus::modbus_read_registers(int start, int count) {
  const bool result =
      zelfw::call(*this, zelfw::make(Op::kReadRegisters, {start, count})) != 0;
  // The request is logged before the link answers: a reply may arrive inside this call.
  zelfw::Framework* fw = zelfw::framework_of(*this);
  if (fw != nullptr && fw->link() != nullptr) fw->link()->read_registers(*this, start, count);
  return result;
}
