#include "watch.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <utility>

#include "qxcore/failures.h"
#include "qxcore/text.h"
#include "qxi18n/i18n.h"
#include "qxi18n/text_width.h"
#include "register_map.h"

namespace qxbench {
namespace {

using qx7540pm::PhaseGroup;
using qx7540pm::QuantityKind;
using qxi18n::Align;

constexpr int kDefaultColumns = 80;

// Cursor home, clear to the end of the screen.
constexpr const char* kRedraw = "\x1b[H\x1b[J";

enum class Id { kSlave, kRound, kTime, kStatus, kValue, kAlarm, kCounts };

// One column of the screen: its heading and a cell per meter.
struct Column {
  Id id;
  std::string heading;
  Align align;
  std::vector<std::string> cells;
  bool shown = true;
  std::size_t width() const {
    std::size_t w = qxi18n::display_width(heading);
    for (const std::string& cell : cells) w = std::max(w, qxi18n::display_width(cell));
    return w;
  }
};

// The values a row has room for, with the decimals the register map gives.
struct Value {
  QuantityKind kind;
  PhaseGroup phase;
  const char* heading;
};
constexpr Value kValues[] = {
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

// What a narrow terminal gives up, in this order, until the rows fit: the
// date of the time stamp, then whole columns, the least needed at a cabinet
// first. The slave id, the status and the phase voltages always stay.
enum class Cut {
  kDate,
  kRound,
  kTime,
  kFrequency,
  kPowerFactor,
  kPower,
  kCounts,
  kCurrents,
  kAlarm
};
constexpr Cut kCuts[] = {Cut::kDate,      Cut::kRound,       Cut::kTime,
                         Cut::kFrequency, Cut::kPowerFactor, Cut::kPower,
                         Cut::kCounts,    Cut::kCurrents,    Cut::kAlarm};

std::string value_cell(const RoundResult& r, const Value& value) {
  const int index = qx7540pm::register_index(value.kind, value.phase);
  const Json::Value& v = r.snapshot.isObject() ? r.snapshot[qx7540pm::kRegisterMap[index].key]
                                               : Json::Value::nullSingleton();
  if (!r.ok || !v.isNumeric()) return "-";
  return qxcore::format("%.*f", qx7540pm::kRegisterMap[index].decimals, v.asDouble());
}

std::size_t row_width(const std::vector<Column>& columns) {
  std::size_t width = 0;
  for (const Column& c : columns) {
    if (c.shown) width += (width == 0 ? 0 : 1) + c.width();
  }
  return width;
}

// The columns one cut leaves out (none for the date).
std::vector<std::size_t> columns_of(Cut cut, const std::vector<Column>& columns) {
  std::vector<std::size_t> found;
  const auto add = [&](Id id, const char* heading) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].id == id && (heading == nullptr || columns[i].heading == heading)) {
        found.push_back(i);
      }
    }
  };
  switch (cut) {
    case Cut::kDate:
      break;
    case Cut::kRound:
      add(Id::kRound, nullptr);
      break;
    case Cut::kTime:
      add(Id::kTime, nullptr);
      break;
    case Cut::kFrequency:
      add(Id::kValue, "f Hz");
      break;
    case Cut::kPowerFactor:
      add(Id::kValue, "PF");
      break;
    case Cut::kPower:
      add(Id::kValue, "P kW");
      break;
    case Cut::kCounts:
      add(Id::kCounts, nullptr);
      break;
    case Cut::kCurrents:
      for (const char* h : {"Ia A", "Ib A", "Ic A"}) add(Id::kValue, h);
      break;
    case Cut::kAlarm:
      add(Id::kAlarm, nullptr);
      break;
  }
  return found;
}

// Applies the cuts until the rows fit `width`; returns the note that says
// what the screen leaves out (empty when nothing).
std::string fit(std::vector<Column>& columns, std::size_t width) {
  bool date_cut = false;
  std::vector<std::string> hidden;
  for (Cut cut : kCuts) {
    if (row_width(columns) <= width) break;
    if (cut == Cut::kDate) {
      for (Column& c : columns) {
        if (c.id != Id::kTime) continue;
        for (std::string& cell : c.cells)
          cell = cell.substr(std::min(cell.size(), cell.rfind(' ') + 1));
      }
      date_cut = true;
      continue;
    }
    for (std::size_t i : columns_of(cut, columns)) {
      columns[i].shown = false;
      hidden.push_back(columns[i].heading);
      if (columns[i].id == Id::kTime) date_cut = false;
    }
  }
  if (!date_cut && hidden.empty()) return {};
  std::string left_out;
  if (date_cut) left_out = _("the time of day without the date");
  if (!hidden.empty()) {
    std::string list;
    for (const std::string& h : hidden) list += (list.empty() ? "" : C_("list", ", ")) + h;
    if (!left_out.empty()) left_out += C_("list of clauses", "; ");
    left_out += qxcore::format(_("not shown: %s"), list.c_str());
  }
  return qxcore::format(_("The terminal is %zu columns wide: %s (a wider one shows every column)."),
                        width, left_out.c_str());
}

}  // namespace

