#include "engine/evaluation.hpp"

#include "evaluation_on_pool.hpp"
#include "matrix_scan.hpp"
#include "prepared_models.hpp"
#include "strand_records.hpp"

namespace vok {

EvaluationHits evaluate_on_pool(WorkerPool& pool, const CalculatorState& state,
                                  const std::function<bool()>& interrupted) {
  if (state.matrices.empty() || state.sequences.empty()) return {};
  std::shared_ptr<const PreparedModels> prepared = state.models.get();
  if (!prepared || !prepared->built_from(state)) {
    prepared = PreparedModels::build(pool, state, interrupted);
    state.models.set(prepared);
  }
  const EvaluationModels& built = prepared->models();
  if (built.models.empty()) return {};
  const MultiScanner& scanner = prepared->scanner();

  const StrandRecords strands(state.sequences);
  const std::span<const StrandRecord> records = strands.records();
  const std::vector<ScanPiece> pieces = plan_pieces(records, pool.thread_count());

  // Every piece (with its partner) is scanned with all models by one worker;
  // each writes only its own slots.
  std::vector<std::size_t> leads;
  std::vector<bool> partnered(pieces.size(), false);
  for (const ScanPiece& piece : pieces) {
    if (piece.partner != kNoPartner) partnered[piece.partner] = true;
  }
  for (std::size_t index = 0; index < pieces.size(); ++index) {
    if (!partnered[index]) leads.push_back(index);
  }
  std::vector<PieceHits> per_piece(pieces.size());
  const PoolTask task = [&](std::size_t lead, const StopSignal& stop) {
    if (stop.requested()) return;
    scan_piece(scanner, built, records, pieces, leads[lead], per_piece);
  };
  if (pool.run(leads.size(), task, interrupted) == RunOutcome::kInterrupted) {
    throw EvaluationInterrupted();
  }

  // Result order: per model (matrix order), the pieces in record order.
  // Each piece lists its models ascending, so one cursor per piece suffices.
  std::vector<std::size_t> cursor(pieces.size(), 0);
  std::vector<std::vector<Hit>> chunks;
  for (std::uint32_t k = 0; k < built.models.size(); ++k) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      PieceHits& hits = per_piece[i];
      if (cursor[i] < hits.size() && hits[cursor[i]].first == k) {
        chunks.push_back(std::move(hits[cursor[i]].second));
        ++cursor[i];
      }
    }
  }
  return EvaluationHits(std::move(chunks));
}

EvaluationHits evaluate(const CalculatorState& state, const std::function<bool()>& interrupted) {
  if (state.matrices.empty() || state.sequences.empty()) return {};
  return evaluate_on_pool(shared_worker_pool(), state, interrupted);
}

}  // namespace vok
