#include "qx7540pm.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/lexical_cast.hpp>

#include "alarm.h"
#include "register_map.h"

namespace {

using qx7540pm::register_offset;

constexpr unsigned kBlock1Offset = register_offset(QX7540PM_BLOCK1_START);
constexpr unsigned kBlock2Offset = register_offset(QX7540PM_BLOCK2_START);
constexpr unsigned kBlock1Bytes = sizeof(QX7540PM_Data_t::block1);
constexpr unsigned kBlock2Bytes = sizeof(QX7540PM_Data_t::block2);

// atoi, saturated to int's range: settings may hold any number.
int parse_int_saturated(const std::string& text) {
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// A phase flag as the controller writes it. A JSON number converts by its
// value, truncated toward zero and saturated (a real's text can be "1e+20",
// which atoi would read as 1); strings and booleans keep atoi's reading.
int flag_from_setting(const Json::Value& value) {
  switch (value.type()) {
    case Json::intValue: {
      const Json::LargestInt v = value.asLargestInt();
      return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
    }
    case Json::uintValue: {
      const Json::LargestUInt v = value.asLargestUInt();
      return v > static_cast<Json::LargestUInt>(INT_MAX) ? INT_MAX : static_cast<int>(v);
    }
    case Json::realValue: {
      const double v = value.asDouble();
      if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
      if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
      return static_cast<int>(v);
    }
    default:
      // Arrays and objects have no text form: asString() throws and the
      // settings call stops there, as the controller expects.
      return parse_int_saturated(value.asString());
  }
}

}  // namespace

QX7540PM::QX7540PM() {
  device_type = "qx7540pm";
  baud_rate = 9600;
  device_flag = 1;
}

QX7540PM::~QX7540PM() = default;

bool QX7540PM::InitSetting(const Json::Value& setting) {
  {
    // A round's check sees the old settings or the new ones, never a mix.
    std::lock_guard<std::mutex> state(state_mutex);
    stamp_data_id();
    // Each flag on its own: one that throws leaves those read before it applied.
    const char* const keys[] = {"has_a", "has_b", "has_c"};
    int* const flags[] = {&has_a, &has_b, &has_c};
    for (int i = 0; i < 3; ++i) {
      if (const Json::Value* value = find_app_setting(setting, keys[i])) {
        *flags[i] = flag_from_setting(*value);
      }
    }
    apply_settings(setting);
  }
  // The framework's part runs unlocked: it may call back into the device.
  return SPModbus::InitSetting(setting);
}

bool QX7540PM::RefreshStatus() {
  ZelSPDevice::RefreshStatus();
  bool claimed;
  {
    std::lock_guard<std::mutex> state(state_mutex);
    // The step is stored before the request: a reply may arrive inside the call.
    poll_step = kStepBlock1;
    restart_round(false);
    // Rounds left waiting (a publisher's framework call threw, or they were
    // completed while another thread published) are published after the request.
    claimed = claim_publication();
  }
  request_then_publish(QX7540PM_BLOCK1_START, QX7540PM_BLOCK1_COUNT, claimed);
  return true;
}

void QX7540PM::request_then_publish(int start, int count, bool claimed) {
  try {
    modbus_read_registers(start, count);
  } catch (...) {
    if (claimed) {
      std::lock_guard<std::mutex> state(state_mutex);
      drop_claim();
    }
    throw;
  }
  // Without a claim of its own the call has nothing to publish: a round its
  // own thread completed inside the read was published there.
  if (!claimed) return;
  std::unique_lock<std::mutex> state(state_mutex);
  publish_due(state);
}

bool QX7540PM::process_payload(SPModbus::tab_type /*table*/, unsigned int /*length*/) {
  std::unique_lock<std::mutex> state(state_mutex);
  unsigned char* record = reinterpret_cast<unsigned char*>(&raw_data);
  if (poll_step == kStepBlock1) {
    std::memcpy(record + kBlock1Offset, reg_buffer, kBlock1Bytes);
    rounds.store_block1();
    poll_step = kStepBlock2;
    const bool claimed = claim_publication();
    // Unlocked for the request: its reply may come on another thread while
    // the framework's call waits for it.
    state.unlock();
    request_then_publish(QX7540PM_BLOCK2_START, QX7540PM_BLOCK2_COUNT, claimed);
    return true;
  }
  if (poll_step == kStepBlock2 && rounds.takes_block2()) {
    // Storing the last block and completing the round are one step: what is
    // published is this round's two blocks, whatever comes on other threads
    // before RoundDone runs, and a control request from now on finds the
    // round queued and gives it up.
    std::memcpy(record + kBlock2Offset, reg_buffer, kBlock2Bytes);
    complete_polled_round();
    state.unlock();
    RoundDone();
    return false;
  }
  // A reply after a control request, before the first round, or a last block
  // whose first block a cache load has replaced: not ours.
  // Rounds left waiting are published all the same.
  claim_publication();
  publish_due(state);
  return true;
}

double QX7540PM::Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
  bool ready;
  boost::posix_time::ptime updated;
  {
    std::lock_guard<std::mutex> state(state_mutex);
    ready = data_ready;
    updated = last_update;
  }
  if (!ready) throw std::out_of_range("数据未就绪");
  const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
  if (updated.is_special()) throw std::out_of_range("数据已超时");
  const std::int64_t age = (now - updated).total_seconds();
  if (age > kStaleAfterSeconds) throw std::out_of_range("数据已超时");
  throw std::out_of_range("不支持变量");
}

void QX7540PM::RunCheckThreshold() {
  // The settings are read once, at the check, as one whole set; the record
  // judged is the round being published, whatever replies arrive meanwhile.
  int monitor_a, monitor_b, monitor_c, check_mode;
  {
    std::lock_guard<std::mutex> state(state_mutex);
    monitor_a = has_a;
    monitor_b = has_b;
    monitor_c = has_c;
    check_mode = mode;
  }
  if (check_mode != kAlarmCheckMode) return;
  // Kept for the controller's alarm configuration: the phase voltages are
  // divided by 100 here, not by 10 as in the snapshot, so the text shows a
  // tenth of the snapshot's voltage and 120 applies to register / 100.
  using namespace qx7540pm;
  const auto phase = [this](int i) {
    return static_cast<float>(record_word(published_data, kAlarmPhases[i]->offset)) / kAlarmDivisor;
  };
  const float ua = phase(0), ub = phase(1), uc = phase(2);
  const std::string description =
      std::string(kAlarmName) + " UA:" + boost::lexical_cast<std::string>(ua) +
      " UB:" + boost::lexical_cast<std::string>(ub) + " UC:" + boost::lexical_cast<std::string>(uc);
  // The first monitored phase below the threshold decides.
  const bool interrupted = (monitor_a != 0 && ua < kInterruptionThreshold) ||
                           (monitor_b != 0 && ub < kInterruptionThreshold) ||
                           (monitor_c != 0 && uc < kInterruptionThreshold);
  CheckThresholdBool(kAlarmKind, kAlarmId, kAlarmCode, kAlarmName, description, interrupted,
                     kAlarmLevel);
}
