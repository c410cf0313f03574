#include "qxhost/rig.h"

namespace qxhost {

void complete_round(QX7540PM& device, const std::vector<std::uint16_t>& block1,
                    const std::vector<std::uint16_t>& block2) {
  device.RefreshStatus();
  zelfw::deliver_reply(device, block1.data(), static_cast<int>(block1.size()));
  zelfw::deliver_reply(device, block2.data(), static_cast<int>(block2.size()));
}

std::vector<unsigned char> record_bytes(const QX7540PM& device) {
  const auto* p = reinterpret_cast<const unsigned char*>(&device.raw_data);
  return std::vector<unsigned char>(p, p + sizeof device.raw_data);
}

Rig::Rig() : device(make_meter()) { framework.attach(*device); }

Rig::~Rig() { device.reset(); }

}  // namespace qxhost
