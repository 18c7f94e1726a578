#include "stats/matrix_statistics.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>

#include "stats/exact_tail.hpp"
#include "stats/float_sum_tail.hpp"

namespace vok {
namespace {

// Relative margin for the double rounding of the probability sums (about
// 1e-13 for these sizes), so an upper bound stays one.
constexpr double kProbabilityMargin = 1e-9;
// Prefixes the branch and bound may visit, and float-sum states the exact
// dynamic programme may keep, before either gives up.
// The quick ones are tried before finer grids, the others after.
constexpr std::size_t kQuickNodeBudget = std::size_t{1} << 10;
constexpr std::size_t kQuickStateBudget = std::size_t{1} << 8;
constexpr std::size_t kExactNodeBudget = std::size_t{1} << 20;
constexpr std::size_t kFloatStateBudget = std::size_t{1} << 18;

std::array<double, 4> row_terms(const WindowSumModel& window, std::size_t row) {
  return {window.term(row, 0), window.term(row, 1), window.term(row, 2), window.term(row, 3)};
}

double conservative(double probability) {
  return std::min(1.0, probability * (1.0 + kProbabilityMargin));
}

}  // namespace

// The rest grids finer than the base one, each built once when first needed
// and shared by copies; safe to use from several threads.
class MatrixStatistics::FinerGrids {
 public:
  // The grid `level` times eightfold finer than the base grid, or null when
  // it would exceed kMaxGridCells or its band would already be under the
  // float error of the sum (a finer grid no longer narrows the bounds).
  const SumGrid* at(const MatrixStatistics& stats, std::size_t level) {
    const std::lock_guard<std::mutex> lock(mutex_);
    while (grids_.size() < level) {
      const double factor = std::pow(8.0, static_cast<double>(grids_.size() + 1));
      const double step = stats.base_step_ / factor;
      const double cells = static_cast<double>(stats.rest_.tail().size()) * factor;
      const double coarser_band = 8.0 * step * static_cast<double>(stats.rest_.positions());
      if (cells > static_cast<double>(kMaxGridCells) || coarser_band < stats.window_.sum_error_bound()) {
        return nullptr;
      }
      grids_.push_back(std::make_unique<const SumGrid>(stats.rest_grid(step)));
    }
    return grids_[level - 1].get();
  }

 private:
  std::mutex mutex_;                                  // guards grids_
  std::vector<std::unique_ptr<const SumGrid>> grids_;  // grids_[k]: 8^(k+1) times finer than the base grid
};

MatrixStatistics::MatrixStatistics(const ScoringMatrix& model, const Background& background,
                                   std::size_t grid_cells)
    : MatrixStatistics(WindowSumModel(model), background, grid_cells) {}

MatrixStatistics::MatrixStatistics(const WindowSumModel& window, const Background& background,
                                   std::size_t grid_cells)
    : window_(window), background_(background), finer_(std::make_shared<FinerGrids>()) {
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
    css_tail_by_rank_.push_back(std::min(running, 1.0));
  }

  // The non-core rows' sum on the base grid gives the joint tails.
  double range = 0.0;
  for (std::size_t i = 0; i < window_.length(); ++i) {
    const auto terms = row_terms(window_, i);
    range += *std::max_element(terms.begin(), terms.end()) - *std::min_element(terms.begin(), terms.end());
  }
  base_step_ = range / static_cast<double>(std::max<std::size_t>(grid_cells, 1));
  if (!(base_step_ > 0.0)) base_step_ = 1.0;
  rest_ = rest_grid(base_step_);
}

