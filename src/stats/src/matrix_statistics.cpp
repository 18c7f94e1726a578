#include "stats/matrix_statistics.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "stats/exact_tail.hpp"

namespace vok {
namespace {

// Relative margin for the double rounding of the probability sums (about
// 1e-13 for these sizes), so an upper bound stays one.
constexpr double kProbabilityMargin = 1e-9;
// Most cell-by-word products the whole-window grid may spend on the core as one group.
constexpr std::size_t kCoreGroupBudget = std::size_t{1} << 18;
// pvalue() stops refining once upper <= (1 + this) * lower.
constexpr double kTargetRelativeGap = 0.005;
// Prefixes an exact count may visit before the grid bounds are used instead:
// for one p-value, and for each step of a threshold search.
constexpr std::size_t kPValueNodeBudget = std::size_t{1} << 18;
constexpr std::size_t kExactNodeBudget = std::size_t{1} << 13;

std::array<double, 4> row_terms(const WindowSumModel& window, std::size_t row) {
  return {window.term(row, 0), window.term(row, 1), window.term(row, 2), window.term(row, 3)};
}

double conservative(double probability) {
  return std::min(1.0, probability * (1.0 + kProbabilityMargin));
}

}  // namespace

MatrixStatistics::MatrixStatistics(const ScoringMatrix& model, const Background& background,
                                   std::size_t grid_cells)
    : window_(model), background_(background) {
  const std::size_t m = window_.core_start();
  const auto& p = background_.probability;
  for (std::size_t word = 0; word < kCoreWords; ++word) {
    double probability = 1.0;
    double sum = 0.0;
    for (std::size_t j = 0; j < kCoreLength; ++j) {
      const std::size_t base = (word >> (2 * (kCoreLength - 1 - j))) & 3;
      probability *= p[base];
      sum += window_.term(m + j, base);
    }
    word_probability_[word] = probability;
    core_sum_[word] = sum;
    if (probability > 0.0) words_by_css_.push_back(static_cast<std::uint16_t>(word));
  }
  const auto& css = window_.core_scores();
  std::stable_sort(words_by_css_.begin(), words_by_css_.end(),
                   [&](std::uint16_t a, std::uint16_t b) { return css[a] > css[b]; });
  double running = 0.0;
  for (std::uint16_t word : words_by_css_) {
    running += word_probability_[word];
    css_tail_by_rank_.push_back(running);
  }

  // One pass of the dynamic programme: the non-core rows give the joint
  // tails, the core rows added after them the whole window's tail.
  double range = 0.0;
  for (std::size_t i = 0; i < window_.length(); ++i) {
    const auto terms = row_terms(window_, i);
    range += *std::max_element(terms.begin(), terms.end()) - *std::min_element(terms.begin(), terms.end());
  }
  base_step_ = range / static_cast<double>(std::max<std::size_t>(grid_cells, 1));
  if (!(base_step_ > 0.0)) base_step_ = 1.0;
  SumDistribution distribution(base_step_);
  for (std::size_t i = 0; i < window_.length(); ++i) {
    if (i < m || i >= m + kCoreLength) distribution.add_row(row_terms(window_, i), background_);
  }
  rest_ = distribution.grid();
  // The core as one group (a band of one step instead of five) where few
  // cells are occupied, as for short matrices; else row by row.
  if (distribution.occupied_cells() * kCoreWords <= kCoreGroupBudget) {
    distribution.add_choices(core_sum_, word_probability_);
  } else {
    for (std::size_t j = 0; j < kCoreLength; ++j) distribution.add_row(row_terms(window_, m + j), background_);
  }
  hit_table_ = HitPValueTable(window_, distribution.grid());
}

SumGrid MatrixStatistics::rest_grid(double step) const {
  SumDistribution distribution(step);
  const std::size_t m = window_.core_start();
  for (std::size_t i = 0; i < window_.length(); ++i) {
    if (i < m || i >= m + kCoreLength) distribution.add_row(row_terms(window_, i), background_);
  }
  return distribution.grid();
}

double MatrixStatistics::css_tail(float css_threshold) const {
  const auto& css = window_.core_scores();
  // The words are sorted by css descending: count those at or above the threshold.
  const auto passing = std::partition_point(words_by_css_.begin(), words_by_css_.end(),
                                            [&](std::uint16_t word) { return css[word] >= css_threshold; });
  const auto rank = static_cast<std::size_t>(passing - words_by_css_.begin());
  return rank == 0 ? 0.0 : css_tail_by_rank_[rank - 1];
}

std::vector<CssLevel> MatrixStatistics::css_distribution() const {
  const auto& css = window_.core_scores();
  std::vector<CssLevel> levels;
  for (std::uint16_t word : words_by_css_) {
    if (!levels.empty() && levels.back().css == css[word]) {
      levels.back().probability += word_probability_[word];
    } else {
      levels.push_back(CssLevel{css[word], word_probability_[word]});
    }
  }
  return levels;
}

TailBounds MatrixStatistics::tail_bounds(float css_threshold, float mss_threshold) const {
  return tail_bounds_on(rest_, css_threshold, mss_threshold);
}

TailBounds MatrixStatistics::tail_bounds_on(const SumGrid& rest, float css_threshold,
                                            float mss_threshold, bool with_lower) const {
  const float passing_sum = window_.min_passing_sum(mss_threshold);
  // Exact ends: no window's float sum exceeds the sum of the largest terms,
  // none falls below the sum of the smallest.
  if (passing_sum > window_.max_window_sum()) return {0.0, 0.0};
  if (passing_sum <= window_.min_window_sum()) {
    const double exact = css_tail(css_threshold);
    return {exact, conservative(exact)};
  }
  const double error = window_.sum_error_bound();
  const double upper_target = static_cast<double>(passing_sum) - error;
  const double lower_target = static_cast<double>(passing_sum) + error;
  const auto& css = window_.core_scores();
  double lower = 0.0;
  double upper = 0.0;
  for (std::uint16_t word : words_by_css_) {
    if (!(css[word] >= css_threshold)) break;
    const double probability = word_probability_[word];
    upper += probability * rest.upper_tail(upper_target - core_sum_[word]);
    if (with_lower) lower += probability * rest.lower_tail(lower_target - core_sum_[word]);
  }
  return {lower, conservative(upper)};
}

double MatrixStatistics::pvalue(float css_threshold, float mss_threshold) const {
  TailBounds bounds = tail_bounds(css_threshold, mss_threshold);
  if (bounds.upper > bounds.lower * (1.0 + kTargetRelativeGap)) {
    // Few words near the threshold (short matrices, tied rows): count them exactly.
    if (const auto exact = exact_tail(window_, background_, css_threshold, mss_threshold, kPValueNodeBudget)) {
      return conservative(*exact);
    }
  }
  double step = base_step_;
  std::size_t cells = rest_.tail().size();
  while (bounds.upper > bounds.lower * (1.0 + kTargetRelativeGap)) {
    // Once the band is below the float error of the sum, a finer grid cannot
    // narrow the bounds any more.
    if (step * static_cast<double>(rest_.positions()) < window_.sum_error_bound()) break;
    step /= 8.0;
    cells *= 8;
    if (cells > kMaxGridCells) break;
    bounds = tail_bounds_on(rest_grid(step), css_threshold, mss_threshold);
  }
  return bounds.upper;
}

float MatrixStatistics::threshold_for_pvalue(double p, float css_threshold) const {
  if (!(p > 0.0)) throw std::invalid_argument("p-value must be a number > 0");
  if (tail_bounds(css_threshold, 0.0f).upper <= p) return 0.0f;
  const float on_grid = grid_threshold(p, css_threshold);
  // The grid's bound at the next lower threshold is above p; when its lower
  // bound is not, the true rate there may still be under p.
  if (on_grid <= 0.0f || tail_bounds(css_threshold, std::nextafter(on_grid, 0.0f)).lower > p) return on_grid;
  // The grid cannot tell the words near the threshold apart: search again
  // below it with exact counts, as long as they stay cheap. The grid can
  // misplace the threshold by its band (a step per non-core row and twice
  // the float error): search twice that far below it first.
  const double band = (static_cast<double>(rest_.positions()) * base_step_ + 2.0 * window_.sum_error_bound()) /
                      static_cast<double>(window_.denominator());
  std::uint32_t low = std::bit_cast<std::uint32_t>(std::max(0.0f, static_cast<float>(on_grid - 2.0 * band)));
  std::uint32_t high = std::bit_cast<std::uint32_t>(on_grid);
  if (low > 0) {
    const auto exact = exact_tail(window_, background_, css_threshold, std::bit_cast<float>(low), kExactNodeBudget);
    if (!exact) return on_grid;
    if (conservative(*exact) <= p) {
      high = low;
      low = 0;
    }
  }
  while (high - low > 1) {
    const std::uint32_t middle = low + (high - low) / 2;
    const auto exact = exact_tail(window_, background_, css_threshold, std::bit_cast<float>(middle),
                                  kExactNodeBudget);
    if (!exact) break;
    if (conservative(*exact) <= p) {
      high = middle;
    } else {
      low = middle;
    }
  }
  return std::bit_cast<float>(high);
}

float MatrixStatistics::grid_threshold(double p, float css_threshold) const {
  // Above the best window's mss nothing passes: the search ends there.
  const float none = std::nextafter(window_.mss_of_sum(window_.max_window_sum()),
                                    std::numeric_limits<float>::infinity());
  // Positive floats order like their bits: search the bits of (0, none].
  std::uint32_t low = 0;  // bits of 0.0f: too likely
  std::uint32_t high = std::bit_cast<std::uint32_t>(none);
  while (high - low > 1) {
    const std::uint32_t middle = low + (high - low) / 2;
    if (tail_bounds_on(rest_, css_threshold, std::bit_cast<float>(middle), false).upper <= p) {
      high = middle;
    } else {
      low = middle;
    }
  }
  return std::bit_cast<float>(high);
}

float MatrixStatistics::css_threshold_keeping(float mss_threshold) const {
  const float passing_sum = window_.min_passing_sum(mss_threshold);
  const std::size_t m = window_.core_start();
  double rest_max = 0.0;  // real sum of the largest non-core terms, all bases
  for (std::size_t i = 0; i < window_.length(); ++i) {
    if (i >= m && i < m + kCoreLength) continue;
    double largest = window_.term(i, 0);
    for (std::size_t b = 1; b < 4; ++b) largest = std::max(largest, static_cast<double>(window_.term(i, b)));
    rest_max += largest;
  }
  const double needed = static_cast<double>(passing_sum) - window_.sum_error_bound();
  const auto& css = window_.core_scores();
  float lowest = 1.0f;
  for (std::size_t word = 0; word < kCoreWords; ++word) {
    double core_sum = 0.0;
    for (std::size_t j = 0; j < kCoreLength; ++j) {
      core_sum += window_.term(m + j, (word >> (2 * (kCoreLength - 1 - j))) & 3);
    }
    // A word that may reach the threshold, with a margin for the double sums.
    if (core_sum + rest_max >= needed - 1e-12 * std::fabs(needed)) lowest = std::min(lowest, css[word]);
  }
  return lowest;
}

}  // namespace vok
