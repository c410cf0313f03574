#include "qxhost/plugin.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

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
    throw LoadError(
        qxcore::format(_("cannot load plug-in %s: %s"), path.c_str(),
                       dl_error(_("unknown error")).c_str()) +
        "\n  " +
        qxcore::format(_("hint: check the path, and run `ldd %s` to see which libraries it cannot "
                         "find; the loading program provides the framework (libzelfw.so) and "
                         "jsoncpp itself, as the controller does."),
                       path.c_str()));
  }
  void* entry = ::dlsym(plugin.handle_, kEntryPoint);
  if (entry == nullptr) {
    throw LoadError(
        qxcore::format(_("plug-in %s has no %s: %s"), path.c_str(), kEntryPoint,
                       dl_error(_("symbol not found")).c_str()) +
        "\n  " +
        qxcore::format(_("hint: is this a device plug-in? `nm -D --defined-only %s` lists what it "
                         "exports."),
                       path.c_str()));
  }
  plugin.get_providers_ = reinterpret_cast<GetProvidersFn>(entry);
  return plugin;
}

std::shared_ptr<ZelSPDeviceProvider> Plugin::provider() const {
  std::vector<std::shared_ptr<Provider>> providers;
  try {
    providers = get_providers_();
  } catch (const std::exception& e) {
    throw LoadError(
        qxcore::format(_("plug-in %s failed in %s: %s"), path_.c_str(), kEntryPoint, e.what()));
  }
  for (const auto& provider : providers) {
    if (auto serial = std::dynamic_pointer_cast<ZelSPDeviceProvider>(provider)) return serial;
  }
  throw LoadError(
      qxcore::format(_("plug-in %s offers no serial-port device provider"), path_.c_str()));
}

DevicePtr Plugin::create_device() const {
  const std::shared_ptr<ZelSPDeviceProvider> serial = provider();
  DevicePtr device;
  try {
    device.reset(serial->create());
  } catch (const std::exception& e) {
    throw LoadError(qxcore::format(_("plug-in %s failed while creating its device: %s"),
                                   path_.c_str(), e.what()));
  }
  if (!device) throw LoadError(qxcore::format(_("plug-in %s made no device"), path_.c_str()));
  return device;
}

MeterPtr Plugin::create_meter() const {
  return MeterPtr(static_cast<QX7540PM*>(create_device().release()));
}

}  // namespace qxhost