SumGrid MatrixStatistics::rest_grid(double step) const {
  SumDistribution distribution(step);
  const std::size_t m = window_.core_start();
  double widest = 1.0;  // cells the rows can span
  for (std::size_t i = 0; i < window_.length(); ++i) {
    const auto terms = row_terms(window_, i);
    if (i < m || i >= m + kCoreLength) {
      widest += std::floor((*std::max_element(terms.begin(), terms.end()) -
                            *std::min_element(terms.begin(), terms.end())) / step);
    }
  }
  if (widest < 1e9) distribution.reserve(static_cast<std::size_t>(widest));
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

namespace {

bool tight(const TailBounds& bounds) {
  return bounds.upper <= bounds.lower * (1.0 + MatrixStatistics::kTargetRelativeGap);
}

TailBounds exactly(double probability) { return {probability, conservative(probability)}; }

}  // namespace

TailBounds MatrixStatistics::pvalue_bounds(float css_threshold, float mss_threshold) const {
  TailBounds bounds = tail_bounds(css_threshold, mss_threshold);
  if (tight(bounds)) return bounds;
  // Short matrices and high thresholds leave few words or sums to count.
  if (const auto exact = exact_tail(window_, background_, css_threshold, mss_threshold, kQuickNodeBudget)) {
    return exactly(*exact);
  }
  const float passing_sum = window_.min_passing_sum(mss_threshold);
  if (const auto exact = float_sum_tail(window_, background_, css_threshold, passing_sum, kQuickStateBudget)) {
    return exactly(*exact);
  }
  for (std::size_t level = 1; !tight(bounds); ++level) {
    const SumGrid* grid = finer_->at(*this, level);
    if (!grid) break;
    const TailBounds on_grid = tail_bounds_on(*grid, css_threshold, mss_threshold);
    bounds = {std::max(bounds.lower, on_grid.lower), std::min(bounds.upper, on_grid.upper)};
  }
  if (tight(bounds)) return bounds;
  // What the grids cannot separate: few words near the threshold (short
  // matrices) or words whose sums differ only by rounding (tied rows).
  if (const auto exact = exact_tail(window_, background_, css_threshold, mss_threshold, kExactNodeBudget)) {
    return exactly(*exact);
  }
  if (const auto exact = float_sum_tail(window_, background_, css_threshold, passing_sum, kFloatStateBudget)) {
    return exactly(*exact);
  }
  return bounds;
}

double MatrixStatistics::pvalue(float css_threshold, float mss_threshold) const {
  return pvalue_bounds(css_threshold, mss_threshold).upper;
}

float MatrixStatistics::threshold_for_pvalue(double p, float css_threshold) const {
  if (!(p > 0.0)) throw std::invalid_argument("p-value must be a number > 0");
  const auto passes = [&](float mss) { return pvalue(css_threshold, mss) <= p; };
  if (passes(0.0f)) return 0.0f;
  // Below the base grid's lower-bound threshold the true rate exceeds p; at
  // its upper-bound threshold it does not. The answer lies between.
  std::uint32_t low = std::bit_cast<std::uint32_t>(grid_threshold(p, css_threshold, true));
  if (low > 0) --low;
  std::uint32_t high = std::bit_cast<std::uint32_t>(grid_threshold(p, css_threshold, false));
  if (!passes(std::bit_cast<float>(high))) high = std::bit_cast<std::uint32_t>(no_window_passes());
  // Positive floats order like their bits: pass(high) holds, pass(low) does not.
  while (high - low > 1) {
    const std::uint32_t middle = low + (high - low) / 2;
    (passes(std::bit_cast<float>(middle)) ? high : low) = middle;
  }
  return std::bit_cast<float>(high);
}

float MatrixStatistics::no_window_passes() const {
  return std::nextafter(window_.mss_of_sum(window_.max_window_sum()), std::numeric_limits<float>::infinity());
}

float MatrixStatistics::grid_threshold(double p, float css_threshold, bool by_lower) const {
  std::uint32_t low = 0;  // bits of 0.0f: too likely
  std::uint32_t high = std::bit_cast<std::uint32_t>(no_window_passes());
  while (high - low > 1) {  // the bracket of the exact search, to one float
    const std::uint32_t middle = low + (high - low) / 2;
    const TailBounds bounds = tail_bounds_on(rest_, css_threshold, std::bit_cast<float>(middle), by_lower);
    ((by_lower ? bounds.lower : bounds.upper) <= p ? high : low) = middle;
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
