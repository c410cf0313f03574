// Provider base classes: a plug-in hands these to the controller from
// get_providers, and the controller asks them for device objects.
#pragma once

#include "zel_export.h"

class ZelSPDevice;

// The bases' constructors are always emitted, so that a plug-in that compiles
// these classes carries their virtual tables for the controller to resolve,
// although nothing is ever made of the bases alone (the compiler would
// otherwise fold their tables away into the derived provider's).

/// Root of every provider kind. Holds nothing but its dispatch pointer.
class ZEL_API Provider {
 public:
  [[gnu::used]] Provider() = default;
  virtual ~Provider() = default;
};

/// Provider of serial-port devices.
class ZEL_API ZelSPDeviceProvider : public Provider {
 public:
  [[gnu::used]] ZelSPDeviceProvider() = default;
  ~ZelSPDeviceProvider() override = default;
  /// Makes a new device with new; the caller owns it and deletes it through its
  /// virtual destructor.
  virtual ZelSPDevice* create() const = 0;
};
