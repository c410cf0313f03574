#include "plugin_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <exception>
#include <vector>

#include "provider.h"
#include "qx7540pm_provider.h"

namespace qxbench {
namespace {

constexpr const char* kEntryPoint = "get_providers";

std::string load_hint(const std::string& path) {
  return "\n  hint: check the path (--plugin PATH), and run `ldd " + path +
         "` to see which libraries it cannot find; the bench provides the framework "
         "(libzelfw.so) and jsoncpp itself.";
}

}  // namespace

std::string default_plugin_path() {
  char self[PATH_MAX] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(".");
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../qx7540pm.so";
}

void DeviceDeleter::operator()(ZelSPDevice* device) const {
  delete static_cast<VDeviceInterface*>(device);
}

DevicePtr load_device(const std::string& plugin_path, std::string& error) {
  // A bare file name would make dlopen search the library path instead.
  const std::string path =
      plugin_path.find('/') == std::string::npos ? "./" + plugin_path : plugin_path;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    error = "cannot load plug-in " + plugin_path + ": " + (why ? why : "unknown error") +
            load_hint(plugin_path);
    return nullptr;
  }
  void* entry = ::dlsym(handle, kEntryPoint);
  if (entry == nullptr) {
    const char* why = ::dlerror();
    error = "plug-in " + plugin_path + " has no " + kEntryPoint + ": " +
            (why ? why : "symbol not found") +
            "\n  hint: is this a device plug-in? `nm -D --defined-only " + plugin_path +
            "` lists what it exports.";
    return nullptr;
  }
  try {
    const auto providers = reinterpret_cast<GetProvidersFn>(entry)();
    for (const auto& provider : providers) {
      const auto serial = std::dynamic_pointer_cast<ZelSPDeviceProvider>(provider);
      if (!serial) continue;
      DevicePtr device(serial->create());
      if (device) return device;
    }
  } catch (const std::exception& e) {
    error = "plug-in " + plugin_path + " failed while creating its device: " + e.what();
    return nullptr;
  }
  error = "plug-in " + plugin_path + " offers no serial-port device provider";
  return nullptr;
}

}  // namespace qxbench
