// The scan of one strand record: candidates by the rolling core word, the core
// test by one table lookup, the matrix score only for candidates that pass.
#include "scoring/site_scan.hpp"

#include <algorithm>
#include <cmath>

#include "common/nan_guard.hpp"

namespace vok {

using detail::check_nan;
using detail::guarded_div;

namespace {
constexpr std::uint32_t kBaseMask = 3;               // keeps a code inside the tables
constexpr std::uint32_t kWordMask = kCoreWords - 1;  // the low 10 bits: five bases
}  // namespace

// Each term is the one multiplication f(i,b) * I(i) that scoring a window
// would perform, so computing it here once gives the same bits.
SiteScanner::SiteScanner(const ScoringMatrix& model)
    : model_(&model), terms_(model.length * 4), denominator_(model.max_sum - model.min_sum) {
  for (std::size_t i = 0; i < model.length; ++i) {
    for (std::size_t b = 0; b < 4; ++b) {
      terms_[4 * i + b] = model.frequency(i, b) * model.information[i];
    }
  }
}

// A NaN window sum has two causes, told apart as the term-by-term check
// would: any NaN term fails as a multiplication, else the sum itself failed
// (infinities of opposite signs).
void SiteScanner::fail_window(const BaseCode* window, std::uint64_t rows) const {
  for (std::uint64_t i = 0; i < rows; ++i) {
    if (std::isnan(terms_[4 * i + (window[i] & kBaseMask)])) {
      detail::fail_nan(detail::kMultiplicationNaN);
    }
  }
  detail::fail_nan(detail::kSumNaN);
}

inline float SiteScanner::matrix_score(const BaseCode* window, std::uint64_t rows) const {
  const float* const terms = terms_.data();
  float sum = 0.0f;
  for (std::uint64_t i = 0; i < rows; ++i) sum += terms[4 * i + (window[i] & kBaseMask)];
  if (std::isnan(sum)) [[unlikely]] {
    fail_window(window, rows);
  }
  const float numerator = check_nan(sum - model_->min_sum, detail::kSubtractionNaN);
  check_nan(denominator_, detail::kSubtractionNaN);
  return guarded_div(numerator, denominator_);
}

WindowScore SiteScanner::score_window(const BaseCode* window) const {
  const ScoringMatrix& model = *model_;
  std::uint32_t word = 0;
  for (std::size_t j = 0; j < kCoreLength; ++j) word = (word << 2) | (window[model.core_start + j] & kBaseMask);
  return {model.core_scores[word], matrix_score(window, model.length)};
}

std::uint64_t SiteScanner::candidate_count(std::uint64_t n) const {
  // Candidates p = m, m+1, ... stop at p + 5 > n or at p - m >= K, where
  // K = n - L + 5 wraps modulo 2^64 (and then never binds) when n + 5 < L.
  const std::uint64_t m = model_->core_start;
  const std::uint64_t before_record_end = n >= m + kCoreLength ? n - m - (kCoreLength - 1) : 0;
  const std::uint64_t window_bound = n - model_->length + kCoreLength;
  return std::min(before_record_end, window_bound);
}

void SiteScanner::scan_candidates(std::span<const BaseCode> bases, std::uint64_t first,
                                  std::uint64_t end, std::vector<SiteMatch>& out) const {
  if (first >= end) return;
  const ScoringMatrix& model = *model_;
  const std::uint64_t n = bases.size();
  const std::uint64_t rows = model.length;
  const std::uint64_t m = model.core_start;

  const BaseCode* const record = bases.data();
  const BaseCode* const core = record + m;  // core word of candidate c starts at core[c]
  const float* const core_scores = model.core_scores.data();
  const float css_threshold = model.thresholds.css;
  const float mss_threshold = model.thresholds.mss;

  // The word depends only on its five bases, so a range starts with the
  // first four bases of its first candidate's word.
  std::uint32_t word = 0;
  for (std::size_t j = 0; j + 1 < kCoreLength; ++j) word = (word << 2) | (core[first + j] & kBaseMask);

  for (std::uint64_t c = first; c < end; ++c) {
    word = ((word << 2) | (core[c + kCoreLength - 1] & kBaseMask)) & kWordMask;
    const float css = core_scores[word];
    if (!(css >= css_threshold)) continue;  // below the threshold, or NaN

    // The matrix window starts at q = p - m = c; rows past the record's end add nothing.
    const float mss = matrix_score(record + c, std::min(rows, n - c));
    if (mss >= mss_threshold) out.push_back(SiteMatch{m + c, css, mss});
  }
}

void scan_sites(const ScoringMatrix& model, std::span<const BaseCode> bases,
                std::vector<SiteMatch>& out) {
  SiteScanner(model).scan(bases, out);
}

}  // namespace vok
