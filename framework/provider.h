// Provider base classes: a plug-in hands these to the controller from
// get_providers, and the controller asks them for device objects.
#pragma once

#include "zel_export.h"

class ZelSPDevice;

// The bases' destructors are declared here and defined out of line by the
// plug-in that compiles these classes, so that it carries their virtual tables
// and type information for the controller to resolve, although nothing is
// ever made of the bases alone.

/// Root of every provider kind. Holds nothing but its dispatch pointer.
class ZEL_API Provider {
 public:
  virtual ~Provider();
};

/// Provider of serial-port devices.
class ZEL_API ZelSPDeviceProvider : public Provider {
 public:
  ~ZelSPDeviceProvider() override;
  /// Makes a new device with new; the caller owns it and deletes it through its
  /// virtual destructor.
  virtual ZelSPDevice* create() const = 0;
};
