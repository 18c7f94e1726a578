#include "prepared_models.hpp"

#include <bit>
#include <cstring>

namespace vok {
namespace {

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

}  // namespace

std::shared_ptr<const PreparedModels> PreparedModels::build(WorkerPool& pool, const CalculatorState& state,
                                                            const std::function<bool()>& interrupted) {
  auto prepared = std::make_shared<PreparedModels>();
  if (!build_models(pool, state, interrupted, prepared->built_)) throw EvaluationInterrupted();
  if (!prepared->built_.models.empty()) {
    prepared->scanner_ = std::make_unique<MultiScanner>(
        prepared->built_.models, [&](std::size_t count, const std::function<void(std::size_t)>& body) {
          const PoolTask task = [&](std::size_t index, const StopSignal&) { body(index); };
          if (pool.run(count, task, interrupted) == RunOutcome::kInterrupted) throw EvaluationInterrupted();
        });
  }
  prepared->sources_.reserve(state.matrices.size());
  for (const PwmMatrix& matrix : state.matrices) {
    prepared->sources_.push_back({matrix.name, matrix.length, matrix.values, thresholds_for(state, matrix)});
  }
  return prepared;
}

bool PreparedModels::built_from(const CalculatorState& state) const {
  if (state.matrices.size() != sources_.size()) return false;
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    const Source& source = sources_[i];
    const PwmMatrix& matrix = state.matrices[i];
    const Thresholds thresholds = thresholds_for(state, matrix);
    if (matrix.length != source.length || matrix.name != source.name ||
        matrix.values.size() != source.values.size() ||
        (!source.values.empty() &&
         std::memcmp(matrix.values.data(), source.values.data(), source.values.size() * sizeof(float)) != 0) ||
        !same_bits(thresholds.css, source.thresholds.css) || !same_bits(thresholds.mss, source.thresholds.mss)) {
      return false;
    }
  }
  return true;
}

}  // namespace vok
