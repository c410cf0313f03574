// Loads the built qx7540pm.so as the controller does, and gives tests a device
// attached to a recording stand-in framework.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "provider.h"
#include "qx7540pm.h"
#include "qx7540pm_provider.h"
#include "zelfw/standin.h"

namespace qxtest {

/// The plug-in, loaded once per test program with RTLD_NOW and never unloaded
/// (devices and providers it made may outlive any one test).
class Plugin {
 public:
  static Plugin& get();
  GetProvidersFn get_providers() const { return get_providers_; }
  std::shared_ptr<ZelSPDeviceProvider> provider() const;
  void* handle() const { return handle_; }

 private:
  Plugin();
  void* handle_ = nullptr;
  GetProvidersFn get_providers_ = nullptr;
};

/// Owns a device made by the plug-in's provider; deletes it through its
/// virtual destructor, as the controller does.
struct DeviceDeleter {
  void operator()(QX7540PM* device) const;
};
using DevicePtr = std::unique_ptr<QX7540PM, DeviceDeleter>;

/// A new device from the loaded plug-in.
DevicePtr make_device();

/// A device attached to its own recording framework.
struct Rig {
  zelfw::Framework framework;
  DevicePtr device;
  Rig();
  ~Rig();
  /// Runs one round through the stand-in: RefreshStatus, then both replies.
  void complete_round(const std::vector<std::uint16_t>& block1,
                      const std::vector<std::uint16_t>& block2);
};

/// Sends a request through DeviceIoControl; returns result, fills text and out_size.
int control(QX7540PM& device, int code, const std::string& body, std::vector<char>& out,
            int out_len, int& out_size);

/// The 801 snapshot text (asks for the size first, then reads it).
std::string snapshot_text(QX7540PM& device);

/// The record as bytes.
std::vector<unsigned char> record_bytes(const QX7540PM& device);

}  // namespace qxtest
