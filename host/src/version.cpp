#include "qxhost/version.h"

#include "qx7540pm/version.h"

namespace qxhost {

const char* project_version() { return QX7540PM_VERSION; }

}  // namespace qxhost
