// Out-of-class definitions of UniDataDevice; included by uni_data_device.h only.
#pragma once

#include <climits>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    std::lock_guard<std::mutex> state(state_mutex);
    apply_settings(setting);
  }
  // The framework's part runs unlocked: it may call back into the device.
  return Protocol::InitSetting(setting);
}

template <typename DataT, typename Protocol, int DATA_ID>
void UniDataDevice<DataT, Protocol, DATA_ID>::RoundDone() {
  // Publishes under the role that the completion before it took, if it took
  // one; the rounds of a completion that found the role held elsewhere wait
  // for that publisher or the next call.
  std::unique_lock<std::mutex> state(state_mutex);
  publish_due(state);
}

template <typename DataT, typename Protocol, int DATA_ID>
int UniDataDevice<DataT, Protocol, DATA_ID>::LoadFromCache(const unsigned char* data, int size) {
  if (data == nullptr || size != static_cast<int>(kRecordSize)) return 0;
  // Copied before anything is locked: a caller may hand back one of the
  // device's own records.
  DataT cached;
  std::memcpy(&cached, data, kRecordSize);
  {
    std::lock_guard<std::mutex> state(state_mutex);
    if (!rounds.has_place(true)) {
      ++refused_cache_loads;
      return 0;
    }
    const unsigned waiting = rounds.waiting();
    if (rounds.awaits_block2()) {
      // raw_data holds a polled round's first block: that round completes with
      // its own blocks, and the cached record is published as a round of its own.
      complete_record(cached, true);
    } else {
      // The record is the cache's now: a late second block of the last polled
      // round has no first block left to go with.
      raw_data = cached;
      rounds.restart();
      complete_record(raw_data, true);
    }
    rounds.claim(std::this_thread::get_id(), waiting, 1);
  }
  RoundDone();
  return 1;
}

template <typename DataT, typename Protocol, int DATA_ID>
inline void UniDataDevice<DataT, Protocol, DATA_ID>::restart_round(bool control_request) {
  rounds.restart();
  if (control_request) abandoned_rounds += rounds.give_up_polled();
}

template <typename DataT, typename Protocol, int DATA_ID>
inline void UniDataDevice<DataT, Protocol, DATA_ID>::complete_polled_round() {
  const unsigned waiting = rounds.waiting();
  rounds.store_block2();
  complete_record(raw_data, false);
  rounds.claim(std::this_thread::get_id(), waiting, 1);
}

template <typename DataT, typename Protocol, int DATA_ID>
inline bool UniDataDevice<DataT, Protocol, DATA_ID>::claim_publication() {
  // With nothing waiting there is nothing to claim: the usual case costs no
  // further locked step.
  if (rounds.waiting() == 0) return false;
  return rounds.claim(std::this_thread::get_id(), rounds.waiting(), 0);
}

template <typename DataT, typename Protocol, int DATA_ID>
inline void UniDataDevice<DataT, Protocol, DATA_ID>::drop_claim() {
  rounds.drop_claim(std::this_thread::get_id());
}

template <typename DataT, typename Protocol, int DATA_ID>
inline void UniDataDevice<DataT, Protocol, DATA_ID>::complete_record(DataT& record, bool cached) {
  // Kept as the controller's own round does it: set only when not yet set.
  // Time, stamp, ready flag and the completed copy change together, under the
  // lock that also queues the round. get_ttime is a pure conversion and takes
  // no device.
  if (!this->data_ready) this->data_ready = true;
  this->last_update = boost::posix_time::second_clock::local_time();
  const ttime_t stamp = get_ttime(this->last_update);
  std::memcpy(reinterpret_cast<unsigned char*>(&record) + kStampOffset, &stamp, sizeof stamp);
  completed_data = record;
  if (rounds.enqueue(record, cached)) ++dropped_rounds;
}

template <typename DataT, typename Protocol, int DATA_ID>
void UniDataDevice<DataT, Protocol, DATA_ID>::publish_due(std::unique_lock<std::mutex>& state) {
  // One publisher at a time takes the rounds in order; a call that finds the
  // role held elsewhere (another thread, or its own further up the stack, as
  // when SendSP calls back into the device) leaves its rounds and returns.
  if (!rounds.begin(std::this_thread::get_id())) return;
  while (rounds.next(published_data)) {
    state.unlock();
    try {
      publish_round();
    } catch (...) {
      // The round stops where the framework threw; the rounds still waiting
      // go to the next call that comes, on any thread.
      state.lock();
      rounds.release();
      throw;
    }
    state.lock();
  }
}

template <typename DataT, typename Protocol, int DATA_ID>
inline void UniDataDevice<DataT, Protocol, DATA_ID>::publish_round() {
  // Published and stored from published_data: only the publishing thread
  // writes it, so both calls see the same bytes whatever arrives meanwhile.
  const unsigned char* record = reinterpret_cast<const unsigned char*>(&published_data);

  this->ZelVDevice::SendSP(DATA_ID, record, kRecordSize, false);
  this->Reset();
  this->status_word = 1;
  this->report_flag = false;
  this->RunCheckThreshold();

  for (std::vector<std::string>::const_iterator it = this->ao_names.begin(),
                                                end = this->ao_names.end();
       it != end; ++it) {
    const std::string name = *it;
    const std::map<std::string, float>::const_iterator found = this->ao_values.find(name);
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
