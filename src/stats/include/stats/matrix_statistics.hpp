#pragma once
// Score distributions of one matrix under one background: css exactly over
// the 1024 core words, mss and the pair (css, mss) by dynamic programming on
// a grid, bounded so that a reported p-value is never below the true rate.
//
// The core rows and the other rows are independent under the background, so
//   P(css >= a and mss >= b) = sum over core words w with css(w) >= a of
//                              P(w) * P(rest >= s*(b) - core sum of w),
// where s*(b) is the smallest float window sum whose scan mss reaches b. The
// core sums are exact; the rest comes from the grid, whose band (one step per
// row) and the float error E of the scan's sum (see WindowSumModel) give the
// lower and upper bounds.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "scoring/scoring_matrix.hpp"
#include "stats/background.hpp"
#include "stats/sum_grid.hpp"
#include "stats/window_sum.hpp"

namespace vok {

// Bounds on a probability: lower <= true value <= upper.
struct TailBounds {
  double lower;  // probability, never above the true one
  double upper;  // probability, never below the true one
};

// One css value and the probability of the core words that have it.
struct CssLevel {
  float css;           // a core score that occurs
  double probability;  // P(css == this value) under the background
};

class MatrixStatistics {
 public:
  // Grid steps across the whole window's score range by default: the band of
  // a matrix of L rows is then L / kDefaultGridCells of the range.
  static constexpr std::size_t kDefaultGridCells = std::size_t{1} << 14;
  // The finest grid pvalue() refines to.
  static constexpr std::size_t kMaxGridCells = std::size_t{1} << 21;
  // pvalue() refines until its upper bound is within this of its lower bound.
  static constexpr double kTargetRelativeGap = 0.0025;

  // Throws std::invalid_argument for a model without a score range.
  MatrixStatistics(const ScoringMatrix& model, const Background& background,
                   std::size_t grid_cells = kDefaultGridCells);
  MatrixStatistics(const WindowSumModel& window, const Background& background,
                   std::size_t grid_cells = kDefaultGridCells);

  const Background& background() const { return background_; }
  const WindowSumModel& window() const { return window_; }
  // The base grid's step, in units of the window sum.
  double grid_step() const { return base_step_; }

  // Exact P(css >= a) of a random core word.
  double css_tail(float css_threshold) const;
  // The css values that occur (probability > 0), highest first.
  std::vector<CssLevel> css_distribution() const;

  // Bounds on P(css >= a and mss >= b) of a random full window, on this grid.
  TailBounds tail_bounds(float css_threshold, float mss_threshold) const;

  // Bounds on P(css >= a and mss >= b), refined until they are within
  // kTargetRelativeGap of each other: on the base grid, then on grids eight
  // times finer each (while the band stays above the float error of the
  // sum and within kMaxGridCells), then by exact counts (branch and bound
  // over words, then the float sums themselves). Only when all of these run
  // out of their budgets are the bounds wider; they say by how much.
  TailBounds pvalue_bounds(float css_threshold, float mss_threshold) const;

  // The p-value of the pair: the upper bound of pvalue_bounds(), so never
  // below the true rate and, where those bounds are tight, within 0.25% of it.
  double pvalue(float css_threshold, float mss_threshold) const;

  // The smallest float mss threshold b >= 0 with pvalue(a, b) <= p, so the
  // true rate of the pair (a, b) never exceeds p. When even the best window
  // is too likely, a threshold above every attainable mss (no hits). Throws
  // std::invalid_argument unless 0 < p.
  float threshold_for_pvalue(double p, float css_threshold = 0.0f) const;

  // The highest css threshold that rejects no window reaching mss_threshold
  // (whatever the background: windows of bases it deems impossible count
  // too): the lowest css of a core word that some window with that mss can
  // have. With it the css test costs no sensitivity at that mss threshold.
  float css_threshold_keeping(float mss_threshold) const;

 private:
  class FinerGrids;

  // With with_lower false, the lower bound is left at 0 (saves half the work).
  TailBounds tail_bounds_on(const SumGrid& rest, float css_threshold, float mss_threshold,
                            bool with_lower = true) const;
  SumGrid rest_grid(double step) const;
  // The smallest float mss whose base-grid upper (or lower) bound is <= p.
  float grid_threshold(double p, float css_threshold, bool by_lower) const;
  // A threshold above the best window's mss.
  float no_window_passes() const;

  WindowSumModel window_;                              // the scan's terms and float bounds
  Background background_;                              // base probabilities of random sequence
  std::array<double, kCoreWords> word_probability_{};  // P(core word) by core word index
  std::array<double, kCoreWords> core_sum_{};          // real sum of the core terms by word index
  std::vector<std::uint16_t> words_by_css_;            // core words of probability > 0, css descending
  std::vector<double> css_tail_by_rank_;               // P(css >= css of words_by_css_[r]) summed to rank r
  double base_step_;                                   // grid step of rest_, in units of the sum
  SumGrid rest_;                                       // distribution of the non-core rows' sum
  std::shared_ptr<FinerGrids> finer_;                  // finer rest grids, built as pvalue() needs them
};

}  // namespace vok
