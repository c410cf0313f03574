// The report's wiring and supply quality: each meter's rounds judged again
// from their values (the same from a polling run and from its CSV), the
// section's table and the charts of voltage deviation and unbalance.
#pragma once

#include <string>

#include <json/value.h>

#include "diagnosis/diagnosis_summary.h"
#include "run_record.h"

namespace qxbench {

struct MeterDiagnosis {
  RunDiagnosis run;
  Json::Value charts{Json::arrayValue};  ///< voltage deviation, unbalance: as the page's charts
};

MeterDiagnosis diagnose_meter(const RecordedMeter& meter, const DiagnosisBasis& basis);

/// The frequency chart's limit lines: nominal ± the limit.
Json::Value frequency_limits(const DiagnosisBasis& basis);

/// The section "Wiring and supply quality": what it judged against, a row per check.
std::string diagnosis_html(const RecordedRun& run, const RunDiagnosis& diagnosis);

/// The verdict row's text: "no finding", or the checks that need attention.
std::string diagnosis_verdict_text(const RunDiagnosis& diagnosis);

}  // namespace qxbench
