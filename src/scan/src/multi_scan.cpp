#include "scan/multi_scan.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "scan_state.hpp"

namespace vok {
namespace detail {

void index_block(const std::uint16_t* words, std::uint32_t lo, std::uint32_t hi, ScanScratchState& state) {
  state.bucket_start.assign(kCoreWords + 1, 0);
  std::uint32_t* start = state.bucket_start.data();
  for (std::uint32_t x = lo; x < hi; ++x) ++start[words[x] + 1];
  for (std::size_t w = 0; w < kCoreWords; ++w) start[w + 1] += start[w];
  state.by_word.resize(hi - lo);
  std::uint16_t* by_word = state.by_word.data();
  for (std::uint32_t x = lo; x < hi; ++x) by_word[start[words[x]]++] = static_cast<std::uint16_t>(x - lo);
  // The scatter moved every start to its bucket's end; shift them back.
  for (std::size_t w = kCoreWords; w > 0; --w) start[w] = start[w - 1];
  start[0] = 0;
}

void reserve_candidates(ScanScratchState& state, std::size_t positions) {
  const std::size_t room = positions + kStartsSlack;
  if (state.sums.size() < room) {
    state.sums.resize(room);
    state.passed.resize(room);
    state.shared_list.resize(room);
  }
  for (StrandState& strand : state.strands) {
    if (strand.starts.size() < room) strand.starts.resize(room);
    strand.run_end.resize(kCoreWords);
  }
}

void list_shared_words(ScanScratchState& state) {
  state.shared_words.clear();
  for (std::uint32_t word = 0; word < kCoreWords; ++word) {
    if (state.shared_pass[word] != 0) state.shared_words.push_back(static_cast<std::uint16_t>(word));
  }
}

BlockSearch start_block_search(const std::uint16_t* words, std::uint32_t lo, std::uint32_t hi, double search_cost,
                               std::size_t active, std::size_t compare_limit, ScanScratchState& state) {
  const ScanKernels kernels = scan_kernels();
  BlockSearch search;
  search.indexed = search_cost >= kIndexCost;
  // One search for the words of all models, then per model a pass over the
  // positions found: pays when the models pass few words in all.
  const std::size_t shared_count = state.shared_words.size();
  const bool shared_compare = kernels.find_words != nullptr && shared_count <= compare_limit;
  const double shared_cost =
      (shared_compare ? kCompareCost * static_cast<double>(shared_count + 1) : kPassTableCost) +
      static_cast<double>(active) * kPassTableCost * static_cast<double>(shared_count) /
          static_cast<double>(kCoreWords);
  search.shared = !search.indexed && active > 1 && shared_cost < search_cost;
  if (search.indexed) index_block(words, lo, hi, state);
  reserve_candidates(state, hi - lo);
  if (search.shared) {
    std::uint32_t* list = state.shared_list.data();
    if (shared_compare) {
      search.shared_found = kernels.find_words(words, lo, hi, state.shared_words.data(), shared_count, 0, list);
    } else {
      const std::uint8_t* pass = state.shared_pass.data();
      for (std::uint32_t x = lo; x < hi; ++x) {
        list[search.shared_found] = x;
        search.shared_found += pass[words[x]];
      }
    }
  }
  return search;
}

}  // namespace detail

using detail::BlockView;
using detail::ScanScratchState;
using detail::StrandState;

ScanScratch::ScanScratch() = default;
ScanScratch::~ScanScratch() = default;
ScanScratch::ScanScratch(ScanScratch&&) noexcept = default;
ScanScratch& ScanScratch::operator=(ScanScratch&&) noexcept = default;

ScanCounts ScanScratch::counts() const { return state_ ? state_->counts : ScanCounts{}; }

namespace {
std::atomic<std::uint64_t> g_next_scanner_id{1};
}  // namespace

MultiScanner::MultiScanner(std::span<const ScoringMatrix> models)
    : MultiScanner(models, [](std::size_t count, const std::function<void(std::size_t)>& body) {
        for (std::size_t i = 0; i < count; ++i) body(i);
      }) {}

MultiScanner::MultiScanner(std::span<const ScoringMatrix> models, const ParallelFor& parallel_for)
    : models_(models), id_(g_next_scanner_id.fetch_add(1, std::memory_order_relaxed)) {
  scanners_.reserve(models.size());
  for (const ScoringMatrix& model : models) {
    scanners_.emplace_back(model);
    longest_ = std::max<std::uint64_t>(longest_, model.length);
    deepest_core_ = std::max<std::uint64_t>(deepest_core_, model.core_start);
  }
  plans_.resize(models.size());
  parallel_for(models.size(), [&](std::size_t k) { plans_[k] = detail::make_model_plan(models[k]); });
}

MultiScanner::~MultiScanner() = default;

ScanScratch& MultiScanner::thread_scratch() {
  thread_local ScanScratch scratch;
  return scratch;
}

void MultiScanner::scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                        std::span<std::vector<SiteMatch>> out) const {
  scan(bases, ranges, out, thread_scratch());
}

