// The provider bases' destructors, for host programs that convert providers
// (dynamic_pointer_cast needs the bases' type information at link time). The
// plug-in carries its own copy; at run time one of the two serves both.
#include "provider.h"

Provider::~Provider() = default;
ZelSPDeviceProvider::~ZelSPDeviceProvider() = default;
