// Asking a device for its snapshot the way the controller does, through its
// public operations only: host programs never touch the device's members or
// its locks themselves.
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "qxhost/plugin.h"

namespace qxhost {

/// The device's 801 text: asks its size, then reads it, again when it grew
/// in between. Empty when the device has no snapshot.
std::string read_snapshot_text(ZelSPDevice& device);

/// The snapshot text parsed; the text itself when it is not JSON.
Json::Value read_snapshot(ZelSPDevice& device);

/// What the plug-in renders for a stored 91-byte record: a new device of the
/// plug-in takes it as a cache load (LoadFromCache) and renders it through
/// 801, so no earlier rendering is reused. A device stamps a load with the
/// time of the load; the record's own stamp goes into the time member
/// (qx7540pm::kUpdateTimeKey) in the device's form
/// (qx7540pm::format_update_time). Null when the device refuses the record.
Json::Value render_stored_record(const Plugin& plugin, const std::vector<unsigned char>& record);

}  // namespace qxhost
