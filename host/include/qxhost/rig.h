// A meter from the built plug-in attached to its own recording stand-in
// framework, and one complete round through it: what every test, fuzzer and
// measurement starts from.
#pragma once

#include <cstdint>
#include <vector>

#include "qxhost/plugin.h"
#include "zelfw/standin.h"

namespace qxhost {

/// One round as the framework runs it with no link: RefreshStatus, then the
/// reply to each of the two reads.
void complete_round(QX7540PM& device, const std::vector<std::uint16_t>& block1,
                    const std::vector<std::uint16_t>& block2);

/// The device's record as bytes, as it publishes them.
std::vector<unsigned char> record_bytes(const QX7540PM& device);

struct Rig {
  zelfw::Framework framework;  ///< declared first: it outlives the device
  MeterPtr device;
  Rig();
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;
  void complete_round(const std::vector<std::uint16_t>& block1,
                      const std::vector<std::uint16_t>& block2) {
    qxhost::complete_round(*device, block1, block2);
  }
};

}  // namespace qxhost