ScanScratchState& MultiScanner::scratch_state(ScanScratch& scratch) const {
  if (!scratch.state_) scratch.state_ = std::make_unique<ScanScratchState>();
  ScanScratchState& state = *scratch.state_;
  if (state.scanner_id != id_) {
    state.tables.assign(size(), detail::PassTable{});
    state.pair_tables.assign(size(), detail::PairPassTable{});
    state.scanner_id = id_;
  }
  return state;
}

void MultiScanner::plan_strand(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                               std::span<std::vector<SiteMatch>> out, ScanScratchState& state,
                               StrandState& strand) const {
  if (ranges.size() != scanners_.size() || out.size() != scanners_.size()) {
    throw std::invalid_argument("MultiScanner::scan: one range and one output per model");
  }
  strand.fast_begin.assign(size(), 0);
  strand.fast_end.assign(size(), 0);
  strand.union_begin = UINT64_MAX;
  strand.union_end = 0;
  const std::uint64_t n = bases.size();
  const detail::ScanKernels kernels = detail::scan_kernels();
  for (std::size_t k = 0; k < size(); ++k) {
    const CandidateRange range = ranges[k];
    if (range.first >= range.end) continue;
    const detail::ModelPlan& plan = plans_[k];
    if (!plan.batched) {
      scanners_[k].scan_candidates(bases, range.first, range.end, out[k]);
      continue;
    }
    // Candidates c with c + L <= n have full windows; the few cut short by
    // the record's end take the one-by-one scan after the blocks.
    const std::uint64_t full = n >= plan.length ? n - plan.length + 1 : 0;
    const std::uint64_t fast_end = std::max(range.first, std::min(range.end, full));
    detail::PassTable& table = state.tables[k];
    detail::update_pass_table(plan, models_[k], table);
    detail::choose_filter(plan, kernels, size(), table);
    // A model none of whose full windows can reach its mss scans only the short ones.
    if (fast_end > range.first && !table.words.empty() && table.filter.verdict != detail::FilterVerdict::kNone) {
      strand.fast_begin[k] = plan.core_start + range.first;
      strand.fast_end[k] = plan.core_start + fast_end;
      strand.union_begin = std::min(strand.union_begin, strand.fast_begin[k]);
      strand.union_end = std::max(strand.union_end, strand.fast_end[k]);
    }
  }
}

void MultiScanner::finish_strand(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                                 std::span<std::vector<SiteMatch>> out) const {
  const std::uint64_t n = bases.size();
  for (std::size_t k = 0; k < size(); ++k) {
    const CandidateRange range = ranges[k];
    if (range.first >= range.end || !plans_[k].batched) continue;
    const std::uint64_t full = n >= plans_[k].length ? n - plans_[k].length + 1 : 0;
    const std::uint64_t tail = std::max(range.first, std::min(range.end, full));
    scanners_[k].scan_candidates(bases, tail, range.end, out[k]);
  }
}

