// The plug-in's identification: its version in an ELF note, which readelf -n
// and strings show in the file and host programs read from the loaded
// plug-in. It adds no exported symbol; the binary interface stays as it is.
#pragma once

#include <cstdint>

namespace qx7540pm {

/// Owner name of the version note.
constexpr char kVersionNoteName[] = "qx7540pm";
/// Type of the version note; its description is the version, zero-terminated.
constexpr std::uint32_t kVersionNoteType = 1;

}  // namespace qx7540pm
