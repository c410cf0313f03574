// Captures what a call writes to standard output, through C stdio and
// std::cout alike (the host library points descriptor 1 at a temporary file).
#pragma once

#include "qxhost/output.h"

namespace qxtest {

using qxhost::capture_stdout;

}  // namespace qxtest
