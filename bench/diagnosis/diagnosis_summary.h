// One meter's diagnosis over its run: each check's verdict, its limit and
// the standard it comes from, and the worst value with its round. The text
// summary and the commissioning report show it.
#pragma once

#include <array>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "diagnosis/diagnosis.h"

namespace qxbench {

enum class CheckState { kPassed, kAttention, kNote, kNotJudged };

/// A check's verdict over the run, in the run's language.
struct CheckRow {
  Check check = Check::kConsistency;
  CheckState state = CheckState::kNotJudged;
  std::string name;   ///< "Supply voltage deviation"
  std::string limit;  ///< the limit and its standard
  std::string worst;  ///< the worst value and its round
  std::string cause;  ///< the worst finding's cause and what to check; empty when passed
};

class RunDiagnosis {
 public:
  explicit RunDiagnosis(const DiagnosisBasis& basis = {}) : basis_(basis) {}

  /// One round's diagnosis (a round that published nothing is not judged).
  void add(long round, const RoundDiagnosis& diagnosis);

  CheckState state(Check check) const;
  /// No check needs attention.
  bool clear() const;
  long judged_rounds() const { return judged_; }
  const DiagnosisBasis& basis() const { return basis_; }
  std::vector<CheckRow> rows() const;

 private:
  struct Worst {
    double value = NAN;
    std::string phase;
    long round = -1;
  };
  struct Over {
    long rounds = 0;  ///< rounds with a finding
    Finding worst;
    long worst_round = -1;
    double worst_distance = -1;
  };
  std::string worst_text(Check check) const;

  DiagnosisBasis basis_;
  long judged_ = 0;
  std::array<Over, kCheckCount> checks_{};
  Worst voltage_deviation_, frequency_deviation_, voltage_unbalance_, current_unbalance_;
  std::vector<double> unbalances_;  ///< the rounds judged for voltage unbalance
};

/// Every meter's diagnosis over the run, for the text summaries.
class MetersDiagnosis {
 public:
  void add(int slave, long round, const RoundDiagnosis& diagnosis) {
    meters_.try_emplace(slave, diagnosis.basis).first->second.add(round, diagnosis);
  }
  /// The section of each meter that had a round, in the order of `slaves`.
  void print(std::FILE* out, const std::vector<int>& slaves) const;

 private:
  std::map<int, RunDiagnosis> meters_;
};

/// The check's name for people ("Three-phase voltage unbalance").
const char* check_name(Check check);
/// "passed", "needs attention", "note", "not judged".
const char* state_label(CheckState state);

/// "Wiring and supply quality, slave 1 ..." and a line or more per check.
void print_run_diagnosis(std::FILE* out, int slave, const RunDiagnosis& diagnosis);

}  // namespace qxbench