void MultiScanner::scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                        std::span<std::vector<SiteMatch>> out, ScanScratch& scratch) const {
  ScanScratchState& state = scratch_state(scratch);
  StrandState& strand = state.strands[0];
  plan_strand(bases, ranges, out, state, strand);

  // The words that any model may pass here: a block whose models each pass
  // few words finds their candidates in one search for all of them.
  state.shared_pass.fill(0);
  for (std::size_t k = 0; k < size(); ++k) {
    if (strand.fast_begin[k] >= strand.fast_end[k] || state.tables[k].filtered) continue;
    for (const std::uint16_t word : state.tables[k].words) state.shared_pass[word] = 1;
  }
  detail::list_shared_words(state);

  for (std::uint64_t begin = strand.union_begin; begin < strand.union_end; begin += detail::kBlockPositions) {
    scan_block(bases, begin, std::min(strand.union_end, begin + detail::kBlockPositions), state, out);
  }
  finish_strand(bases, ranges, out);
}

BlockView MultiScanner::view_block(std::span<const BaseCode> bases, std::uint64_t block_begin,
                                   std::uint64_t block_end, StrandState& strand) const {
  const std::uint64_t n = bases.size();
  BlockView view;
  // Offsets in the block's buffers count from `origin`, far enough left for
  // every window that starts before a core position of the block.
  view.origin = block_begin >= deepest_core_ ? block_begin - deepest_core_ : 0;
  // The kernels read past the last window: a block that ends near the
  // record's end works on a padded copy, others on the record itself.
  const std::uint64_t copy_end = std::min(n, block_end + longest_ + 2 * kCoreLength);
  view.codes = bases.data() + view.origin;
  if (copy_end + detail::kPadding > n) {
    const std::size_t copied = copy_end - view.origin;
    strand.bases.resize(copied + detail::kPadding);
    std::memcpy(strand.bases.data(), view.codes, copied);
    std::memset(strand.bases.data() + copied, 0, detail::kPadding);
    view.codes = strand.bases.data();
  }
  // Every core position p < block_end has p + 5 <= n, so all these words exist.
  // Words run five past the block for the rows beside the core of its last candidates.
  const std::size_t word_count = std::min(block_end + kCoreLength, n - (kCoreLength - 1)) - view.origin;
  strand.words.resize(word_count + detail::kPadding);
  std::uint16_t* words = strand.words.data();
  detail::scan_kernels().block_words(view.codes, word_count, words);
  std::fill(words + word_count, words + word_count + detail::kPadding, std::uint16_t{0});
  view.words = words;
  view.lo = static_cast<std::uint32_t>(block_begin - view.origin);
  view.hi = static_cast<std::uint32_t>(block_end - view.origin);
  view.extent = static_cast<std::uint32_t>(copy_end - view.origin);
  return view;
}

