// Out-of-class definitions of UniDataDevice; included by uni_data_device.h only.
#pragma once

#include <climits>
#include <cstring>
#include <iostream>
#include <mutex>

#include <boost/date_time/posix_time/posix_time_types.hpp>

template <typename DataT, typename Protocol, int DATA_ID>
void UniDataDevice<DataT, Protocol, DATA_ID>::stamp_data_id() {
  const std::int32_t id = this->DataId();
  std::memcpy(reinterpret_cast<unsigned char*>(&raw_data), &id, sizeof id);
}

// The helpers are inline so that they stay out of the plug-in's symbol table.
template <typename DataT, typename Protocol, int DATA_ID>
inline const Json::Value* UniDataDevice<DataT, Protocol, DATA_ID>::find_app_setting(
    const Json::Value& setting, const char* key) {
  // A settings root that is not an object holds no appSetting (jsoncpp would
  // throw on a member lookup in an array or a scalar).
  if (!setting.isObject()) return nullptr;
  const Json::Value& app = setting["appSetting"];
  if (app == Json::Value::nullSingleton() || app.type() != Json::objectValue) return nullptr;
  const Json::Value& value = app[key];
  if (value == Json::Value::nullSingleton()) return nullptr;
  return &value;
}

template <typename DataT, typename Protocol, int DATA_ID>
inline void UniDataDevice<DataT, Protocol, DATA_ID>::apply_settings(const Json::Value& setting) {
  stamp_data_id();
  if (const Json::Value* value = find_app_setting(setting, "b_mode")) {
    // asString() throws for arrays and objects, and the settings call stops
    // there, as the controller expects. atof, truncated toward zero; saturated
    // to int so that no value is undefined.
    const double parsed = std::atof(value->asString().c_str());
    if (parsed != parsed) {
      mode = 0;
    } else if (parsed >= static_cast<double>(INT_MAX)) {
      mode = INT_MAX;
    } else if (parsed <= static_cast<double>(INT_MIN)) {
      mode = INT_MIN;
    } else {
      mode = static_cast<int>(parsed);
    }
  }
}

template <typename DataT, typename Protocol, int DATA_ID>
bool UniDataDevice<DataT, Protocol, DATA_ID>::InitSetting(const Json::Value& setting) {
  {
    std::lock_guard<std::recursive_mutex> round(round_mutex);
    apply_settings(setting);
  }
  // The framework's part runs unlocked: it may call back into the device.
  return Protocol::InitSetting(setting);
}

template <typename DataT, typename Protocol, int DATA_ID>
void UniDataDevice<DataT, Protocol, DATA_ID>::RoundDone() {
  std::lock_guard<std::recursive_mutex> round(round_mutex);
  if (round_running) {
    // Called back from inside this round (a cache load from a framework
    // callback, say): runs once this round is done, never inside it.
    round_pending = true;
    return;
  }
  struct Running {
    UniDataDevice& device;
    explicit Running(UniDataDevice& d) : device(d) { device.round_running = true; }
    ~Running() { device.round_running = device.round_pending = false; }
  } running(*this);
  do {
    round_pending = false;
    complete_round();
  } while (round_pending);
}

template <typename DataT, typename Protocol, int DATA_ID>
inline void UniDataDevice<DataT, Protocol, DATA_ID>::complete_round() {
  // Time, stamp, ready flag and the completed copy become visible to queries
  // together. get_ttime is a pure conversion and takes no device.
  {
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    // Kept as the controller's own round does it: set only when not yet set.
    if (!this->data_ready) this->data_ready = true;
    this->last_update = boost::posix_time::second_clock::local_time();
    const ttime_t stamp = get_ttime(this->last_update);
    std::memcpy(reinterpret_cast<unsigned char*>(&raw_data) + kStampOffset, &stamp, sizeof stamp);
    completed_data = raw_data;
  }
  // Published and stored from the completed copy: only this round writes it,
  // so whatever a callback does to raw_data, both see the same bytes.
  const auto* record = reinterpret_cast<const unsigned char*>(&completed_data);

  this->ZelVDevice::SendSP(DATA_ID, record, kRecordSize, false);
  this->Reset();
  this->status_word = 1;
  this->report_flag = false;
  this->RunCheckThreshold();

  for (auto it = this->ao_names.begin(), end = this->ao_names.end(); it != end; ++it) {
    const std::string name = *it;
    const auto found = this->ao_values.find(name);
    if (found == this->ao_values.end()) continue;
    if (this->CheckAOReport(name, found->second)) this->report_flag = true;
    this->CheckThreshold(name, "", found->second, 1);
  }
  // The second line a device writes to standard output, kept as the
  // controller's own devices write it.
  std::cout << "rvSize is " << this->rule_values.size() << std::endl;
  if (this->DoBatchCheckThreshold(this->rule_values)) this->report_flag = true;

  this->SaveDeviceHistory(record, kRecordSize);
  this->rule_values.clear();
}

template <typename DataT, typename Protocol, int DATA_ID>
int UniDataDevice<DataT, Protocol, DATA_ID>::LoadFromCache(const unsigned char* data, int size) {
  if (data == nullptr || size != static_cast<int>(kRecordSize)) return 0;
  std::lock_guard<std::recursive_mutex> round(round_mutex);
  // memmove: a caller may hand back the device's own record.
  std::memmove(&raw_data, data, kRecordSize);
  ++cache_loads;
  // RoundDone marks the data ready in the same locked step that sets its
  // time, so a query on another thread never sees ready data without a time.
  this->RoundDone();
  return 1;
}
