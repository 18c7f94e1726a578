#pragma once
// A lossless prefilter of windows for thresholds where the core word says
// little (mss-only cut-offs). A window's deficit is how far its sum falls
// below the largest sum the model allows; a site needs a deficit no larger
// than a budget set by the mss threshold. The filter adds the deficits of
// pairs of rows, each looked up by the pair's two bases in a 16-entry table,
// in whole units of budget / 254 rounded down, and drops a window once they
// exceed 254: in bytes with saturating arithmetic, 32 windows per vector
// step. Rounding the deficits down and the budget up keeps every window of
// a possible site; the exact mss still decides each one the filter keeps.
#include <array>
#include <cstdint>
#include <vector>

#include "scoring/scoring_matrix.hpp"

namespace vok::detail {

// Pairs of rows a filter reads at most: one table register each.
inline constexpr std::size_t kFilterPairs = 12;
// Whole units a window may lose and still pass; its deficits start from one more.
inline constexpr std::uint32_t kFilterBudget = 254;

// Threshold-independent part of a model's filter.
struct FilterPlan {
  std::uint32_t pairs = 0;                        // pairs of rows read (0: the model has no filter)
  std::array<std::uint32_t, kFilterPairs> row{};  // first row of each pair; the second is row + 1 when < L
  std::vector<double> deficit;                    // deficit[4 * i + b] = largest term of row i - term(i, b), >= 0
  double largest = 0.0;                           // sum over rows of the largest term
  double reach = 0.0;                             // largest deficit the read pairs can show in all
  double margin = 0.0;                            // covers the rounding of `largest` and of the budget
};

// Pairs (0, 1), (2, 3), ... with the last row alone when L is odd, those
// whose deficits spread most first; past kFilterPairs pairs, only the first.
// (A vector step that stops once the first pairs leave no window in costs
// more in mispredicted branches than the pairs it skips.)
FilterPlan make_filter_plan(const std::vector<float>& terms, std::uint64_t length, double magnitude);

// What a threshold leaves of the filter.
enum class FilterVerdict : std::uint8_t {
  kNone,  // no window can reach the threshold
  kAll,   // the filter would keep every window
  kSome,  // the tables decide
};

// A model's filter for one threshold pair.
struct FilterTable {
  FilterVerdict verdict = FilterVerdict::kAll;               // kSome: `deficits` hold the tables
  alignas(32) std::array<std::uint8_t, 16 * kFilterPairs> deficits{};  // per pair, by 4 * base + next base: whole units, at most 255
  double pass_rate = 1.0;  // share of windows of uniform random bases the filter keeps
};

// The filter for windows that are sites only if their exact sum reaches
// `lowest_sum` (a lower bound on the sum of every site, rounding included).
void make_filter_table(const FilterPlan& plan, double lowest_sum, FilterTable& table);

}  // namespace vok::detail
