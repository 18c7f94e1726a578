#pragma once
// Exact tails of the scan's float window sum by dynamic programming over the
// float partial sums themselves: rows are read in scan order and every state
// is one value the scan's running float sum can take (with the core word
// while the core rows are read), so the result is exact for the scan's own
// arithmetic. States are few exactly where the grid cannot separate words:
// short matrices, and rows with tied terms whose words share few sums.
// States that surely fail (their largest completion stays below the target
// by more than the float error E) are dropped as they appear.
#include <cstddef>
#include <optional>
#include <vector>

#include "stats/background.hpp"
#include "stats/window_sum.hpp"

namespace vok {

struct FloatSumAtom {
  float sum;           // a float window sum the scan can produce
  double probability;  // P(the scan's window sum == sum) under the background
};

// P(css >= css_threshold and float window sum >= passing_sum), or nullopt
// when more than `max_states` states would be kept after some row.
std::optional<double> float_sum_tail(const WindowSumModel& window, const Background& background,
                                     float css_threshold, float passing_sum, std::size_t max_states);

// Every float window sum >= lowest_sum with its probability, ascending by
// sum, or nullopt when more than `max_states` states would be kept.
std::optional<std::vector<FloatSumAtom>> float_sum_atoms(const WindowSumModel& window,
                                                         const Background& background, float lowest_sum,
                                                         std::size_t max_states);

}  // namespace vok