void MultiScanner::scan_block(std::span<const BaseCode> bases, std::uint64_t block_begin,
                              std::uint64_t block_end, ScanScratchState& state,
                              std::span<std::vector<SiteMatch>> out) const {
  StrandState& strand = state.strands[0];
  std::size_t active = 0;    // models searching by word
  std::size_t filtered = 0;  // models using the filter
  for (std::size_t k = 0; k < size(); ++k) {
    const bool on = strand.active(k, block_begin, block_end);
    filtered += on && state.tables[k].filtered;
    active += on && !state.tables[k].filtered;
  }
  if (active + filtered == 0) return;
  const BlockView view = view_block(bases, block_begin, block_end, strand);
  const std::uint16_t* words = view.words;
  const std::uint32_t block_lo = view.lo;
  const std::uint32_t block_hi = view.hi;
  state.counts.positions += block_end - block_begin;

  const detail::ScanKernels kernels = detail::scan_kernels();
  double search_cost = 0.0;
  for (std::size_t k = 0; k < size() && search_cost < detail::kIndexCost; ++k) {
    if (!strand.active(k, block_begin, block_end) || state.tables[k].filtered) continue;
    const std::size_t targets = state.tables[k].words.size();
    search_cost += kernels.find_words != nullptr && targets <= detail::kCompareWords
                       ? detail::kCompareCost * static_cast<double>(targets + 1)
                       : detail::kPassTableCost;
  }
  const detail::BlockSearch search = detail::start_block_search(words, block_lo, block_hi, search_cost, active,
                                                                detail::kCompareWords, state);
  const bool indexed = search.indexed;
  const bool shared = search.shared;
  const std::size_t shared_found = search.shared_found;
  const std::uint8_t* pair_codes = filtered != 0 ? detail::block_pair_codes(view, strand) : nullptr;

  for (std::size_t k = 0; k < size(); ++k) {
    if (!strand.active(k, block_begin, block_end)) continue;
    const detail::ModelPlan& plan = plans_[k];
    const detail::PassTable& table = state.tables[k];
    const std::uint32_t lo = static_cast<std::uint32_t>(std::max(strand.fast_begin[k], block_begin) - view.origin);
    const std::uint32_t hi = static_cast<std::uint32_t>(std::min(strand.fast_end[k], block_end) - view.origin);
    const std::uint32_t m = static_cast<std::uint32_t>(plan.core_start);
    if (table.filtered) {
      const std::size_t count = detail::filter_candidates(view, pair_codes, plan, table, lo - m, hi - m, strand);
      score_candidates(view, k, strand, count, 0, true, state, out[k]);
      continue;
    }
    std::uint32_t* starts = strand.starts.data();

    // Candidates as window starts (core position - m).
    std::size_t count = 0;
    std::size_t runs = 0;  // nonempty word buckets visited: more than one needs ordering
    std::uint32_t* run_end = strand.run_end.data();  // candidates of run r end at run_end[r]
    bool pair_checked = false;  // the bound over the core and five more rows is applied
    if (indexed) {
      const std::uint16_t* by_word = state.by_word.data();
      const std::uint32_t* bucket = state.bucket_start.data();
      const bool whole = lo == block_lo && hi == block_hi;
      const std::uint32_t base = block_lo - m;  // window start of index entry 0
      for (const std::uint16_t word : table.words) {
        const std::uint16_t* first = by_word + bucket[word];
        const std::uint16_t* last = by_word + bucket[word + 1];
        if (!whole) {
          first = std::lower_bound(first, last, lo - block_lo);
          last = std::lower_bound(first, last, hi - block_lo);
        }
        if (first == last) continue;
        const std::size_t before = count;
        if (plan.next_offset == 0) {
          for (; first != last; ++first) starts[count++] = base + *first;
        } else {
          // All of the bucket share the core word, so the bound over the
          // core and the five rows beside it is a threshold on the latter.
          const double need = table.pair_target - plan.core_sum[word];
          const double* next_sum = plan.next_sum.data();
          const std::uint16_t* next_words = words + block_lo + plan.next_offset;
          state.counts.pruned += static_cast<std::uint64_t>(last - first);
          for (; first != last; ++first) {
            starts[count] = base + *first;
            count += next_sum[next_words[*first]] >= need;
          }
          state.counts.pruned -= count - before;
        }
        if (count != before) run_end[runs++] = static_cast<std::uint32_t>(count);
      }
      pair_checked = true;
    } else if (shared) {
      const std::uint32_t* list = state.shared_list.data();
      const std::uint8_t* pass = table.pass.data();
      for (std::size_t j = 0; j < shared_found; ++j) {
        const std::uint32_t x = list[j];
        starts[count] = x - m;
        count += pass[words[x]] & static_cast<std::uint8_t>(x >= lo) & static_cast<std::uint8_t>(x < hi);
      }
    } else if (kernels.find_words != nullptr && table.words.size() <= detail::kCompareWords) {
      count = kernels.find_words(words, lo, hi, table.words.data(), table.words.size(), m, starts);
    } else {
      const std::uint8_t* pass = table.pass.data();
      for (std::uint32_t x = lo; x < hi; ++x) {
        starts[count] = x - m;
        count += pass[words[x]];
      }
    }
    score_candidates(view, k, strand, count, runs, pair_checked, state, out[k]);
  }
}

