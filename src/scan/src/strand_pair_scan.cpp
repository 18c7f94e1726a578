// Both strands of a record from one pass over the forward strand's words.
//
// The other strand's core word at i covers the forward bases of the forward
// word at x = mirror - 4 - i, and is that word reversed (or reverse
// complemented). So one search over the forward words finds both strands'
// candidates: per model, a table over forward words says whether the word
// passes on the forward strand, the mirrored word on the other, or both.
// Each strand's candidates are then scored on that strand's own bases and
// words, exactly as a one-strand scan scores them.
#include <algorithm>
#include <array>
#include <stdexcept>

#include "scan/multi_scan.hpp"
#include "scan_state.hpp"

namespace vok {
namespace {

using detail::BlockView;
using detail::ScanScratchState;
using detail::StrandState;

using WordMap = std::array<std::uint16_t, kCoreWords>;

WordMap make_word_map(OtherStrand kind) {
  WordMap map{};
  for (std::uint32_t word = 0; word < kCoreWords; ++word) {
    std::uint32_t reversed = 0;
    for (std::uint32_t rest = word, j = 0; j < kCoreLength; ++j, rest >>= 2) reversed = (reversed << 2) | (rest & 3);
    map[word] = static_cast<std::uint16_t>(kind == OtherStrand::kReverseComplement ? reversed ^ (kCoreWords - 1)
                                                                                    : reversed);
  }
  return map;
}

// The other strand's word over the same bases as a forward word; its own inverse.
const WordMap& word_map(OtherStrand kind) {
  static const WordMap reversed = make_word_map(OtherStrand::kReversed);
  static const WordMap complemented = make_word_map(OtherStrand::kReverseComplement);
  return kind == OtherStrand::kReversed ? reversed : complemented;
}

void update_pair_table(const detail::PassTable& table, OtherStrand kind, detail::PairPassTable& pair) {
  const int map_id = static_cast<int>(kind);
  if (pair.map == map_id && pair.css_bits == table.css_bits && pair.mss_bits == table.mss_bits) return;
  const WordMap& map = word_map(kind);
  pair.targets.clear();
  for (std::uint32_t word = 0; word < kCoreWords; ++word) {
    pair.pass[word] = static_cast<std::uint8_t>(table.pass[word] | (table.pass[map[word]] << 1));
    if (pair.pass[word] != 0) pair.targets.push_back(static_cast<std::uint16_t>(word));
  }
  pair.css_bits = table.css_bits;
  pair.mss_bits = table.mss_bits;
  pair.map = map_id;
}

// Where one model looks in a block, as offsets of the forward view: forward
// candidates at [forward_lo, forward_hi), other-strand ones at forward words
// [other_lo, other_hi); the other-strand core word of offset x starts at
// other-view offset other_at - x.
struct PairRanges {
  std::uint32_t forward_lo = 0, forward_hi = 0;
  std::uint32_t other_lo = 0, other_hi = 0;
  std::uint32_t other_at = 0;  // modulo 2^32
};

}  // namespace

void MultiScanner::scan_strands(std::span<const BaseCode> forward, std::span<const BaseCode> other,
                                OtherStrand kind, std::uint64_t mirror,
                                std::span<const CandidateRange> forward_ranges,
                                std::span<const CandidateRange> other_ranges,
                                std::span<std::vector<SiteMatch>> forward_out,
                                std::span<std::vector<SiteMatch>> other_out, ScanScratch& scratch) const {
  ScanScratchState& state = scratch_state(scratch);
  StrandState& ahead = state.strands[0];
  StrandState& back = state.strands[1];
  plan_strand(forward, forward_ranges, forward_out, state, ahead);
  plan_strand(other, other_ranges, other_out, state, back);

  // Blocks run over forward core positions: those of the forward candidates
  // and the mirrors of the other strand's.
  std::uint64_t begin = ahead.union_begin;
  std::uint64_t end = ahead.union_end;
  if (back.union_begin < back.union_end) {
    // Other core word i <-> forward word mirror - 4 - i, which must lie in `forward`.
    if (mirror < back.union_end + 3 || mirror + 1 > forward.size() + back.union_begin) {
      throw std::invalid_argument("MultiScanner::scan_strands: the forward span misses other-strand words");
    }
    begin = std::min(begin, mirror - 3 - back.union_end);
    end = std::max(end, mirror - 3 - back.union_begin);
  }
  // Per model, which strands a forward word passes on; and the words either
  // strand of any model may pass, for the blocks' shared search.
  state.shared_pass.fill(0);
  for (std::size_t k = 0; k < size(); ++k) {
    if (ahead.fast_begin[k] >= ahead.fast_end[k] && back.fast_begin[k] >= back.fast_end[k]) continue;
    if (state.tables[k].filtered) continue;
    update_pair_table(state.tables[k], kind, state.pair_tables[k]);
    for (const std::uint16_t word : state.pair_tables[k].targets) state.shared_pass[word] = 1;
  }
  detail::list_shared_words(state);
  // Blocks rise along the forward strand, so along the other one they fall:
  // each block's other-strand sites are in order, the blocks' runs are not.
  std::vector<std::size_t>& marks = state.other_marks;  // per block, per model: sites before it
  marks.clear();
  for (std::uint64_t block = begin; block < end; block += detail::kBlockPositions) {
    for (std::size_t k = 0; k < size(); ++k) marks.push_back(other_out[k].size());
    scan_pair_block(forward, other, kind, mirror, block, std::min(end, block + detail::kBlockPositions), state,
                    forward_out, other_out);
  }
  const std::size_t blocks = marks.size() / std::max<std::size_t>(size(), 1);
  for (std::size_t k = 0; blocks > 1 && k < size(); ++k) {
    // Reversing the whole and then each block's run puts the runs in reverse order.
    std::vector<SiteMatch>& sites = other_out[k];
    const auto first = sites.begin() + static_cast<std::ptrdiff_t>(marks[k]);
    std::reverse(first, sites.end());
    auto run = first;
    for (std::size_t b = blocks; b-- > 0;) {
      const std::size_t run_end = b + 1 < blocks ? marks[(b + 1) * size() + k] : sites.size();
      const auto next = run + static_cast<std::ptrdiff_t>(run_end - marks[b * size() + k]);
      std::reverse(run, next);
      run = next;
    }
  }
  finish_strand(forward, forward_ranges, forward_out);
  finish_strand(other, other_ranges, other_out);
}

void MultiScanner::scan_strands(std::span<const BaseCode> forward, std::span<const BaseCode> other,
                                OtherStrand kind, std::uint64_t mirror,
                                std::span<const CandidateRange> forward_ranges,
                                std::span<const CandidateRange> other_ranges,
                                std::span<std::vector<SiteMatch>> forward_out,
                                std::span<std::vector<SiteMatch>> other_out) const {
  scan_strands(forward, other, kind, mirror, forward_ranges, other_ranges, forward_out, other_out,
               thread_scratch());
}

void MultiScanner::scan_pair_block(std::span<const BaseCode> forward, std::span<const BaseCode> other,
                                   OtherStrand kind, std::uint64_t mirror, std::uint64_t block_begin, std::uint64_t block_end,
                                   ScanScratchState& state, std::span<std::vector<SiteMatch>> forward_out,
                                   std::span<std::vector<SiteMatch>> other_out) const {
  StrandState& ahead = state.strands[0];
  StrandState& back = state.strands[1];
  // The other strand's core positions mirroring this block, within its scanned ones.
  const std::uint64_t mirror_begin = mirror >= 3 + block_end ? mirror - 3 - block_end : 0;
  const std::uint64_t mirror_end = mirror >= 3 + block_begin ? mirror - 3 - block_begin : 0;
  const std::uint64_t other_begin = std::max(mirror_begin, back.union_begin);
  const std::uint64_t other_end = std::min(mirror_end, back.union_end);
  const bool other_scanned = other_begin < other_end;

  std::size_t active = 0;    // models searching by word
  std::size_t filtered = 0;  // models using the filter
  std::size_t active_ahead = 0;
  std::size_t active_back = 0;
  for (std::size_t k = 0; k < size(); ++k) {
    const bool a = ahead.active(k, block_begin, block_end);
    const bool b = other_scanned && back.active(k, other_begin, other_end);
    filtered += (a || b) && state.tables[k].filtered;
    active += (a || b) && !state.tables[k].filtered;
    active_ahead += a;
    active_back += b;
  }
  if (active + filtered == 0) return;
  const BlockView view = view_block(forward, block_begin, block_end, ahead);
  const BlockView other_view = other_scanned ? view_block(other, other_begin, other_end, back) : BlockView{};
  const std::uint16_t* words = view.words;
  const std::uint32_t block_lo = view.lo;
  const std::uint32_t block_hi = view.hi;
  if (active_ahead != 0) state.counts.positions += block_end - block_begin;
  if (active_back != 0) state.counts.positions += other_end - other_begin;

  // Each model's search now finds both strands' candidates: the cost model of
  // the one-strand scan, over each model's words of either strand.
  const detail::ScanKernels kernels = detail::scan_kernels();
  const auto compares = [&](std::size_t targets) {
    return kernels.find_words != nullptr && targets <= 2 * detail::kCompareWords;
  };
  double search_cost = 0.0;
  for (std::size_t k = 0; k < size() && search_cost < detail::kIndexCost; ++k) {
    if (!ahead.active(k, block_begin, block_end) && !(other_scanned && back.active(k, other_begin, other_end))) {
      continue;
    }
    if (state.tables[k].filtered) continue;
    const std::size_t targets = state.pair_tables[k].targets.size();
    search_cost += compares(targets) ? detail::kCompareCost * static_cast<double>(targets + 1)
                                     : detail::kPassTableCost;
  }
  const detail::BlockSearch search = detail::start_block_search(words, block_lo, block_hi, search_cost, active,
                                                                2 * detail::kCompareWords, state);
  const bool indexed = search.indexed;
  const bool shared = search.shared;
  const std::size_t shared_found = search.shared_found;
  const bool filter_ahead = filtered != 0 && active_ahead != 0;
  const bool filter_back = filtered != 0 && active_back != 0;
  const std::uint8_t* ahead_codes = filter_ahead ? detail::block_pair_codes(view, ahead) : nullptr;
  const std::uint8_t* back_codes = filter_back ? detail::block_pair_codes(other_view, back) : nullptr;

  const WordMap& map = word_map(kind);
  for (std::size_t k = 0; k < size(); ++k) {
    const bool on_ahead = ahead.active(k, block_begin, block_end);
    const bool on_back = other_scanned && back.active(k, other_begin, other_end);
    if (!on_ahead && !on_back) continue;
    const std::uint32_t m = static_cast<std::uint32_t>(plans_[k].core_start);
    if (state.tables[k].filtered) {
      // Each strand's windows filtered on its own bases, ascending.
      const detail::ModelPlan& plan = plans_[k];
      const detail::PassTable& table = state.tables[k];
      if (on_ahead) {
        const auto lo = static_cast<std::uint32_t>(std::max(ahead.fast_begin[k], block_begin) - view.origin);
        const auto hi = static_cast<std::uint32_t>(std::min(ahead.fast_end[k], block_end) - view.origin);
        const std::size_t count = detail::filter_candidates(view, ahead_codes, plan, table, lo - m, hi - m, ahead);
        score_candidates(view, k, ahead, count, 0, true, state, forward_out[k]);
      }
      if (on_back) {
        const auto lo = static_cast<std::uint32_t>(std::max(back.fast_begin[k], other_begin) - other_view.origin);
        const auto hi = static_cast<std::uint32_t>(std::min(back.fast_end[k], other_end) - other_view.origin);
        const std::size_t count = detail::filter_candidates(other_view, back_codes, plan, table, lo - m, hi - m, back);
        score_candidates(other_view, k, back, count, 0, true, state, other_out[k]);
      }
      continue;
    }
    PairRanges at;
    if (on_ahead) {
      at.forward_lo = static_cast<std::uint32_t>(std::max(ahead.fast_begin[k], block_begin) - view.origin);
      at.forward_hi = static_cast<std::uint32_t>(std::min(ahead.fast_end[k], block_end) - view.origin);
    }
    if (on_back) {
      // Other core positions [first, last) are the forward words (mirror - 3 - last, mirror - 3 - first].
      const std::uint64_t first = std::max(back.fast_begin[k], other_begin);
      const std::uint64_t last = std::min(back.fast_end[k], other_end);
      at.other_lo = static_cast<std::uint32_t>(mirror - 3 - last - view.origin);
      at.other_hi = static_cast<std::uint32_t>(mirror - 3 - first - view.origin);
      at.other_at = static_cast<std::uint32_t>(mirror - 4 - view.origin - other_view.origin);
    }
    std::uint32_t* ahead_starts = ahead.starts.data();
    std::uint32_t* back_starts = back.starts.data();
    std::size_t ahead_count = 0;
    std::size_t back_count = 0;
    std::size_t ahead_runs = 0;
    std::size_t back_runs = 0;
    bool pair_checked = false;  // the bound over the core and five more rows is applied

    if (indexed) {
      // Runs of one word each, ascending within the run: the other strand's
      // positions fall as the forward ones rise, so its buckets run backwards.
      // All of a bucket share the core word, so the bound over the core and
      // the five rows beside it is a threshold on the latter, read from each
      // strand's own words.
      const detail::ModelPlan& plan = plans_[k];
      const detail::PassTable& table = state.tables[k];
      const std::uint16_t* by_word = state.by_word.data();
      const std::uint32_t* bucket = state.bucket_start.data();
      const double* next_sum = plan.next_sum.data();
      const bool ahead_whole = at.forward_lo == block_lo && at.forward_hi == block_hi;
      const bool back_whole = at.other_lo == block_lo && at.other_hi == block_hi;
      const auto bucket_range = [&](std::uint16_t word, std::uint32_t lo, std::uint32_t hi, bool whole) {
        const std::uint16_t* first = by_word + bucket[word];
        const std::uint16_t* last = by_word + bucket[word + 1];
        if (!whole) {
          first = std::lower_bound(first, last, lo - block_lo);
          last = std::lower_bound(first, last, hi - block_lo);
        }
        return std::pair{first, last};
      };
      for (const std::uint16_t word : table.words) {
        const double need = table.pair_target - plan.core_sum[word];
        if (on_ahead) {
          auto [first, last] = bucket_range(word, at.forward_lo, at.forward_hi, ahead_whole);
          if (first != last) {
            const std::size_t before = ahead_count;
            if (plan.next_offset == 0) {
              for (; first != last; ++first) ahead_starts[ahead_count++] = block_lo + *first - m;
            } else {
              const std::uint16_t* next_words = words + block_lo + plan.next_offset;
              state.counts.pruned += static_cast<std::uint64_t>(last - first);
              for (; first != last; ++first) {
                ahead_starts[ahead_count] = block_lo + *first - m;
                ahead_count += next_sum[next_words[*first]] >= need;
              }
              state.counts.pruned -= ahead_count - before;
            }
            if (ahead_count != before) ahead.run_end[ahead_runs++] = static_cast<std::uint32_t>(ahead_count);
          }
        }
        if (on_back) {
          auto [first, last] = bucket_range(map[word], at.other_lo, at.other_hi, back_whole);
          if (first != last) {
            const std::size_t before = back_count;
            // Window start of the other strand's candidate at forward offset block_lo + e.
            const std::uint32_t start_at = at.other_at - block_lo - m;
            if (plan.next_offset == 0) {
              while (last != first) back_starts[back_count++] = start_at - *--last;
            } else {
              const std::uint16_t* next_words = other_view.words + m + plan.next_offset;
              state.counts.pruned += static_cast<std::uint64_t>(last - first);
              while (last != first) {
                const std::uint32_t start = start_at - *--last;
                back_starts[back_count] = start;
                back_count += next_sum[next_words[start]] >= need;
              }
              state.counts.pruned -= back_count - before;
            }
            if (back_count != before) back.run_end[back_runs++] = static_cast<std::uint32_t>(back_count);
          }
        }
      }
      pair_checked = true;
    } else {
      const std::uint8_t* pass = state.pair_tables[k].pass.data();
      const std::uint32_t forward_span = at.forward_hi - at.forward_lo;
      const std::uint32_t other_span = at.other_hi - at.other_lo;
      const auto classify = [&](std::uint32_t x) {
        const std::uint8_t bits = pass[words[x]];
        ahead_starts[ahead_count] = x - m;
        ahead_count += bits & static_cast<std::uint8_t>(x - at.forward_lo < forward_span);
        back_starts[back_count] = at.other_at - x - m;
        back_count += (bits >> 1) & static_cast<std::uint8_t>(x - at.other_lo < other_span);
      };
      if (shared) {
        const std::uint32_t* list = state.shared_list.data();
        for (std::size_t j = 0; j < shared_found; ++j) classify(list[j]);
      } else {
        const std::uint32_t lo = forward_span == 0 ? at.other_lo
                                 : other_span == 0 ? at.forward_lo
                                                   : std::min(at.forward_lo, at.other_lo);
        const std::uint32_t hi = forward_span == 0 ? at.other_hi
                                 : other_span == 0 ? at.forward_hi
                                                   : std::max(at.forward_hi, at.other_hi);
        const std::vector<std::uint16_t>& targets = state.pair_tables[k].targets;
        if (compares(targets.size())) {
          std::uint32_t* list = state.shared_list.data();
          const std::size_t found = kernels.find_words(words, lo, hi, targets.data(), targets.size(), 0, list);
          for (std::size_t j = 0; j < found; ++j) classify(list[j]);
        } else if (at.forward_lo == at.other_lo && at.forward_hi == at.other_hi) {
          // Both strands over the same words: no range checks.
          for (std::uint32_t x = lo; x < hi; ++x) {
            const std::uint8_t bits = pass[words[x]];
            ahead_starts[ahead_count] = x - m;
            ahead_count += bits & 1;
            back_starts[back_count] = at.other_at - x - m;
            back_count += bits >> 1;
          }
        } else {
          for (std::uint32_t x = lo; x < hi; ++x) classify(x);
        }
      }
      std::reverse(back_starts, back_starts + back_count);
    }
    if (on_ahead) score_candidates(view, k, ahead, ahead_count, ahead_runs, pair_checked, state, forward_out[k]);
    if (on_back) score_candidates(other_view, k, back, back_count, back_runs, pair_checked, state, other_out[k]);
  }
}

}  // namespace vok
