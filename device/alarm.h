// The input power interruption alarm: which registers it reads, how it scales
// them, its threshold and how it is reported to the controller. Header-only,
// so that host programs take these facts from here.
#pragma once

#include "register_map.h"

namespace qx7540pm {

/// The phase voltages A, B and C the check reads: registers 0, 8 and 16.
constexpr const RegisterEntry* kAlarmPhases[3] = {find_register(0), find_register(8),
                                                  find_register(16)};

/// Kept for the controller's alarm configuration: the check divides the phase
/// voltage registers by 100, not by 10 as the snapshot does, so its text shows
/// a tenth of the snapshot's voltage and the threshold applies to register / 100.
constexpr float kAlarmDivisor = 100.0f;
/// A monitored phase below this (after kAlarmDivisor) counts as interrupted.
constexpr float kInterruptionThreshold = 120.0f;

/// The arguments of the report to the framework's boolean alarm check.
constexpr int kAlarmKind = 1;
constexpr unsigned short kAlarmLevel = 1;
constexpr const char* kAlarmId = "p41_44_0";
constexpr const char* kAlarmCode = "321415001";
constexpr const char* kAlarmName = "输入电源中断";

}  // namespace qx7540pm
