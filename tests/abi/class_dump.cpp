// Compiled only for its class-layout dump (-fdump-lang-class): the device and
// provider classes as the compiler lays them out for the current target.
#include "qx7540pm.h"
#include "qx7540pm_provider.h"

// Every member of the record device, not only those the device uses.
template class UniDataDevice<QX7540PM_Data_t, SPModbus, QX7540PM_DATA_ID>;
