// What a device took from the settings the framework handed it (InitSetting),
// for host programs that explain its behaviour: the host library is the one
// place that reads the device's members.
#pragma once

#include <array>

class QX7540PM;

namespace qxhost {

/// The phases the device monitors for its alarm (has_a, has_b, has_c), as it
/// read them from the settings: the device converts them itself (numbers by
/// value, saturated).
std::array<bool, 3> monitored_phases(const QX7540PM& device);

}  // namespace qxhost
