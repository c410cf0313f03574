#include <stdexcept>

#include "plugin.h"

namespace qxtest {

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

}  // namespace qxtest
