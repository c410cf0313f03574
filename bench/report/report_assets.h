// The report page's template and Chart.js, built into the bench from
// bench/report/report_page.html and Debian's libjs-chart.js (see CMakeLists.txt).
#pragma once

#include <cstddef>
#include <string_view>

namespace qxbench {

extern const unsigned char kReportPage[];
extern const std::size_t kReportPageSize;
extern const unsigned char kChartJs[];
extern const std::size_t kChartJsSize;

inline std::string_view report_page() {
  return {reinterpret_cast<const char*>(kReportPage), kReportPageSize};
}
inline std::string_view chart_js() {
  return {reinterpret_cast<const char*>(kChartJs), kChartJsSize};
}

}  // namespace qxbench
