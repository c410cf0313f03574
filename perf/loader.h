// Loads the built qx7540pm.so the way the controller does (dlopen, immediate
// binding) and makes meters with its provider.
#pragma once

#include <dlfcn.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "provider.h"
#include "qx7540pm.h"
#include "qx7540pm_provider.h"

namespace qxperf {

/// The plug-in, loaded once per process and never unloaded.
class Plugin {
 public:
  static Plugin& get() {
    static Plugin plugin;
    return plugin;
  }
  std::shared_ptr<ZelSPDeviceProvider> provider() const {
    std::vector<std::shared_ptr<Provider>> providers = get_providers_();
    auto sp = providers.size() == 1
                  ? std::dynamic_pointer_cast<ZelSPDeviceProvider>(providers.front())
                  : nullptr;
    if (!sp) throw std::runtime_error("the plug-in offers no serial-port device provider");
    return sp;
  }

 private:
  Plugin() {
    void* handle = dlopen(QX7540PM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      throw std::runtime_error(std::string("dlopen: ") + dlerror() +
                               " (ldd on the plug-in shows missing libraries)");
    }
    void* entry = dlsym(handle, "get_providers");
    if (entry == nullptr) throw std::runtime_error(std::string("dlsym: ") + dlerror());
    get_providers_ = reinterpret_cast<GetProvidersFn>(entry);
  }
  GetProvidersFn get_providers_ = nullptr;
};

/// Deletes a meter through its virtual destructor, as the controller does.
struct DeviceDeleter {
  void operator()(QX7540PM* device) const { delete static_cast<VDeviceInterface*>(device); }
};
using DevicePtr = std::unique_ptr<QX7540PM, DeviceDeleter>;

inline DevicePtr make_device() {
  return DevicePtr(static_cast<QX7540PM*>(Plugin::get().provider()->create()));
}

}  // namespace qxperf
