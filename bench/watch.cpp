#include "watch.h"

#include "qxcore/failures.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "qxi18n/text_width.h"

#include <algorithm>
#include <utility>

#include "register_map.h"

namespace qxbench {
namespace {

using qx7540pm::PhaseGroup;
using qx7540pm::QuantityKind;

// What fits a row: the phase voltages and currents, total active power,
// power factor and frequency, with the decimals the register map gives.
struct Column {
  QuantityKind kind;
  PhaseGroup phase;
  const char* heading;
};
constexpr Column kColumns[] = {
    {QuantityKind::kPhaseVoltage, PhaseGroup::kA, "Ua V"},
    {QuantityKind::kPhaseVoltage, PhaseGroup::kB, "Ub V"},
    {QuantityKind::kPhaseVoltage, PhaseGroup::kC, "Uc V"},
    {QuantityKind::kCurrent, PhaseGroup::kA, "Ia A"},
    {QuantityKind::kCurrent, PhaseGroup::kB, "Ib A"},
    {QuantityKind::kCurrent, PhaseGroup::kC, "Ic A"},
    {QuantityKind::kActivePower, PhaseGroup::kWhole, "P kW"},
    {QuantityKind::kPowerFactor, PhaseGroup::kWhole, "PF"},
    {QuantityKind::kFrequency, PhaseGroup::kWhole, "f Hz"},
};

// Cursor home, clear to the end of the screen.
constexpr const char* kRedraw = "\x1b[H\x1b[J";

}  // namespace

WatchScreen::WatchScreen(std::FILE* out, std::vector<int> slaves)
    : out_(out), slaves_(std::move(slaves)), rows_(slaves_.size()) {}

void WatchScreen::update(const RoundResult& report, const Summary& counts) {
  const auto at = std::find(slaves_.begin(), slaves_.end(), report.slave);
  if (at == slaves_.end()) return;
  Row& row = rows_[static_cast<std::size_t>(at - slaves_.begin())];
  row.seen = true;
  row.report = report;
  row.counts = counts;
}

void WatchScreen::draw(const LineSummary& totals) {
  using qxi18n::Align;
  using qxi18n::pad_to_width;
  const Summary* first = totals.meters.empty() ? nullptr : &totals.meters.front();
  std::fprintf(out_, "%s%s\n\n", kRedraw, first == nullptr ? "" : first->link.translated().c_str());
  std::fprintf(out_, "%s %s %s %s", pad_to_width(C_("column", "slave"), 5, Align::right).c_str(),
               pad_to_width(C_("column", "round"), 6, Align::right).c_str(),
               pad_to_width(C_("column", "time"), 19).c_str(),
               pad_to_width(C_("column", "status"), 12).c_str());
  for (const Column& c : kColumns) std::fprintf(out_, " %8s", c.heading);
  std::fprintf(out_, "  %s %s\n", pad_to_width(C_("column", "alarm"), 7).c_str(),
               C_("column", "ok/rounds"));
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    if (!row.seen) {
      std::fprintf(out_, "%5d %6s\n", slaves_[i], "-");
      continue;
    }
    const RoundResult& r = row.report;
    const std::string status =
        r.ok ? C_("round status", "ok") : qxcore::failure_label(outcome_name(r));
    std::fprintf(out_, "%5d %6ld %-19s %s", r.slave, r.round, r.time.c_str(),
                 pad_to_width(status, 12).c_str());
    for (const Column& c : kColumns) {
      const int index = qx7540pm::register_index(c.kind, c.phase);
      const Json::Value& v = r.snapshot.isObject() ? r.snapshot[qx7540pm::kRegisterMap[index].key]
                                                   : Json::Value::nullSingleton();
      if (r.ok && v.isNumeric()) {
        std::fprintf(out_, " %8.*f", qx7540pm::kRegisterMap[index].decimals, v.asDouble());
      } else {
        std::fprintf(out_, " %8s", "-");
      }
    }
    const char* alarm = !r.alarm_reported ? "-"
                        : r.alarm.state   ? C_("alarm state", "ALARM")
                                          : C_("alarm state", "normal");
    std::fprintf(out_, "  %s %ld/%ld\n", pad_to_width(alarm, 7).c_str(), row.counts.ok,
                 row.counts.rounds);
  }
  if (totals.cycles > 0) {
    std::fprintf(out_, "\n%s",
                 qxcore::format(P_("bus cycle %.1f ms mean over %ld cycle",
                                   "bus cycle %.1f ms mean over %ld cycles",
                                   static_cast<unsigned long>(totals.cycles)),
                                totals.total_cycle_ms / totals.cycles, totals.cycles)
                     .c_str());
    if (totals.cycle_wire_minimum_ms >= 0) {
      std::fprintf(
          out_, "%s",
          qxcore::format(_("; wire minimum %.1f ms"), totals.cycle_wire_minimum_ms).c_str());
    }
    std::fprintf(out_, "\n");
  }
  std::fflush(out_);
}

}  // namespace qxbench
