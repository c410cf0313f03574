#include "qxhost/device_settings.h"

#include "qx7540pm.h"

namespace qxhost {

std::array<bool, 3> monitored_phases(const QX7540PM& device) {
  return {device.has_a != 0, device.has_b != 0, device.has_c != 0};
}

}  // namespace qxhost
