#include <stdexcept>

#include "plugin.h"
#include "qxhost/snapshot.h"

namespace qxtest {

int control(QX7540PM& device, int code, const std::string& body, std::vector<char>& out,
            int out_len, int& out_size) {
  return device.DeviceIoControl(code, body.data(), static_cast<int>(body.size()), out.data(),
                                out_len, out_size);
}

std::string snapshot_text(QX7540PM& device) { return qxhost::read_snapshot_text(device); }

}  // namespace qxtest
