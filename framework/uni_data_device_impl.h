// Out-of-class definitions of UniDataDevice; included by uni_data_device.h only.
#pragma once

#include <cstring>
#include <iostream>
#include <mutex>

#include <boost/date_time/posix_time/posix_time_types.hpp>

template <typename DataT, typename Protocol, int DATA_ID>
void UniDataDevice<DataT, Protocol, DATA_ID>::stamp_data_id() {
  const std::int32_t id = this->DataId();
  std::memcpy(reinterpret_cast<unsigned char*>(&raw_data), &id, sizeof id);
}

template <typename DataT, typename Protocol, int DATA_ID>
bool UniDataDevice<DataT, Protocol, DATA_ID>::read_app_setting(const Json::Value& setting,
                                                               const char* key, std::string& text) {
  // A settings root that is not an object holds no appSetting (jsoncpp would
  // throw on a member lookup in an array or a scalar).
  if (!setting.isObject()) return false;
  const Json::Value& app = setting["appSetting"];
  if (app == Json::Value::nullSingleton() || app.type() != Json::objectValue) return false;
  const Json::Value& value = app[key];
  if (value == Json::Value::nullSingleton()) return false;
  // Arrays and objects have no text form: asString() throws and the caller's
  // InitSetting stops there, as the controller expects.
  text = value.asString();
  return true;
}

template <typename DataT, typename Protocol, int DATA_ID>
bool UniDataDevice<DataT, Protocol, DATA_ID>::InitSetting(const Json::Value& setting) {
  stamp_data_id();
  std::string text;
  if (read_app_setting(setting, "b_mode", text)) {
    // atof, truncated toward zero; saturated to int so that no value is undefined.
    const double parsed = std::atof(text.c_str());
    if (parsed != parsed) {
      mode = 0;
    } else if (parsed >= 2147483647.0) {
      mode = 2147483647;
    } else if (parsed <= -2147483648.0) {
      mode = -2147483647 - 1;
    } else {
      mode = static_cast<int>(parsed);
    }
  }
  return Protocol::InitSetting(setting);
}

template <typename DataT, typename Protocol, int DATA_ID>
void UniDataDevice<DataT, Protocol, DATA_ID>::RoundDone() {
  // One clock reading stamps both last_update and the record. The framework is
  // called outside the lock: it may call back into the device.
  const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
  const ttime_t stamp = get_ttime(now);
  {
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    if (!this->data_ready) this->data_ready = true;
    this->last_update = now;
    std::memcpy(reinterpret_cast<unsigned char*>(&raw_data) + kStampOffset, &stamp, sizeof stamp);
    completed_data = raw_data;
  }
  const auto* record = reinterpret_cast<const unsigned char*>(&raw_data);

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
  std::cout << "rvSize is " << this->rule_values.size() << std::endl;
  if (this->DoBatchCheckThreshold(this->rule_values)) this->report_flag = true;

  this->SaveDeviceHistory(record, kRecordSize);
  this->rule_values.clear();
}

template <typename DataT, typename Protocol, int DATA_ID>
int UniDataDevice<DataT, Protocol, DATA_ID>::LoadFromCache(const unsigned char* data, int size) {
  if (data == nullptr || size != static_cast<int>(kRecordSize)) return 0;
  {
    std::lock_guard<std::mutex> lock(snapshot_mutex);
    // memmove: a caller may hand back the device's own record.
    std::memmove(&raw_data, data, kRecordSize);
  }
  // RoundDone marks the data ready in the same locked step that sets its
  // time, so a query on another thread never sees ready data without a time.
  this->RoundDone();
  return 1;
}
