// What the simulated meter measures: its holding registers 0..40, round by
// round. The built-in profile is a balanced three-phase 230 V / 50 Hz load;
// a profile file pins any register, by number or by snapshot key.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "qxsim/faults.h"

namespace qxsim {

/// Registers the meter serves: 0..40.
constexpr int kRegisterCount = 41;
using RegisterImage = std::array<std::uint16_t, kRegisterCount>;

/// How a snapshot key maps to its register (the meter's documented scaling).
struct KeyScale {
  const char* key;
  int reg;
  double divisor;  ///< engineering value = word / divisor
};

/// The 36 register-backed snapshot keys, in register order.
const KeyScale* key_scales();
constexpr int kKeyScaleCount = 36;
/// Finds a key's row; nullptr when the key is not a register-backed snapshot key.
const KeyScale* find_key(const std::string& key);

class Profile {
 public:
  /// The built-in balanced load, varying a little each round from `seed`.
  Profile();

  /// The image served in round `round` (from 1), with the outage applied.
  RegisterImage image_for_round(long round, const Outage& outage) const;

  /// Fixes a register to a word for every round.
  void pin(int reg, std::uint16_t word);
  /// Moves a register by `words` each round after the first (wrapping like
  /// the meter's 16-bit words), from its pinned or modelled value.
  void step(int reg, int words);
  /// Turns per-round variation and rising energies on or off.
  void set_varying(bool on) { varying_ = on; }
  void set_seed(std::uint32_t seed) { seed_ = seed; }

 private:
  RegisterImage pinned_{};
  std::array<bool, kRegisterCount> is_pinned_{};
  std::array<int, kRegisterCount> steps_{};
  bool varying_ = true;
  std::uint32_t seed_;
};

/// Reads a profile file: {"vary": bool, "seed": n, "registers": {"0": 2300,
/// "相电压Ub": 231.5, ...}, "steps": {"负向有功电能": 1}}. Register numbers take
/// raw words, snapshot keys take engineering values; a step is what a
/// register gains each round. On failure returns false with a message that
/// names the file and, for bad JSON, the line and column.
bool load_profile(const std::string& path, Profile& profile, std::string& error);

/// Engineering value to register word, rounded and range-checked.
bool word_from_value(double value, double divisor, std::uint16_t& word);

}  // namespace qxsim
