// The plug-in's identification: its version, and the jsoncpp it was built
// against, in ELF notes, which readelf -n lists (readelf -p .note.qx7540pm
// prints their text) and host programs read from the file or the loaded
// plug-in. It adds no exported symbol; the binary interface stays as it is.
#pragma once

#include <cstdint>

namespace qx7540pm {

/// Owner name of the version note.
constexpr char kVersionNoteName[] = "qx7540pm";
/// Type of the version note; its description is the version, zero-terminated.
constexpr std::uint32_t kVersionNoteType = 1;
/// Type of the note that names the jsoncpp the plug-in was built against:
/// "jsoncpp VERSION SONAME", zero-terminated ("jsoncpp 1.9.5 libjsoncpp.so.25").
/// A type readelf gives no meaning of its own (2 would read as NT_ARCH).
constexpr std::uint32_t kJsoncppNoteType = 16;

}  // namespace qx7540pm
