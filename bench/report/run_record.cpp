#include "run_record.h"

#include <cmath>

namespace qxbench {

void add_round(RecordedMeter& meter, RecordedRound round) {
  if (round.alarm != AlarmState::kNone) {
    if (round.alarm == meter.last_alarm) round.alarm_text.clear();
    meter.last_alarm = round.alarm;
  }
  meter.rounds.push_back(std::move(round));
}

RecordedMeter& RecordedRun::meter(int slave) {
  for (RecordedMeter& m : meters) {
    if (m.slave == slave) return m;
  }
  RecordedMeter& added = meters.emplace_back();
  added.slave = slave;
  return added;
}

Readings readings_of(const RecordedRound& round) {
  Readings readings;
  for (std::size_t i = 0; i < readings.size(); ++i) readings[i] = round.values[i];
  return readings;
}

}  // namespace qxbench
