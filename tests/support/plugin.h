// The test suite's names for the host library (host/): a meter from
// the built qx7540pm.so on a recording stand-in framework, and the requests
// the tests make of it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qxhost/plugin.h"
#include "qxhost/rig.h"

namespace qxtest {

/// The built plug-in, loaded once per test program and never unloaded.
struct Plugin {
  static const qxhost::Plugin& get() { return qxhost::Plugin::built(); }
};

using qxhost::DeviceDeleter;
using DevicePtr = qxhost::MeterPtr;
using qxhost::record_bytes;
using qxhost::Rig;

/// A new device from the loaded plug-in.
inline DevicePtr make_device() { return qxhost::make_meter(); }

/// Sends a request through DeviceIoControl; returns result, fills text and out_size.
int control(QX7540PM& device, int code, const std::string& body, std::vector<char>& out,
            int out_len, int& out_size);

/// The 801 snapshot text (asks for the size first, then reads it).
std::string snapshot_text(QX7540PM& device);

}  // namespace qxtest
