#include "qxhost/plugin.h"

#include <dlfcn.h>

#include <exception>
#include <vector>

namespace qxhost {
namespace {

constexpr const char* kEntryPoint = "get_providers";

std::string dl_error(const char* otherwise) {
  const char* why = ::dlerror();
  return why != nullptr ? why : otherwise;
}

}  // namespace

Plugin Plugin::open(const std::string& path) {
  // A bare file name would make dlopen search the library path instead.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  Plugin plugin;
  plugin.path_ = path;
  plugin.handle_ = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (plugin.handle_ == nullptr) {
    throw LoadError("cannot load plug-in " + path + ": " + dl_error("unknown error") +
                    "\n  hint: check the path, and run `ldd " + path +
                    "` to see which libraries it cannot find; the loading program provides "
                    "the framework (libzelfw.so) and jsoncpp itself, as the controller does.");
  }
  void* entry = ::dlsym(plugin.handle_, kEntryPoint);
  if (entry == nullptr) {
    throw LoadError("plug-in " + path + " has no " + kEntryPoint + ": " +
                    dl_error("symbol not found") +
                    "\n  hint: is this a device plug-in? `nm -D --defined-only " + path +
                    "` lists what it exports.");
  }
  plugin.get_providers_ = reinterpret_cast<GetProvidersFn>(entry);
  return plugin;
}

std::shared_ptr<ZelSPDeviceProvider> Plugin::provider() const {
  std::vector<std::shared_ptr<Provider>> providers;
  try {
    providers = get_providers_();
  } catch (const std::exception& e) {
    throw LoadError("plug-in " + path_ + " failed in " + kEntryPoint + ": " + e.what());
  }
  for (const auto& provider : providers) {
    if (auto serial = std::dynamic_pointer_cast<ZelSPDeviceProvider>(provider)) return serial;
  }
  throw LoadError("plug-in " + path_ + " offers no serial-port device provider");
}

DevicePtr Plugin::create_device() const {
  const std::shared_ptr<ZelSPDeviceProvider> serial = provider();
  DevicePtr device;
  try {
    device.reset(serial->create());
  } catch (const std::exception& e) {
    throw LoadError("plug-in " + path_ + " failed while creating its device: " + e.what());
  }
  if (!device) throw LoadError("plug-in " + path_ + " made no device");
  return device;
}

MeterPtr Plugin::create_meter() const {
  return MeterPtr(static_cast<QX7540PM*>(create_device().release()));
}

}  // namespace qxhost
