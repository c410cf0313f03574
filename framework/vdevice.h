// The controller's device interface and its virtual-device base class.
//
// The order of virtual operations and data members here is the binary contract
// with the controller: it calls devices through these slots and reads these
// members at these offsets. Never reorder, insert or remove either.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>
#include <boost/date_time/posix_time/ptime.hpp>

#include "zel_export.h"

class ZelController;
class ZelVDevice;

/// One pending threshold-rule result, queued by the framework's checks.
struct ZEL_API rule_value {
  std::string name;
  std::string rule;
  std::string value;
  std::string desc;
};

/// What the controller sees of every device.
class ZEL_API VDeviceInterface {
 public:
  /// Single-value query. The default serves nothing and reports no data.
  virtual double Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
    throw std::out_of_range("数据未就绪");
  }
  /// Restores a cached record given as a byte string (zero bytes included).
  /// Our addition to the controller's header: a string longer than int can
  /// count is passed as -1, so that it is refused rather than taken for a
  /// short record (the controller's own header converts the size unchecked).
  virtual int LoadFromCache(const std::string& data) {
    const int size =
        data.size() > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(data.size());
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()), size);
  }
  /// Restores a cached record: 1 accepted, 0 rejected.
  virtual int LoadFromCache(const unsigned char* data, int size) = 0;
  /// Identifier under which the device's records are known to the controller.
  virtual int DataId() const { return data_id; }
  /// The device type name the device was made for.
  virtual const std::string& DeviceType() const { return device_type; }
  /// General request channel: code, request bytes, reply buffer, bytes produced.
  virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                              int& out_size) = 0;
  /// Completes a polling round: publish, check, store.
  virtual void RoundDone() = 0;
  /// Whether the device keeps its data in the controller's database.
  virtual bool UseControllerDb() { return use_controller_db; }
  virtual ~VDeviceInterface() = default;

  int data_id = 0;
  std::string device_type;
  bool use_controller_db = false;
};

/// The framework's virtual device: publication, history and threshold checks.
class ZEL_API ZelVDevice : public VDeviceInterface {
 public:
  ZelVDevice();
  ~ZelVDevice() override;

  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_size) override;

  /// Returns the device to its idle state after a round.
  virtual void Reset();
  virtual bool InitV(ZelVDevice* parent, unsigned int index, const Json::Value& setting);
  virtual bool Init(std::weak_ptr<ZelController> controller, unsigned int index,
                    const Json::Value& setting);
  /// Applies the device's settings object.
  virtual bool InitSetting(const Json::Value& setting);
  virtual bool IsSupportDevice(const std::string& type) const;
  virtual std::shared_ptr<ZelVDevice> GetChildVDevice(unsigned int /*index*/) {
    return std::shared_ptr<ZelVDevice>();
  }
  virtual std::vector<std::shared_ptr<ZelVDevice>> GetAllChildVDevices() {
    return std::vector<std::shared_ptr<ZelVDevice>>();
  }
  /// Publishes a record to the controller under a data identifier.
  virtual bool SendSP(int data_id, const unsigned char* data, unsigned int size, bool now);
  virtual bool SendDelayData(int delay);
  virtual bool SendDoData(int channel, char value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual double Get_SP_Value(unsigned int index, const std::string& name);

  // Threshold and history services, called by devices after each round.
  bool CheckAOReport(const std::string& name, float value);
  void CheckThreshold(const std::string& name, const std::string& sub, const float& value,
                      int kind);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  bool CheckThresholdBool(int kind, const std::string& id, const std::string& code,
                          const std::string& name, const std::string& desc, bool state,
                          unsigned short level);
  bool SaveDeviceHistory(const unsigned char* data, unsigned int size);

  std::uint16_t status_word = 0;
  boost::posix_time::ptime last_update;
  bool data_ready = false;
  std::vector<rule_value> rule_values;
  bool report_flag = false;
  std::vector<std::string> ao_names;
  std::map<std::string, float> ao_values;

  /// The framework's private per-device state (link, bookkeeping).
  struct Context;
  Context* context = nullptr;

 private:
  std::weak_ptr<ZelController> controller_;
  ZelVDevice* parent_ = nullptr;
  unsigned int index_ = 0;
};
