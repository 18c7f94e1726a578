#pragma once
// The scan's arithmetic on a full matrix window, seen from the statistics:
// the float32 terms f(i,b) * I(i) that the site scan adds, a bound on how far
// its sequential float sum can stray from the real sum of those terms, and
// the exact float sums that reach an mss threshold.
#include <array>
#include <cstddef>
#include <vector>

#include "scoring/scoring_matrix.hpp"

namespace vok {

class WindowSumModel {
 public:
  // Copies what it needs from `model` (no reference is kept). Throws
  // std::invalid_argument when max_sum - min_sum is not a positive number.
  explicit WindowSumModel(const ScoringMatrix& model);

  std::size_t length() const { return length_; }
  std::size_t core_start() const { return core_start_; }
  const std::array<float, kCoreWords>& core_scores() const { return core_scores_; }

  // The float product f(i,b) * I(i), bit for bit the scan's term.
  float term(std::size_t position, std::size_t base) const { return terms_[4 * position + base]; }

  float min_sum() const { return min_sum_; }
  float denominator() const { return denominator_; }

  // The scan's mss of a full window whose float sum is `sum`.
  float mss_of_sum(float sum) const { return (sum - min_sum_) / denominator_; }

  // The smallest float window sum s with mss_of_sum(s) >= threshold (the scan's
  // test, equality passing); +infinity stands for "no float sum passes"
  // (a NaN threshold). Since mss_of_sum is monotone, a window passes exactly
  // when its float sum is >= this value.
  float min_passing_sum(float mss_threshold) const;

  // E: for every window, |float sequential sum - real sum of its terms| <= E
  // (recursive-summation bound (L-1)u/(1-(L-1)u) * sum of max |term|, u = 2^-24,
  // with a small safety factor; additions in gradual underflow are exact).
  double sum_error_bound() const { return sum_error_bound_; }

  // Float sums of the per-position largest and smallest terms, in scan order:
  // since rounded addition is monotone, every window's float sum lies between them.
  float max_window_sum() const { return max_window_sum_; }
  float min_window_sum() const { return min_window_sum_; }

 private:
  std::size_t length_;                        // L, positions of a full window
  std::size_t core_start_;                    // m; the core is rows m .. m+4
  std::vector<float> terms_;                  // position-major: terms_[4 * i + b] = f(i,b) * I(i)
  std::array<float, kCoreWords> core_scores_; // css by core word index
  float min_sum_;                             // the model's min_sum
  float denominator_;                         // max_sum - min_sum, as the scan computes it
  double sum_error_bound_;                    // E, in units of the sum
  float max_window_sum_;                      // float sum of the largest term of every row
  float min_window_sum_;                      // float sum of the smallest term of every row
};

}  // namespace vok
