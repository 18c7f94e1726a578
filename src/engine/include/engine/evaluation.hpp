#pragma once
// The parallel scan of every sequence (both strands) with every matrix.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

#include "engine/calculator_state.hpp"

namespace vok {

// One reported site. Names are not copied per hit: they are looked up in the
// evaluated state by index when the Python objects are made.
struct Hit {
  std::uint64_t pos;        // forward-strand index of the core word's leftmost base
  std::uint32_t matrix;     // index into CalculatorState::matrices
  std::uint32_t sequence;   // index into CalculatorState::sequences
  float css;                // core similarity score
  float mss;                // matrix similarity score
  bool forward;             // true: found on the forward record
};

// Thrown by evaluate() when `interrupted` asked it to stop; the workers have
// abandoned their tasks by the time it propagates.
class EvaluationInterrupted : public std::runtime_error {
 public:
  EvaluationInterrupted() : std::runtime_error("evaluation interrupted") {}
};

// Scans `state` on the process-wide worker pool and returns the hits in
// result order (matrix order; forward records then reverse records, each in
// sequence order; scan order within a record). The calling thread only waits;
// while waiting it calls `interrupted` every few milliseconds, and a true
// answer cancels the run. Throws InternalFailure (the first failure in matrix
// order) or EvaluationInterrupted. `state` must not change during the call.
std::vector<Hit> evaluate(const CalculatorState& state, const std::function<bool()>& interrupted);

}  // namespace vok
