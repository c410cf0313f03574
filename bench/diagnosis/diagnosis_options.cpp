#include "diagnosis/diagnosis_options.h"

#include "qxi18n/i18n.h"

namespace qxbench {

void add_diagnosis_options(CLI::App& app, DiagnosisBasis& basis) {
  const std::string group = _("Diagnosis");
  app.add_option("--nominal-voltage", basis.nominal_voltage,
                 _("Nominal phase voltage in V (default 220; the line voltage is the square root "
                   "of 3 times it)"))
      ->check(CLI::Range(kLowestNominal, kHighestNominalVoltage))
      ->group(group);
  app.add_option("--nominal-frequency", basis.nominal_frequency,
                 _("Nominal frequency in Hz (default 50)"))
      ->check(CLI::Range(kLowestNominal, kHighestNominalFrequency))
      ->group(group);
  app.add_flag_callback(
         "--small-system", [&basis] { basis.frequency_limit = kSmallSystemFrequencyLimit; },
         _("A small power system: the frequency may deviate by 0.5 Hz instead of 0.2 Hz "
           "(GB/T 15945-2008)"))
      ->group(group);
}

}  // namespace qxbench
