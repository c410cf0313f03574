#include "identification.h"

#include <cstddef>
#include <cstdint>

#include <json/version.h>

#include "qx7540pm/version.h"

namespace qx7540pm {
namespace {

constexpr std::size_t padded(std::size_t size) { return (size + 3) / 4 * 4; }

constexpr bool same_text(const char* a, const char* b) {
  return *a == *b && (*a == '\0' || same_text(a + 1, b + 1));
}

/// One ELF note: three header words, then the owner name and the description,
/// each padded to four bytes.
template <std::size_t DescSize>
struct Note {
  std::uint32_t name_size;
  std::uint32_t desc_size;
  std::uint32_t type;
  char name[padded(sizeof kVersionNoteName)];
  char desc[padded(DescSize)];
};

#define QX7540PM_NOTE_NAME "qx7540pm"
static_assert(same_text(QX7540PM_NOTE_NAME, kVersionNoteName), "one owner name for the note");

// The jsoncpp this plug-in was compiled against: the controller must carry the
// same (its soname, and best the same version), as the plug-in takes jsoncpp's
// classes from the controller's process.
#define QX7540PM_JSONCPP_TEXT "jsoncpp " JSONCPP_VERSION_STRING " " QX_JSONCPP_SONAME

// Allocated note sections are part of the loaded image as well, where the
// bench host finds them through the program headers. The alignment is the
// notes' own: a larger one would put padding between the notes.
[[gnu::used, gnu::section(".note.qx7540pm")]] alignas(
    4) constexpr Note<sizeof QX7540PM_VERSION> kVersionNote = {
    sizeof kVersionNoteName, sizeof QX7540PM_VERSION, kVersionNoteType, QX7540PM_NOTE_NAME,
    QX7540PM_VERSION};
[[gnu::used, gnu::section(".note.qx7540pm")]] alignas(
    4) constexpr Note<sizeof QX7540PM_JSONCPP_TEXT> kJsoncppNote = {
    sizeof kVersionNoteName, sizeof QX7540PM_JSONCPP_TEXT, kJsoncppNoteType, QX7540PM_NOTE_NAME,
    QX7540PM_JSONCPP_TEXT};

}  // namespace
}  // namespace qx7540pm
