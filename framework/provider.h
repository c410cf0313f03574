// Provider base classes: a plug-in hands these to the controller from
// get_providers, and the controller asks them for device objects.
#pragma once

#include "zel_export.h"

class ZelSPDevice;

/// Root of every provider kind. Holds nothing but its dispatch pointer.
class ZEL_API Provider {
 public:
  virtual ~Provider() = default;
};

/// Provider of serial-port devices.
class ZEL_API ZelSPDeviceProvider : public Provider {
 public:
  ~ZelSPDeviceProvider() override = default;
  /// Makes a new device with new; the caller owns it and deletes it through its
  /// virtual destructor.
  virtual ZelSPDevice* create() const = 0;
};
