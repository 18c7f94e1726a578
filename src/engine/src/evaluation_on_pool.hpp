#pragma once
// evaluate() on a given pool: tests and benchmarks use private pools of a
// chosen size.
#include <functional>
#include <vector>

#include "engine/evaluation.hpp"
#include "worker_pool.hpp"

namespace vok {

EvaluationHits evaluate_on_pool(WorkerPool& pool, const CalculatorState& state,
                                  const std::function<bool()>& interrupted);

}  // namespace vok
