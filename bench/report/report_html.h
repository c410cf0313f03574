// The commissioning report: one self-contained HTML file with the run's
// facts, a verdict per meter and its charts, Chart.js inlined so that it
// opens without a network.
#pragma once

#include <string>

#include "output_file.h"
#include "run_record.h"

namespace qxbench {

/// The whole page.
std::string report_html(const RecordedRun& run);

/// Writes the page to the opened file and renames it into place; false with
/// a message when it cannot be written.
bool write_report(const RecordedRun& run, OutputFile& file, std::string& error);

/// Text safe in HTML content and attribute values.
std::string html_escape(const std::string& text);

}  // namespace qxbench
