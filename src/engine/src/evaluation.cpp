#include "engine/evaluation.hpp"

#include "evaluation_on_pool.hpp"
#include "hit_list.hpp"
#include "matrix_scan.hpp"
#include "strand_records.hpp"

namespace vok {

EvaluationHits evaluate_on_pool(WorkerPool& pool, const CalculatorState& state,
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

  std::vector<std::vector<Hit>> chunks;
  for (auto& hits : per_matrix) hits.move_chunks_into(chunks);
  return EvaluationHits(std::move(chunks));
}

EvaluationHits evaluate(const CalculatorState& state, const std::function<bool()>& interrupted) {
  if (state.matrices.empty() || state.sequences.empty()) return {};
  return evaluate_on_pool(shared_worker_pool(), state, interrupted);
}

}  // namespace vok
