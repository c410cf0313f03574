// Loads the plug-in as the controller does: dlopen, get_providers, create().
#pragma once

#include <memory>
#include <string>

#include "spdevice.h"

namespace qxbench {

/// The plug-in next to the bench in the build tree: <bench dir>/../qx7540pm.so.
std::string default_plugin_path();

/// Deletes a device through its virtual destructor, as the controller does.
struct DeviceDeleter {
  void operator()(ZelSPDevice* device) const;
};
using DevicePtr = std::unique_ptr<ZelSPDevice, DeviceDeleter>;

/// Loads the plug-in (never unloaded: its code backs the devices it makes)
/// and creates one device from its serial-port provider. On failure returns
/// null with a message that carries dlerror's text and a hint.
DevicePtr load_device(const std::string& plugin_path, std::string& error);

}  // namespace qxbench
