#pragma once
// The parallel scan of every sequence (both strands) with every matrix.
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>
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

// The hits of one evaluation in result order, kept in the chunks the workers
// wrote them to: joining them would copy every hit once more and touch twice
// the memory. A consumer may release each chunk as soon as it has used it.
class EvaluationHits {
 public:
  EvaluationHits() = default;
  explicit EvaluationHits(std::vector<std::vector<Hit>> chunks) : chunks_(std::move(chunks)) {
    for (const auto& chunk : chunks_) size_ += chunk.size();
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::vector<std::vector<Hit>>& chunks() { return chunks_; }  // in result order
  std::vector<Hit> to_vector() const {
    std::vector<Hit> all;
    all.reserve(size_);
    for (const auto& chunk : chunks_) all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
  }

 private:
  std::vector<std::vector<Hit>> chunks_;  // hits in result order, chunk after chunk
  std::size_t size_ = 0;                  // total number of hits
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
EvaluationHits evaluate(const CalculatorState& state, const std::function<bool()>& interrupted);

}  // namespace vok
