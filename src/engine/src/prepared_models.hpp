#pragma once
// The models and the multi-model scanner of one set of matrices and cut-offs,
// and the test of whether a calculator's state still has that set.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "matrix_scan.hpp"

namespace vok {

class PreparedModels {
 public:
  // Builds every matrix's model and the scanner's tables on the pool. Throws
  // EvaluationInterrupted when `interrupted` stopped the work, and the first
  // failing matrix's InternalFailure as build_models does.
  static std::shared_ptr<const PreparedModels> build(WorkerPool& pool, const CalculatorState& state,
                                                     const std::function<bool()>& interrupted);

  // True when `state` has the same matrices (names, lengths, value bits) with
  // the same cut-off bits, in the same order, as this was built from.
  bool built_from(const CalculatorState& state) const;

  const EvaluationModels& models() const { return built_; }
  const MultiScanner& scanner() const { return *scanner_; }  // only when models() has any

 private:
  struct Source {
    std::string name;           // the matrix's name
    std::size_t length;         // L
    std::vector<float> values;  // the raw matrix values
    Thresholds thresholds;      // the cut-offs it was built with
  };
  std::vector<Source> sources_;            // one per matrix of the state, in order
  EvaluationModels built_;                 // the models; the scanner refers to them
  std::unique_ptr<MultiScanner> scanner_;  // null when no matrix has a model
};

}  // namespace vok
