#include "plugin.h"

#include <dlfcn.h>

#include <cstring>
#include <stdexcept>

namespace qxtest {

Plugin& Plugin::get() {
  static Plugin plugin;
  return plugin;
}

Plugin::Plugin() {
  handle_ = dlopen(QX7540PM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
  void* entry = dlsym(handle_, "get_providers");
  if (entry == nullptr) throw std::runtime_error(std::string("dlsym: ") + dlerror());
  get_providers_ = reinterpret_cast<GetProvidersFn>(entry);
}

std::shared_ptr<ZelSPDeviceProvider> Plugin::provider() const {
  std::vector<std::shared_ptr<Provider>> providers = get_providers_();
  if (providers.size() != 1) throw std::runtime_error("expected one provider");
  auto sp = std::dynamic_pointer_cast<ZelSPDeviceProvider>(providers.front());
  if (!sp) throw std::runtime_error("provider is not a serial-port device provider");
  return sp;
}

void DeviceDeleter::operator()(QX7540PM* device) const {
  delete static_cast<VDeviceInterface*>(device);
}

DevicePtr make_device() {
  ZelSPDevice* made = Plugin::get().provider()->create();
  return DevicePtr(static_cast<QX7540PM*>(made));
}

Rig::Rig() : device(make_device()) { framework.attach(*device); }

Rig::~Rig() { device.reset(); }

void Rig::complete_round(const std::vector<std::uint16_t>& block1,
                         const std::vector<std::uint16_t>& block2) {
  device->RefreshStatus();
  zelfw::deliver_reply(*device, block1.data(), static_cast<int>(block1.size()));
  zelfw::deliver_reply(*device, block2.data(), static_cast<int>(block2.size()));
}

int control(QX7540PM& device, int code, const std::string& body, std::vector<char>& out,
            int out_len, int& out_size) {
  return device.DeviceIoControl(code, body.data(), static_cast<int>(body.size()), out.data(),
                                out_len, out_size);
}

std::string snapshot_text(QX7540PM& device) {
  int size = 0;
  device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, nullptr, 0, size);
  std::vector<char> buffer(static_cast<std::size_t>(size));
  int written = 0;
  if (device.DeviceIoControl(QX7540PM::kSnapshotText, nullptr, 0, buffer.data(), size, written) !=
      0) {
    throw std::runtime_error("snapshot did not fit the size it asked for");
  }
  return std::string(buffer.data(), static_cast<std::size_t>(written));
}

std::vector<unsigned char> record_bytes(const QX7540PM& device) {
  const auto* p = reinterpret_cast<const unsigned char*>(&device.raw_data);
  return std::vector<unsigned char>(p, p + sizeof device.raw_data);
}

}  // namespace qxtest
