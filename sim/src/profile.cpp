#include "qxsim/profile.h"

#include "qxcore/text.h"
#include "qxi18n/i18n.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <json/value.h>

#include "qxcore/input_file.h"
#include "register_map.h"

namespace qxsim {
namespace {

// The one scale the simulator takes from the device: the frequency divisor is
// an exact double, not a round number a profile would restate.
using qx7540pm::kFrequencyDivisor;
constexpr std::uint32_t kDefaultSeed = 7540;

// Register numbers of the quantities the load model derives.
constexpr int kPhaseVoltage[3] = {0, 8, 16};
constexpr int kPhaseCurrent[3] = {2, 10, 18};
constexpr int kPhaseActive[3] = {4, 12, 20};
constexpr int kPhaseFactor[3] = {5, 13, 21};
constexpr int kPhaseReactive[3] = {6, 14, 22};
constexpr int kPhaseApparent[3] = {7, 15, 23};
// Line voltage registers, each between phase i and phase (i + 1) % 3: Uab, Ubc, Uca.
constexpr int kLineVoltage[3] = {9, 17, 1};
constexpr int kAverageLine = 24, kAveragePhase = 25, kAverageCurrent = 26, kFrequency = 27;
constexpr int kTotalActive = 28, kTotalFactor = 29, kTotalReactive = 30, kTotalApparent = 31;
constexpr int kForwardActiveEnergy = 33, kForwardReactiveEnergy = 35;

// The balanced load: 230.0 V, 5.000 A, power factor 0.95, 50.00 Hz.
constexpr double kVolts = 230.0;
constexpr double kAmps = 5.0;
constexpr double kFactor = 0.95;
constexpr std::uint16_t kFrequencyWord = 46811;
constexpr std::uint16_t kForwardActiveStart = 1200;
constexpr std::uint16_t kForwardReactiveStart = 400;
// Per-round variation, in register counts either way.
constexpr int kVoltsJitter = 5;      // 0.5 V
constexpr int kAmpsJitter = 50;      // 50 mA
constexpr int kFactorJitter = 30;    // 0.003
constexpr int kFrequencyJitter = 9;  // about 0.01 Hz

constexpr KeyScale kKeys[kKeyScaleCount] = {
    {"相电压Ua", 0, 10},          {"线电压Uca", 1, 10},
    {"A相电流", 2, 1000},         {"DI", 3, 1},
    {"A相有功功率", 4, 1000},     {"A相功率因数", 5, 10000},
    {"A相无功功率", 6, 1000},     {"A相视在功率", 7, 1000},
    {"相电压Ub", 8, 10},          {"线电压Uab", 9, 10},
    {"B相电流", 10, 1000},        {"DO", 11, 1},
    {"B相有功功率", 12, 1000},    {"B相功率因数", 13, 10000},
    {"B相无功功率", 14, 1000},    {"B相视在功率", 15, 1000},
    {"相电压Uc", 16, 10},         {"线电压Ubc", 17, 10},
    {"C相电流", 18, 1000},        {"无效", 19, 1},
    {"C相有功功率", 20, 1000},    {"C相功率因数", 21, 10000},
    {"C相无功功率", 22, 1000},    {"C相视在功率", 23, 1000},
    {"三相平均线电压", 24, 10},   {"三相平均相电压", 25, 10},
    {"三相平均相电流", 26, 1000}, {"频率", 27, kFrequencyDivisor},
    {"三相有功功率", 28, 1000},   {"三相总功率因数", 29, 10000},
    {"三相无功功率", 30, 1000},   {"三相视在功率", 31, 1000},
    {"正向有功电能", 33, 1},      {"负向有功电能", 34, 1},
    {"正向无功电能", 35, 1},      {"负向无功电能", 36, 1},
};

// A reproducible value in [-span, span] for (seed, round, slot): the same
// round always serves the same image, whatever was asked before.
int jitter(std::uint32_t seed, long round, int slot, int span) {
  std::uint64_t x = (static_cast<std::uint64_t>(seed) << 32) ^
                    (static_cast<std::uint64_t>(round) * 0x9E3779B97F4A7C15ull) ^
                    static_cast<std::uint64_t>(slot) * 0xD1B54A32D192ED03ull;
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  return static_cast<int>(x % static_cast<std::uint64_t>(2 * span + 1)) - span;
}

std::uint16_t clamp_word(double value) {
  if (!(value > 0)) return 0;
  if (value >= 65535.0) return 65535;
  return static_cast<std::uint16_t>(std::lround(value));
}

int phase_index(char phase) {
  if (phase == 'A' || phase == 'a') return 0;
  if (phase == 'B' || phase == 'b') return 1;
  if (phase == 'C' || phase == 'c') return 2;
  return -1;
}

/// "steps": {"34": 1, "负向有功电能": 1}: words per round by register number,
/// engineering units per round by snapshot key.
template <typename Fail>
bool load_steps(const Json::Value& steps, Profile& profile, const Fail& fail) {
  constexpr double kLargestStep = 65535;
  if (!steps.isNull() && !steps.isObject()) return fail(_("\"steps\" must be an object"));
  for (const std::string& name : steps.getMemberNames()) {
    const Json::Value& value = steps[name];
    char* end = nullptr;
    const long reg = std::strtol(name.c_str(), &end, 10);
    const bool numbered = !name.empty() && *end == '\0';
    const KeyScale* row = numbered ? nullptr : find_key(name);
    if (numbered ? reg < 0 || reg >= kRegisterCount : row == nullptr) {
      return fail(qxcore::format(_("step \"%s\" is neither a register 0..40 nor a snapshot key"),
                                 name.c_str()));
    }
    const double words =
        value.isNumeric() ? std::round(value.asDouble() * (numbered ? 1 : row->divisor)) : NAN;
    if ((numbered && !value.isIntegral()) || !(std::fabs(words) <= kLargestStep)) {
      return fail(qxcore::format(
          _("step \"%s\": a step is a number of register words, -65535..65535, per round"),
          name.c_str()));
    }
    profile.step(numbered ? static_cast<int>(reg) : row->reg, static_cast<int>(words));
  }
  return true;
}

}  // namespace

const KeyScale* key_scales() { return kKeys; }

const KeyScale* find_key(const std::string& key) {
  for (const KeyScale& row : kKeys) {
    if (key == row.key) return &row;
  }
  return nullptr;
}

bool word_from_value(double value, double divisor, std::uint16_t& word) {
  const double scaled = std::round(value * divisor);
  if (!(scaled >= 0.0 && scaled <= 65535.0)) return false;
  word = static_cast<std::uint16_t>(scaled);
  return true;
}

Profile::Profile() : seed_(kDefaultSeed) {}

void Profile::pin(int reg, std::uint16_t word) {
  if (reg < 0 || reg >= kRegisterCount) return;
  pinned_[reg] = word;
  is_pinned_[reg] = true;
}

void Profile::step(int reg, int words) {
  if (reg < 0 || reg >= kRegisterCount) return;
  steps_[reg] = words;
}

RegisterImage Profile::image_for_round(long round, const Outage& outage) const {
  RegisterImage image{};
  const int dead = round >= outage.from_round ? phase_index(outage.phase) : -1;
  const auto vary = [&](int slot, int span) {
    return varying_ ? jitter(seed_, round, slot, span) : 0;
  };

  double volts[3], amps[3], p_total = 0, q_total = 0, s_total = 0;
  for (int i = 0; i < 3; ++i) {
    const bool off = i == dead;
    const double v = off ? 0 : kVolts + vary(3 * i, kVoltsJitter) / 10.0;
    const double a = off ? 0 : kAmps + vary(3 * i + 1, kAmpsJitter) / 1000.0;
    const double pf = off ? 0 : kFactor + vary(3 * i + 2, kFactorJitter) / 10000.0;
    const double s = v * a / 1000.0;  // kVA
    const double p = s * pf;
    const double q = std::sqrt(std::max(0.0, s * s - p * p));
    volts[i] = v;
    amps[i] = a;
    image[kPhaseVoltage[i]] = clamp_word(v * 10);
    image[kPhaseCurrent[i]] = clamp_word(a * 1000);
    image[kPhaseFactor[i]] = clamp_word(pf * 10000);
    image[kPhaseActive[i]] = clamp_word(p * 1000);
    image[kPhaseReactive[i]] = clamp_word(q * 1000);
    image[kPhaseApparent[i]] = clamp_word(s * 1000);
    p_total += p;
    q_total += q;
    s_total += s;
  }
  double line_sum = 0;
  for (int i = 0; i < 3; ++i) {
    // Phasors 120 degrees apart: |Ui - Uj|; with one phase out it is the other phase.
    const double a = volts[i], b = volts[(i + 1) % 3];
    const double line = std::sqrt(a * a + b * b + a * b);
    image[kLineVoltage[i]] = clamp_word(line * 10);
    line_sum += line;
  }
  image[kAverageLine] = clamp_word(line_sum / 3 * 10);
  image[kAveragePhase] = clamp_word((volts[0] + volts[1] + volts[2]) / 3 * 10);
  image[kAverageCurrent] = clamp_word((amps[0] + amps[1] + amps[2]) / 3 * 1000);
  image[kFrequency] = static_cast<std::uint16_t>(kFrequencyWord + vary(20, kFrequencyJitter));
  image[kTotalActive] = clamp_word(p_total * 1000);
  image[kTotalReactive] = clamp_word(q_total * 1000);
  image[kTotalApparent] = clamp_word(s_total * 1000);
  image[kTotalFactor] = s_total > 0 ? clamp_word(p_total / s_total * 10000) : 0;
  // The energy counters rise one unit a round and wrap like the meter's 16-bit words.
  const long rise = varying_ ? round : 0;
  image[kForwardActiveEnergy] = static_cast<std::uint16_t>(kForwardActiveStart + rise);
  image[kForwardReactiveEnergy] = static_cast<std::uint16_t>(kForwardReactiveStart + rise);

  for (int reg = 0; reg < kRegisterCount; ++reg) {
    if (is_pinned_[reg]) image[reg] = pinned_[reg];
    // Modulo 2^16, as the meter's counters wrap.
    const long long moved = image[reg] + static_cast<long long>(steps_[reg]) * (round - 1);
    image[reg] = static_cast<std::uint16_t>(((moved % 65536) + 65536) % 65536);
  }
  if (dead >= 0) {
    // A pinned value does not survive the outage of its phase.
    for (const int* regs : {kPhaseVoltage, kPhaseCurrent, kPhaseActive, kPhaseFactor,
                            kPhaseReactive, kPhaseApparent}) {
      image[regs[dead]] = 0;
    }
  }
  return image;
}

bool load_profile(const std::string& path, Profile& profile, std::string& error) {
  Json::Value root;
  if (!qxcore::read_json_file(path, C_("file kind", "profile"), root, error)) return false;
  const auto fail = [&](const std::string& what) {
    error = qxcore::format(_("profile %s: %s"), path.c_str(), what.c_str());
    return false;
  };
  if (!root.isObject()) return fail(_("the top level must be a JSON object"));
  for (const std::string& name : root.getMemberNames()) {
    if (name != "vary" && name != "seed" && name != "registers" && name != "steps" &&
        name != "_comment") {
      return fail(qxcore::format(_("unknown member \"%s\" (expected vary, seed, registers, steps)"),
                                 name.c_str()));
    }
  }
  if (root.isMember("vary")) {
    if (!root["vary"].isBool()) return fail(_("\"vary\" must be true or false"));
    profile.set_varying(root["vary"].asBool());
  }
  if (root.isMember("seed")) {
    if (!root["seed"].isUInt()) return fail(_("\"seed\" must be a non-negative integer"));
    profile.set_seed(root["seed"].asUInt());
  }
  const Json::Value& regs = root["registers"];
  if (!regs.isNull() && !regs.isObject()) return fail(_("\"registers\" must be an object"));
  for (const std::string& name : regs.getMemberNames()) {
    const Json::Value& value = regs[name];
    if (!value.isNumeric())
      return fail(qxcore::format(_("register \"%s\": the value must be a number"), name.c_str()));
    char* end = nullptr;
    const long reg = std::strtol(name.c_str(), &end, 10);
    std::uint16_t word = 0;
    if (!name.empty() && *end == '\0') {
      if (reg < 0 || reg >= kRegisterCount)
        return fail(qxcore::format(_("register %s is not in 0 to 40"), name.c_str()));
      if (!value.isIntegral() || value.asDouble() < 0 || value.asDouble() > 65535) {
        return fail(qxcore::format(_("register %s: a register takes a whole word 0 to 65535"),
                                   name.c_str()));
      }
      word = static_cast<std::uint16_t>(value.asUInt());
      profile.pin(static_cast<int>(reg), word);
      continue;
    }
    const KeyScale* row = find_key(name);
    if (row == nullptr)
      return fail(qxcore::format(_("\"%s\" is neither a register 0 to 40 nor a snapshot key"),
                                 name.c_str()));
    if (!word_from_value(value.asDouble(), row->divisor, word)) {
      return fail(qxcore::format(_("\"%s\": %s does not fit a register word once scaled"),
                                 name.c_str(), std::to_string(value.asDouble()).c_str()));
    }
    profile.pin(row->reg, word);
  }
  return load_steps(root["steps"], profile, fail);
}

}  // namespace qxsim
