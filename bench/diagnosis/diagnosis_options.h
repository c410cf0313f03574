// The diagnosis's options: what the supply is judged against.
#pragma once

#include <CLI/CLI.hpp>

#include "diagnosis/diagnosis.h"

namespace qxbench {

/// --nominal-voltage, --nominal-frequency, --small-system.
void add_diagnosis_options(CLI::App& app, DiagnosisBasis& basis);

}  // namespace qxbench
