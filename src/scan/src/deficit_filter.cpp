#include "deficit_filter.hpp"

#include <algorithm>
#include <cmath>

namespace vok::detail {

FilterPlan make_filter_plan(const std::vector<float>& terms, std::uint64_t length, double magnitude) {
  FilterPlan plan;
  plan.deficit.resize(4 * length);
  std::vector<double> spread(length);  // largest deficit of each row
  for (std::uint64_t i = 0; i < length; ++i) {
    const float* row = terms.data() + 4 * i;
    const double largest = *std::max_element(row, row + 4);
    plan.largest += largest;
    for (std::size_t b = 0; b < 4; ++b) {
      plan.deficit[4 * i + b] = largest - double{row[b]};  // one rounding, never below 0
      spread[i] = std::max(spread[i], plan.deficit[4 * i + b]);
    }
  }
  std::vector<std::uint32_t> firsts((length + 1) / 2);
  for (std::uint32_t j = 0; j < firsts.size(); ++j) firsts[j] = 2 * j;
  const auto pair_spread = [&](std::uint32_t first) {
    return spread[first] + (first + 1 < length ? spread[first + 1] : 0.0);
  };
  // The pairs that spread most first: after them most windows are out, and
  // a vector step whose windows all are skips the rest. Pairs left out
  // past kFilterPairs add no deficit: the bound stays a bound, only looser.
  std::stable_sort(firsts.begin(), firsts.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return pair_spread(a) > pair_spread(b); });
  if (firsts.size() > kFilterPairs) firsts.resize(kFilterPairs);
  plan.pairs = static_cast<std::uint32_t>(firsts.size());
  for (std::uint32_t j = 0; j < plan.pairs; ++j) {
    plan.row[j] = firsts[j];
    plan.reach += pair_spread(firsts[j]);
  }
  // The double sums here and in the budget round by far less than this.
  plan.margin = std::ldexp(magnitude + std::fabs(plan.largest), -30);
  return plan;
}

void make_filter_table(const FilterPlan& plan, double lowest_sum, FilterTable& table) {
  // A site's exact deficit (largest - its sum) is at most the budget.
  const double budget = plan.largest - lowest_sum + plan.margin + std::ldexp(std::fabs(lowest_sum), -30);
  if (plan.pairs == 0 || std::isnan(budget) || budget >= plan.reach) {
    table.verdict = FilterVerdict::kAll;
    return;
  }
  if (budget < 0.0) {
    table.verdict = FilterVerdict::kNone;
    return;
  }
  table.verdict = FilterVerdict::kSome;
  // units = deficit * scale, rounded down and shrunk a little more, so a
  // site's units add up to at most budget * scale = 254 (up to one rounding).
  const double scale = double{kFilterBudget} / budget;  // infinite for a zero budget
  const double shrink = 1.0 - std::ldexp(1.0, -40);
  for (std::uint32_t j = 0; j < plan.pairs; ++j) {
    const std::uint32_t first = plan.row[j];
    const bool second = first + 1 < plan.deficit.size() / 4;
    for (std::uint32_t code = 0; code < 16; ++code) {
      const double deficit = plan.deficit[4 * first + (code >> 2)] +
                             (second ? plan.deficit[4 * (first + 1) + (code & 3)] : 0.0);
      const double units = deficit * scale * shrink;
      table.deficits[16 * j + code] =
          deficit <= 0.0 ? 0 : units >= 255.0 ? 255 : static_cast<std::uint8_t>(std::floor(units));
    }
  }
  // The pairs read disjoint rows, so on uniform random bases their units
  // are independent: the distribution of the sum, pair by pair.
  std::array<double, kFilterBudget + 1> share{};  // share[u]: windows with u units so far
  std::array<double, kFilterBudget + 1> next{};
  share[0] = 1.0;
  for (std::uint32_t j = 0; j < plan.pairs; ++j) {
    next.fill(0.0);
    for (std::uint32_t code = 0; code < 16; ++code) {
      const std::uint32_t units = table.deficits[16 * j + code];
      for (std::uint32_t u = 0; u + units <= kFilterBudget; ++u) next[u + units] += share[u] / 16.0;
    }
    share = next;
  }
  table.pass_rate = 0.0;
  for (const double part : share) table.pass_rate += part;
}

}  // namespace vok::detail
