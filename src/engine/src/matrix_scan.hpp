#pragma once
// The scanning work of an evaluation: the models of all matrices, the records
// cut into pieces, and the scan of one piece with every model at once.
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "engine/calculator_state.hpp"
#include "engine/evaluation.hpp"
#include "scan/multi_scan.hpp"
#include "strand_records.hpp"
#include "worker_pool.hpp"

namespace vok {

// The cut-offs for a matrix: its profile entry (exact name) if there is one,
// else the defaults; always both values from one source.
Thresholds thresholds_for(const CalculatorState& state, const PwmMatrix& matrix);

// The models of one evaluation, in matrix order; matrices shorter than five
// positions have none.
struct EvaluationModels {
  std::vector<ScoringMatrix> models;      // built models
  std::vector<std::uint32_t> matrix_of;   // index into CalculatorState::matrices of each model
};

// Builds every matrix's model on the pool. Returns false when `interrupted`
// stopped the run; throws the InternalFailure of the first failing matrix.
bool build_models(WorkerPool& pool, const CalculatorState& state,
                  const std::function<bool()>& interrupted, EvaluationModels& built);

inline constexpr std::uint32_t kNoPartner = UINT32_MAX;

// Core positions begin .. end-1 of one strand record. A forward piece and
// its partner, the reverse piece over the same bases, are scanned together:
// one unit of parallel work.
struct ScanPiece {
  std::uint32_t record;                // index into the strand records
  std::uint64_t begin;                 // first core position (index of the word's first base)
  std::uint64_t end;                   // one past the last
  std::uint32_t partner = kNoPartner;  // of a forward piece: index of the reverse piece mirroring it
};

// Cuts every record into pieces, in record order, small enough that `threads`
// workers share the work evenly and large enough that a piece amortises its
// per-call costs; a reverse record is cut where its forward record is.
// Records of fewer than five bases have no piece.
std::vector<ScanPiece> plan_pieces(std::span<const StrandRecord> records, std::size_t threads);

// The hits of one piece, grouped by model: (model index, hits in scan order)
// for each model with any, ascending model index.
using PieceHits = std::vector<std::pair<std::uint32_t, std::vector<Hit>>>;

// Scans pieces[index] (with its partner, if any) with every model into
// hits[index] (and hits[partner]); hits carry forward-strand positions.
void scan_piece(const MultiScanner& scanner, const EvaluationModels& built,
                std::span<const StrandRecord> records, std::span<const ScanPiece> pieces,
                std::size_t index, std::span<PieceHits> hits);

}  // namespace vok
