// The project's version as the host programs show it (--version, banners).
#pragma once

namespace qxhost {

/// "1.0.0", or with the commit when built from a clone: "1.0.0+5.g0123456789ab".
const char* project_version();

}  // namespace qxhost
