#include "stats/exact_tail.hpp"

#include <algorithm>
#include <vector>

namespace vok {
namespace {

struct Search {
  const WindowSumModel& window;              // terms and float arithmetic of the scan
  const Background& background;              // base probabilities
  std::vector<std::size_t> order;            // rows in the order they are fixed
  std::vector<double> remaining_max;         // remaining_max[d]: sum of the largest terms of order[d..]
  std::vector<double> remaining_min;         // the same with the smallest terms
  std::vector<std::uint8_t> word;            // bases fixed so far, by row
  float css_threshold;                       // css >= this is required
  float passing_sum;                         // float sums >= this pass the mss test
  double error;                              // E, float sum vs real sum
  std::size_t budget;                        // prefixes still allowed
  double total = 0.0;                        // probability of the passing words found

  bool visit(std::size_t depth, double real_sum, double probability) {
    if (budget == 0) return false;
    --budget;
    const std::size_t rows = order.size();
    if (depth == kCoreLength) {
      const std::size_t m = window.core_start();
      std::size_t index = 0;
      for (std::size_t j = 0; j < kCoreLength; ++j) index = index * 4 + word[m + j];
      if (!(window.core_scores()[index] >= css_threshold)) return true;
    }
    if (depth >= kCoreLength) {
      if (real_sum + remaining_max[depth] < static_cast<double>(passing_sum) - error) return true;
      if (real_sum + remaining_min[depth] >= static_cast<double>(passing_sum) + error) {
        total += probability;
        return true;
      }
    }
    if (depth == rows) {
      float sum = 0.0f;  // the scan's own sum, row by row
      for (std::size_t i = 0; i < rows; ++i) sum += window.term(i, word[i]);
      if (sum >= passing_sum) total += probability;
      return true;
    }
    const std::size_t row = order[depth];
    for (std::uint8_t b = 0; b < 4; ++b) {
      const double p = background.probability[b];
      if (!(p > 0.0)) continue;
      word[row] = b;
      if (!visit(depth + 1, real_sum + window.term(row, b), probability * p)) return false;
    }
    return true;
  }
};

}  // namespace

std::optional<double> exact_tail(const WindowSumModel& window, const Background& background,
                                 float css_threshold, float mss_threshold, std::size_t node_budget) {
  const std::size_t rows = window.length();
  const std::size_t m = window.core_start();
  Search search{window, background, {}, {}, {}, std::vector<std::uint8_t>(rows, 0), css_threshold,
                window.min_passing_sum(mss_threshold), window.sum_error_bound(), node_budget};
  for (std::size_t j = 0; j < kCoreLength; ++j) search.order.push_back(m + j);
  std::vector<std::size_t> rest;
  for (std::size_t i = 0; i < rows; ++i) {
    if (i < m || i >= m + kCoreLength) rest.push_back(i);
  }
  // Widest rows first: their choice decides most, so pruning starts early.
  auto extreme = [&](std::size_t row, bool largest) {
    double value = largest ? -1e300 : 1e300;
    for (std::size_t b = 0; b < 4; ++b) {
      if (!(background.probability[b] > 0.0)) continue;
      const double t = window.term(row, b);
      value = largest ? std::max(value, t) : std::min(value, t);
    }
    return value;
  };
  std::stable_sort(rest.begin(), rest.end(), [&](std::size_t a, std::size_t b) {
    return extreme(a, true) - extreme(a, false) > extreme(b, true) - extreme(b, false);
  });
  search.order.insert(search.order.end(), rest.begin(), rest.end());
  search.remaining_max.assign(rows + 1, 0.0);
  search.remaining_min.assign(rows + 1, 0.0);
  for (std::size_t d = rows; d-- > 0;) {
    search.remaining_max[d] = search.remaining_max[d + 1] + extreme(search.order[d], true);
    search.remaining_min[d] = search.remaining_min[d + 1] + extreme(search.order[d], false);
  }
  if (!search.visit(0, 0.0, 1.0)) return std::nullopt;
  return search.total;
}

}  // namespace vok
