#pragma once
// The exact tail P(css >= a and mss >= b) by branch and bound over words:
// rows are fixed one at a time (the core first, so css is known early); a
// prefix whose every completion surely passes (its real sum clears the float
// threshold by more than the float error E) adds its probability at once, one
// whose completions surely fail is dropped, and only words whose real sum lies
// within E of the threshold are completed and their float sum taken in scan
// order, exactly as the scan adds it. Cheap where the grid is weakest: short
// matrices and rows with tied terms, whose words differ only by rounding.
#include <cstddef>
#include <optional>

#include "stats/background.hpp"
#include "stats/window_sum.hpp"

namespace vok {

// The exact probability, or nullopt when more than `node_budget` prefixes
// would have to be visited.
std::optional<double> exact_tail(const WindowSumModel& window, const Background& background,
                                 float css_threshold, float mss_threshold, std::size_t node_budget);

}  // namespace vok