void MultiScanner::score_candidates(const BlockView& view, std::size_t k, StrandState& strand,
                                    std::size_t count, std::size_t runs, bool pair_checked,
                                    ScanScratchState& state, std::vector<SiteMatch>& out) const {
  const detail::ModelPlan& plan = plans_[k];
  const ScoringMatrix& model = models_[k];
  const std::uint16_t* words = view.words;
  const std::uint32_t m = static_cast<std::uint32_t>(plan.core_start);
  std::uint32_t* starts = strand.starts.data();
  std::uint32_t* run_end = strand.run_end.data();
  if (count != 0 && plan.next_offset != 0 && !pair_checked) {
    // The bound over the core and five more rows, without a branch per candidate.
    const double* core_sum = plan.core_sum.data();
    const double* next_sum = plan.next_sum.data();
    const std::int64_t next = static_cast<std::int64_t>(m) + plan.next_offset;
    const double target = state.tables[k].pair_target;
    std::size_t kept = 0;
    std::size_t j = 0;
    for (std::size_t r = 0; r < std::max<std::size_t>(runs, 1); ++r) {
      const std::size_t end = runs == 0 ? count : run_end[r];
      for (; j < end; ++j) {
        const std::uint32_t q = starts[j];
        starts[kept] = q;
        kept += core_sum[words[q + m]] + next_sum[words[q + next]] >= target;
      }
      if (runs != 0) run_end[r] = static_cast<std::uint32_t>(kept);
    }
    state.counts.pruned += count - kept;
    count = kept;
  }
  if (count == 0) return;
  state.counts.candidates += count;

  const detail::WindowBatch batch{view.codes, words, plan.prefix.data(), plan.terms.data(),
                                  static_cast<std::uint32_t>(plan.length), plan.min_sum,
                                  plan.denominator};
  float* mss = state.sums.data();
  detail::scan_kernels().window_sums(batch, starts, count, mss);

  // Keep the indices of the candidates that reach the threshold, without a branch per candidate.
  const float mss_threshold = model.thresholds.mss;
  std::uint32_t* passed = state.passed.data();
  std::size_t accepted = 0;
  for (std::size_t j = 0; j < count; ++j) {
    passed[accepted] = static_cast<std::uint32_t>(j);
    accepted += mss[j] >= mss_threshold;
  }
  // Sites in candidate order: ascending within each run; runs of different
  // words are merged back into position order.
  std::vector<SiteMatch>& hits = runs > 1 ? state.block_hits : out;
  if (runs > 1) hits.clear();
  std::size_t r = 0;
  for (std::size_t a = 0; a < accepted; ++a) {
    const std::uint32_t j = passed[a];
    if (runs > 1) {
      for (; run_end[r] <= j; ++r) run_end[r] = static_cast<std::uint32_t>(hits.size());
    }
    const std::uint32_t core = starts[j] + m;
    hits.push_back(SiteMatch{view.origin + core, model.core_scores[words[core]], mss[j]});
  }
  if (runs > 1) {
    for (; r < runs; ++r) run_end[r] = static_cast<std::uint32_t>(hits.size());
    const auto by_pos = [](const SiteMatch& a, const SiteMatch& b) { return a.pos < b.pos; };
    if (runs == 2) {
      std::inplace_merge(hits.begin(), hits.begin() + run_end[0], hits.end(), by_pos);
    } else {
      std::sort(hits.begin(), hits.end(), by_pos);
    }
    out.insert(out.end(), hits.begin(), hits.end());
  }
}

}  // namespace vok
