// Loads qx7540pm.so as the controller does: dlopen with immediate binding,
// get_providers, conversion to the serial-port device provider, create().
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "provider.h"
#include "qx7540pm.h"
#include "qx7540pm_provider.h"
#include "spdevice.h"

namespace qxhost {

/// A plug-in that could not be loaded or made no device. what() carries
/// dlerror's text and a hint on what to check.
class LoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Deletes a device through its virtual destructor, as the controller does.
struct DeviceDeleter {
  void operator()(VDeviceInterface* device) const { delete device; }
};
/// A device of any class in the chain, owned by the host.
template <typename Device>
using Owned = std::unique_ptr<Device, DeviceDeleter>;
using DevicePtr = Owned<ZelSPDevice>;
using MeterPtr = Owned<QX7540PM>;

/// The qx7540pm.so of this build tree.
const char* built_plugin_path();

/// A loaded plug-in. Never unloaded: its code backs every provider and device
/// it made, and those may outlive any one user of the handle.
class Plugin {
 public:
  /// Opens the file at path (RTLD_NOW | RTLD_LOCAL) and finds get_providers.
  /// Throws LoadError. Opening the same file again gives the same handle.
  static Plugin open(const std::string& path);
  /// The plug-in of this build tree, opened on first use.
  static const Plugin& built();

  GetProvidersFn get_providers() const { return get_providers_; }
  /// The first serial-port device provider get_providers offers; throws LoadError.
  std::shared_ptr<ZelSPDeviceProvider> provider() const;
  /// A new device from that provider; throws LoadError if it makes none.
  DevicePtr create_device() const;
  /// The same, as the meter class: the provider makes QX7540PM devices only,
  /// and their type information stays inside the plug-in, so the conversion
  /// is static.
  MeterPtr create_meter() const;
  void* handle() const { return handle_; }
  const std::string& path() const { return path_; }

 private:
  Plugin() = default;
  std::string path_;
  void* handle_ = nullptr;
  GetProvidersFn get_providers_ = nullptr;
};

/// A new meter from the plug-in of this build tree.
MeterPtr make_meter();

}  // namespace qxhost
