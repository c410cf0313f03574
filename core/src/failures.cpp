#include "qxcore/failures.h"

#include <cstring>

#include "qxi18n/i18n.h"

namespace qxcore {

const FailureKind kFailureKinds[kFailureKindCount] = {
    {"timeout", NC_("failure", "timeout"), "#e6550d"},
    {"bad-crc", NC_("failure", "bad-crc"), "#756bb1"},
    {"exception", NC_("failure", "exception"), "#3182bd"},
    {"malformed", NC_("failure", "malformed"), "#636363"},
    {"wrong-slave", NC_("failure", "wrong-slave"), "#31a354"},
    {"io", NC_("failure", "io"), "#a50f15"},
    {kUnpublished, NC_("failure", "unpublished"), "#8c8c8c"},
};

const char* failure_name(Failure failure) {
  const auto index = static_cast<std::size_t>(failure);
  return index < static_cast<std::size_t>(Failure::kCount) ? kFailureKinds[index].name : "?";
}

const char* failure_label(const char* name) {
  for (const FailureKind& kind : kFailureKinds) {
    if (std::strcmp(kind.name, name) == 0)
      return qxi18n::translate_in_context("failure", kind.label);
  }
  return name;
}

const char* failure_label(Failure failure) { return failure_label(failure_name(failure)); }

}  // namespace qxcore
