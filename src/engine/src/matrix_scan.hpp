#pragma once
// The work of one matrix in an evaluation: its model and its scan of every record.
#include <cstdint>
#include <span>
#include <vector>

#include "engine/calculator_state.hpp"
#include "engine/evaluation.hpp"
#include "hit_list.hpp"
#include "strand_records.hpp"
#include "worker_pool.hpp"

namespace vok {

// The cut-offs for a matrix: its profile entry (exact name) if there is one,
// else the defaults; always both values from one source.
Thresholds thresholds_for(const CalculatorState& state, const PwmMatrix& matrix);

// Builds the model of matrix `matrix_index` and appends its hits on every
// record, in record order, to `hits`. A matrix shorter than five positions
// adds nothing. Returns early when `stop` is requested between records.
// Throws InternalFailure from the model build or the scan.
void scan_matrix(const CalculatorState& state, std::uint32_t matrix_index,
                 std::span<const StrandRecord> records, const StopSignal& stop,
                 HitList& hits);

}  // namespace vok
