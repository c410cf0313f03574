// What each rendered register measures, for the programs that show the
// meter's values (the bench's text table, live screen, report and CSV):
// the kind of quantity, the phase it belongs to, its unit and the decimals
// a reading is shown with. Header-only and C++11, for host programs; the
// plug-in itself does not need it.
#pragma once

#include <cstddef>

namespace qx7540pm {

/// The kind of quantity a register holds.
enum class QuantityKind {
  kPhaseVoltage,
  kLineVoltage,
  kCurrent,
  kActivePower,
  kReactivePower,
  kApparentPower,
  kPowerFactor,
  kFrequency,
  kDigitalInputs,
  kDigitalOutputs,
  kUnused,
  kForwardActiveEnergy,
  kReverseActiveEnergy,
  kForwardReactiveEnergy,
  kReverseReactiveEnergy,
};

/// The phase group: phase A (or line AB), B (BC), C (CA), or the meter as a
/// whole (the three phases' average or total, and single-valued registers).
enum class PhaseGroup { kA, kB, kC, kWhole };

struct Quantity {
  int reg;  ///< Modbus register number, as in register_map.h
  QuantityKind kind;
  PhaseGroup phase;
  const char* unit;  ///< "" for plain numbers
  int decimals;      ///< decimals a reading is shown with
};

constexpr std::size_t kQuantityCount = 36;

/// One row per rendered register, in register-map order.
static const Quantity kQuantities[kQuantityCount] = {
    {0, QuantityKind::kPhaseVoltage, PhaseGroup::kA, "V", 1},
    {1, QuantityKind::kLineVoltage, PhaseGroup::kC, "V", 1},
    {2, QuantityKind::kCurrent, PhaseGroup::kA, "A", 3},
    {3, QuantityKind::kDigitalInputs, PhaseGroup::kWhole, "", 0},
    {4, QuantityKind::kActivePower, PhaseGroup::kA, "kW", 3},
    {5, QuantityKind::kPowerFactor, PhaseGroup::kA, "", 4},
    {6, QuantityKind::kReactivePower, PhaseGroup::kA, "kvar", 3},
    {7, QuantityKind::kApparentPower, PhaseGroup::kA, "kVA", 3},
    {8, QuantityKind::kPhaseVoltage, PhaseGroup::kB, "V", 1},
    {9, QuantityKind::kLineVoltage, PhaseGroup::kA, "V", 1},
    {10, QuantityKind::kCurrent, PhaseGroup::kB, "A", 3},
    {11, QuantityKind::kDigitalOutputs, PhaseGroup::kWhole, "", 0},
    {12, QuantityKind::kActivePower, PhaseGroup::kB, "kW", 3},
    {13, QuantityKind::kPowerFactor, PhaseGroup::kB, "", 4},
    {14, QuantityKind::kReactivePower, PhaseGroup::kB, "kvar", 3},
    {15, QuantityKind::kApparentPower, PhaseGroup::kB, "kVA", 3},
    {16, QuantityKind::kPhaseVoltage, PhaseGroup::kC, "V", 1},
    {17, QuantityKind::kLineVoltage, PhaseGroup::kB, "V", 1},
    {18, QuantityKind::kCurrent, PhaseGroup::kC, "A", 3},
    {19, QuantityKind::kUnused, PhaseGroup::kWhole, "", 0},
    {20, QuantityKind::kActivePower, PhaseGroup::kC, "kW", 3},
    {21, QuantityKind::kPowerFactor, PhaseGroup::kC, "", 4},
    {22, QuantityKind::kReactivePower, PhaseGroup::kC, "kvar", 3},
    {23, QuantityKind::kApparentPower, PhaseGroup::kC, "kVA", 3},
    {24, QuantityKind::kLineVoltage, PhaseGroup::kWhole, "V", 1},
    {25, QuantityKind::kPhaseVoltage, PhaseGroup::kWhole, "V", 1},
    {26, QuantityKind::kCurrent, PhaseGroup::kWhole, "A", 3},
    {27, QuantityKind::kFrequency, PhaseGroup::kWhole, "Hz", 3},
    {28, QuantityKind::kActivePower, PhaseGroup::kWhole, "kW", 3},
    {29, QuantityKind::kPowerFactor, PhaseGroup::kWhole, "", 4},
    {30, QuantityKind::kReactivePower, PhaseGroup::kWhole, "kvar", 3},
    {31, QuantityKind::kApparentPower, PhaseGroup::kWhole, "kVA", 3},
    {33, QuantityKind::kForwardActiveEnergy, PhaseGroup::kWhole, "kWh", 0},
    {34, QuantityKind::kReverseActiveEnergy, PhaseGroup::kWhole, "kWh", 0},
    {35, QuantityKind::kForwardReactiveEnergy, PhaseGroup::kWhole, "kvarh", 0},
    {36, QuantityKind::kReverseReactiveEnergy, PhaseGroup::kWhole, "kvarh", 0},
};

/// Index in kQuantities (and in the register map) of a kind and phase;
/// kQuantityCount when the meter has no such register.
inline std::size_t quantity_index(QuantityKind kind, PhaseGroup phase) {
  for (std::size_t i = 0; i < kQuantityCount; ++i) {
    if (kQuantities[i].kind == kind && kQuantities[i].phase == phase) return i;
  }
  return kQuantityCount;
}

}  // namespace qx7540pm
