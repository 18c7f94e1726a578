#include "engine/evaluation.hpp"

#include "evaluation_on_pool.hpp"
#include "hit_list.hpp"
#include "matrix_scan.hpp"
#include "strand_records.hpp"

namespace vok {

std::vector<Hit> evaluate_on_pool(WorkerPool& pool, const CalculatorState& state,
                                  const std::function<bool()>& interrupted) {
  if (state.matrices.empty() || state.sequences.empty()) return {};
  const StrandRecords strands(state.sequences);
  const std::span<const StrandRecord> records = strands.records();

  // One hit list per matrix, each written only by the task of its matrix.
  std::vector<HitList> per_matrix(state.matrices.size());
  const PoolTask task = [&](std::size_t index, const StopSignal& stop) {
    scan_matrix(state, static_cast<std::uint32_t>(index), records, stop, per_matrix[index]);
  };
  if (pool.run(per_matrix.size(), task, interrupted) == RunOutcome::kInterrupted) {
    throw EvaluationInterrupted();
  }

  std::size_t total = 0;
  for (const auto& hits : per_matrix) total += hits.size();
  std::vector<Hit> result;
  result.reserve(total);
  for (auto& hits : per_matrix) hits.move_into(result);  // frees as it goes
  return result;
}

std::vector<Hit> evaluate(const CalculatorState& state, const std::function<bool()>& interrupted) {
  if (state.matrices.empty() || state.sequences.empty()) return {};
  return evaluate_on_pool(shared_worker_pool(), state, interrupted);
}

}  // namespace vok