int terminal_columns(std::FILE* out) {
  winsize size{};
  if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* env = std::getenv("COLUMNS");
  if (env != nullptr) {
    char* end = nullptr;
    const long n = std::strtol(env, &end, 10);
    if (end != env && *end == '\0' && n > 0 && n < 10000) return static_cast<int>(n);
  }
  return kDefaultColumns;
}

WatchScreen::WatchScreen(std::FILE* out, std::vector<int> slaves, int columns)
    : out_(out), slaves_(std::move(slaves)), rows_(slaves_.size()), columns_(columns) {}

void WatchScreen::update(const RoundResult& report, const Summary& counts) {
  const auto at = std::find(slaves_.begin(), slaves_.end(), report.slave);
  if (at == slaves_.end()) return;
  Row& row = rows_[static_cast<std::size_t>(at - slaves_.begin())];
  row.seen = true;
  row.report = report;
  row.counts = counts;
}

void WatchScreen::draw(const LineSummary& totals) {
  std::vector<Column> columns = {
      {Id::kSlave, C_("column", "slave"), Align::right, {}},
      {Id::kRound, C_("column", "round"), Align::right, {}},
      {Id::kTime, C_("column", "time"), Align::left, {}},
      {Id::kStatus, C_("column", "status"), Align::left, {}},
  };
  for (const Value& v : kValues) columns.push_back({Id::kValue, v.heading, Align::right, {}});
  columns.push_back({Id::kAlarm, C_("column", "alarm"), Align::left, {}});
  columns.push_back({Id::kCounts, C_("column", "ok/rounds"), Align::left, {}});

  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const Row& row = rows_[i];
    const RoundResult& r = row.report;
    std::size_t value = 0;
    for (Column& c : columns) {
      std::string cell;
      switch (c.id) {
        case Id::kSlave:
          cell = std::to_string(slaves_[i]);
          break;
        case Id::kRound:
          cell = row.seen ? std::to_string(r.round) : "-";
          break;
        case Id::kTime:
          cell = row.seen ? r.time : "";
          break;
        case Id::kStatus:
          if (row.seen)
            cell = r.ok ? C_("round status", "ok") : qxcore::failure_label(outcome_name(r));
          break;
        case Id::kValue:
          cell = row.seen ? value_cell(r, kValues[value]) : "";
          ++value;
          break;
        case Id::kAlarm:
          if (row.seen) {
            cell = !r.alarm_reported ? "-"
                   : r.alarm.state   ? C_("alarm state", "ALARM")
                                     : C_("alarm state", "normal");
          }
          break;
        case Id::kCounts:
          if (row.seen)
            cell = std::to_string(row.counts.ok) + "/" + std::to_string(row.counts.rounds);
          break;
      }
      c.cells.push_back(cell);
    }
  }
  const std::size_t width =
      static_cast<std::size_t>(columns_ > 0 ? columns_ : terminal_columns(out_));
  const std::string note = fit(columns, width);

  const Summary* first = totals.meters.empty() ? nullptr : &totals.meters.front();
  std::fprintf(out_, "%s%s\n\n", kRedraw, first == nullptr ? "" : first->link.translated().c_str());
  const auto print_row = [&](const std::function<std::string(const Column&)>& text) {
    std::string line;
    for (const Column& c : columns) {
      if (!c.shown) continue;
      if (!line.empty()) line += ' ';
      line += qxi18n::pad_to_width(text(c), c.width(), c.align);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::fprintf(out_, "%s\n", line.c_str());
  };
  print_row([](const Column& c) { return c.heading; });
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    print_row([i](const Column& c) { return c.cells[i]; });
  }
  if (!note.empty()) {
    for (const std::string& line : qxi18n::wrap_to_width(note, width)) {
      std::fprintf(out_, "%s\n", line.c_str());
    }
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
