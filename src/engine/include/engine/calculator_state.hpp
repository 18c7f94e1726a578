#pragma once
// Everything a calculator holds: what evaluation reads.
#include <vector>

#include "scoring/base_codes.hpp"
#include "scoring/pwm_matrix.hpp"
#include "scoring/thresholds.hpp"

namespace vok {

struct CalculatorState {
  std::vector<PwmMatrix> matrices;     // in adding order; any length, duplicates kept
  std::vector<BaseSequence> sequences; // in adding order; codes 0..3
  CutoffMap profiles;                  // per-matrix cut-offs, exact-name keys
  Thresholds defaults;                 // used by matrices without a cut-off entry
};

}  // namespace vok
