// Candidates through the deficit filter, for models whose words pass too
// often for the word search to pay.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "scan_state.hpp"

namespace vok::detail {
namespace {
std::atomic<FilterUse> g_filter_use{FilterUse::kAuto};
}  // namespace

FilterUse force_filter_use(FilterUse use) { return g_filter_use.exchange(use, std::memory_order_relaxed); }

void choose_filter(const ModelPlan& plan, const ScanKernels& kernels, std::size_t models, PassTable& table) {
  table.filtered = false;
  if (table.filter.verdict != FilterVerdict::kSome) return;
  switch (g_filter_use.load(std::memory_order_relaxed)) {
    case FilterUse::kAlways:
      table.filtered = true;
      return;
    case FilterUse::kNever:
      return;
    case FilterUse::kAuto:
      break;
  }
  // Per position: the filter reads every pair (and a few steps more) and
  // checks the words of the windows it keeps; the word search costs its
  // search (an index shared by many models costs each little) and follows
  // up the share of positions whose word passes.
  const double filter_cost = kernels.filter_pair_cost * static_cast<double>(plan.filter.pairs + 3) +
                             kFilterKeptCost * table.filter.pass_rate;
  const std::size_t words = table.words.size();
  const double own_search = kernels.find_words != nullptr && words <= kCompareWords
                                ? kCompareCost * static_cast<double>(words + 1)
                                : kPassTableCost;
  const double search_cost = std::min(own_search, kIndexCost / static_cast<double>(std::max<std::size_t>(models, 1)));
  const double word_cost =
      search_cost + kWordCandidateCost * static_cast<double>(words) / static_cast<double>(kCoreWords);
  table.filtered = filter_cost < word_cost;
}

const std::uint8_t* block_pair_codes(const BlockView& view, StrandState& strand) {
  strand.pair_codes.resize(view.extent + kPadding);
  std::uint8_t* codes = strand.pair_codes.data();
  // The last base's code reads one base past the extent, inside the padding.
  scan_kernels().pair_codes(view.codes, view.extent, codes);
  std::memset(codes + view.extent, 0, kPadding);
  return codes;
}

std::size_t filter_candidates(const BlockView& view, const std::uint8_t* pair_codes, const ModelPlan& plan,
                              const PassTable& table, std::uint32_t lo, std::uint32_t hi, StrandState& strand) {
  const FilterBatch batch{pair_codes, table.filter.deficits.data(), plan.filter.row.data(), plan.filter.pairs};
  std::uint32_t* starts = strand.starts.data();
  const std::size_t found = scan_kernels().filter_windows(batch, lo, hi, starts);
  // The css test, and the bound on the core word: few windows get here.
  const std::uint8_t* pass = table.pass.data();
  const std::uint16_t* words = view.words + plan.core_start;
  std::size_t kept = 0;
  for (std::size_t j = 0; j < found; ++j) {
    const std::uint32_t q = starts[j];
    starts[kept] = q;
    kept += pass[words[q]];
  }
  return kept;
}

}  // namespace vok::detail
