#pragma once
// Everything a calculator holds: what evaluation reads.
#include <memory>
#include <mutex>
#include <vector>

#include "scoring/base_codes.hpp"
#include "scoring/pwm_matrix.hpp"
#include "scoring/thresholds.hpp"

namespace vok {

class PreparedModels;  // the scoring models and scan tables of one set of matrices and cut-offs

// The models the last evaluation built, kept for the next one: building them
// costs about as much as scanning a few hundred thousand bases. Evaluation
// uses them only while the matrices and their cut-offs are still exactly those
// they were built from, so any change to the calculator simply rebuilds.
// A copied or moved-to state starts with an empty cache.
class ModelCache {
 public:
  ModelCache() = default;
  ModelCache(const ModelCache&) {}
  ModelCache& operator=(const ModelCache&) { return *this; }

  std::shared_ptr<const PreparedModels> get() const {
    std::lock_guard lock(mutex_);
    return prepared_;
  }
  void set(std::shared_ptr<const PreparedModels> prepared) const {
    std::lock_guard lock(mutex_);
    prepared_ = std::move(prepared);
  }

 private:
  mutable std::mutex mutex_;                              // evaluations may run at once
  mutable std::shared_ptr<const PreparedModels> prepared_;  // null until an evaluation stores one
};

struct CalculatorState {
  std::vector<PwmMatrix> matrices;     // in adding order; any length, duplicates kept
  std::vector<BaseSequence> sequences; // in adding order; codes 0..3
  CutoffMap profiles;                  // per-matrix cut-offs, exact-name keys
  Thresholds defaults;                 // used by matrices without a cut-off entry
  ModelCache models;                   // derived from matrices, profiles and defaults
};

}  // namespace vok
