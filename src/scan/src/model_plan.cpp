#include "model_plan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "scoring/word_sums.hpp"

namespace vok::detail {
namespace {

// Magnitudes below this keep every partial sum of a window far from overflow,
// so a window sum of finite terms is finite and never NaN.
constexpr double kLargestMagnitude = 1e36;

}  // namespace

ModelPlan make_model_plan(const ScoringMatrix& model) {
  ModelPlan plan;
  const std::size_t rows = model.length;
  plan.length = rows;
  plan.core_start = model.core_start;
  plan.min_sum = model.min_sum;
  plan.denominator = model.max_sum - model.min_sum;
  plan.terms.resize(rows * 4);
  bool finite = true;
  for (std::size_t i = 0; i < rows; ++i) {
    double largest = -INFINITY;
    double largest_magnitude = 0.0;
    for (std::size_t b = 0; b < 4; ++b) {
      const float term = model.frequency(i, b) * model.information[i];
      plan.terms[4 * i + b] = term;
      finite = finite && std::isfinite(term);
      largest = std::max(largest, double{term});
      largest_magnitude = std::max(largest_magnitude, std::fabs(double{term}));
    }
    plan.magnitude += largest_magnitude;
    if (i < model.core_start || i >= model.core_start + kCoreLength) plan.rest_max += largest;
  }
  // Windows of such a model cannot fail, so candidates may be skipped by a
  // bound and summed in any grouping of lanes; other models take the
  // one-by-one scan, which reports their failures as it always did.
  plan.batched = finite && plan.magnitude <= kLargestMagnitude && std::isfinite(model.min_sum) &&
                 std::isfinite(model.max_sum) && std::isfinite(plan.denominator) &&
                 plan.denominator > 0.0f && rows >= kCoreLength;
  if (!plan.batched) return plan;

  const float* t = plan.terms.data();
  const float* core = t + 4 * model.core_start;

  // Five more rows beside the core, on the side whose rows spread their
  // terms more, tighten the bound for candidates whose core word passes.
  auto spread = [&](std::size_t first) {
    double total = 0.0;
    for (std::size_t i = first; i < first + kCoreLength; ++i) {
      const float* row = t + 4 * i;
      total += double{*std::max_element(row, row + 4)} - double{*std::min_element(row, row + 4)};
    }
    return total;
  };
  const std::size_t m = model.core_start;
  const bool before = m >= kCoreLength;
  const bool after = m + 2 * kCoreLength <= rows;
  if (before || after) {
    const bool use_after = after && (!before || spread(m + kCoreLength) >= spread(m - kCoreLength));
    const std::size_t first = use_after ? m + kCoreLength : m - kCoreLength;
    plan.next_offset = use_after ? std::int64_t{kCoreLength} : -std::int64_t{kCoreLength};
    for (std::size_t i = 0; i < rows; ++i) {
      if ((i >= m && i < m + kCoreLength) || (i >= first && i < first + kCoreLength)) continue;
      const float* row = t + 4 * i;
      plan.other_max += double{*std::max_element(row, row + 4)};
    }
    word_sums_from(0.0, [&](std::size_t j, std::size_t base) { return double{t[4 * (first + j) + base]}; },
                   plan.next_sum);
  }
  // The same additions in the same order as the site scan's first five rows.
  word_sums_from(0.0f, [&](std::size_t j, std::size_t base) { return t[4 * j + base]; }, plan.prefix);
  word_sums_from(0.0, [&](std::size_t j, std::size_t base) { return double{core[4 * j + base]}; }, plan.core_sum);
  plan.filter = make_filter_plan(plan.terms, rows, plan.magnitude);
  return plan;
}

void update_pass_table(const ModelPlan& plan, const ScoringMatrix& model, PassTable& table) {
  const float css_threshold = model.thresholds.css;
  const float mss_threshold = model.thresholds.mss;
  const auto css_bits = std::bit_cast<std::uint32_t>(css_threshold);
  const auto mss_bits = std::bit_cast<std::uint32_t>(mss_threshold);
  if (table.valid && table.css_bits == css_bits && table.mss_bits == mss_bits) return;

  // A site needs, in exact arithmetic, window sum >= min_sum + T * den up to
  // the rounding of the float sum (at most L units of 2^-24 of the summed
  // magnitudes) and of the subtraction and division (a few units of
  // |T * den|). The slack allows sixteen times that and more, so no word of a
  // possible site is excluded; the exact mss still decides every candidate.
  const double den = plan.denominator;
  const double scaled = double{mss_threshold} * den;  // exact: a product of two floats
  const double target = double{plan.min_sum} + scaled;
  const double unit = std::ldexp(1.0, -20);
  const double slack = (static_cast<double>(plan.length) + 8.0) * unit *
                       (plan.magnitude + std::fabs(double{plan.min_sum}) + std::fabs(scaled) + den);
  table.words.clear();
  for (std::uint32_t word = 0; word < kCoreWords; ++word) {
    const bool css_passes = model.core_scores[word] >= css_threshold;  // false for NaN
    const bool mss_possible = !(plan.core_sum[word] + plan.rest_max + slack < target);
    table.pass[word] = css_passes && mss_possible;
    if (table.pass[word]) table.words.push_back(static_cast<std::uint16_t>(word));
  }
  table.pair_target = target - slack - plan.other_max;
  make_filter_table(plan.filter, target - slack, table.filter);
  table.css_bits = css_bits;
  table.mss_bits = mss_bits;
  table.valid = true;
}

}  // namespace vok::detail
