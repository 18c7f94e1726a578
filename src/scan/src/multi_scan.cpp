#include "scan/multi_scan.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "model_plan.hpp"
#include "window_sums.hpp"

namespace vok {
namespace detail {

// Core positions per block: the block's words, index and bases stay in L2.
constexpr std::uint64_t kBlockPositions = std::uint64_t{1} << 15;
// A model with at most this many passing words searches the word array for
// them with vector compares (cheap per position); others use a pass table.
constexpr std::size_t kCompareWords = 12;
// Rough cost per position, in cycles, of the ways a model finds its
// candidates, and of building the index of positions by word that all models
// then share: the index pays when the models' own searches cost more.
constexpr double kCompareCost = 0.08;      // per passing word searched
constexpr double kPassTableCost = 1.5;     // one table look-up
constexpr double kIndexCost = 10.0;          // the counting sort, once per block
constexpr std::size_t kPadding = kKernelPadding;

struct ScanScratchState {
  std::uint64_t scanner_id = 0;             // scanner the pass tables belong to
  std::vector<PassTable> tables;            // per model: pass table of its last thresholds
  std::vector<std::uint64_t> fast_begin;    // per model: first core position with a batched full window
  std::vector<std::uint64_t> fast_end;      // per model: one past its last one (begin == end: none)
  std::vector<std::uint8_t> bases;          // block bases from the block origin, codes masked, padded
  std::vector<std::uint16_t> words;         // word at each block offset, padded
  std::vector<std::uint32_t> bucket_start;  // index: offsets of each word's positions (1025 entries)
  std::vector<std::uint16_t> by_word;       // index: positions from the block's first, grouped by word, ascending in each
  std::vector<std::uint32_t> starts;        // candidates' window starts (block offsets)
  std::vector<float> sums;                  // their mss
  std::vector<std::uint32_t> passed;        // indices of those reaching the mss threshold
  std::vector<std::uint32_t> run_end;       // end of each word's run of candidates, then of sites
  std::vector<SiteMatch> block_hits;        // one model's sites in one block before ordering
  std::array<std::uint8_t, kCoreWords> shared_pass{};  // 1 for a word some model of this scan may pass
  std::vector<std::uint16_t> shared_words;  // those words, ascending
  std::vector<std::uint32_t> shared_list;   // block offsets whose word is one of them, ascending
  ScanCounts counts;                        // work done with this scratch
};

}  // namespace detail

using detail::ScanScratchState;

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

void MultiScanner::scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                        std::span<std::vector<SiteMatch>> out) const {
  thread_local ScanScratch scratch;
  scan(bases, ranges, out, scratch);
}

void MultiScanner::scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                        std::span<std::vector<SiteMatch>> out, ScanScratch& scratch) const {
  if (ranges.size() != scanners_.size() || out.size() != scanners_.size()) {
    throw std::invalid_argument("MultiScanner::scan: one range and one output per model");
  }
  if (!scratch.state_) scratch.state_ = std::make_unique<ScanScratchState>();
  ScanScratchState& state = *scratch.state_;
  if (state.scanner_id != id_) {
    state.tables.assign(size(), detail::PassTable{});
    state.scanner_id = id_;
  }
  state.fast_begin.assign(size(), 0);
  state.fast_end.assign(size(), 0);

  const std::uint64_t n = bases.size();
  std::uint64_t union_begin = UINT64_MAX;
  std::uint64_t union_end = 0;
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
    detail::update_pass_table(plan, models_[k], state.tables[k]);
    if (fast_end > range.first && !state.tables[k].words.empty()) {
      state.fast_begin[k] = plan.core_start + range.first;
      state.fast_end[k] = plan.core_start + fast_end;
      union_begin = std::min(union_begin, state.fast_begin[k]);
      union_end = std::max(union_end, state.fast_end[k]);
    }
  }

  // The words that any model may pass here: a block whose models each pass
  // few words finds their candidates in one search for all of them.
  state.shared_pass.fill(0);
  state.shared_words.clear();
  for (std::size_t k = 0; k < size(); ++k) {
    if (state.fast_begin[k] >= state.fast_end[k]) continue;
    for (const std::uint16_t word : state.tables[k].words) state.shared_pass[word] = 1;
  }
  for (std::uint32_t word = 0; word < kCoreWords; ++word) {
    if (state.shared_pass[word] != 0) state.shared_words.push_back(static_cast<std::uint16_t>(word));
  }

  for (std::uint64_t begin = union_begin; begin < union_end; begin += detail::kBlockPositions) {
    scan_block(bases, begin, std::min(union_end, begin + detail::kBlockPositions), state, out);
  }

  for (std::size_t k = 0; k < size(); ++k) {
    const CandidateRange range = ranges[k];
    if (range.first >= range.end || !plans_[k].batched) continue;
    const std::uint64_t full = n >= plans_[k].length ? n - plans_[k].length + 1 : 0;
    const std::uint64_t tail = std::max(range.first, std::min(range.end, full));
    scanners_[k].scan_candidates(bases, tail, range.end, out[k]);
  }
}

void MultiScanner::scan_block(std::span<const BaseCode> bases, std::uint64_t block_begin,
                              std::uint64_t block_end, ScanScratchState& state,
                              std::span<std::vector<SiteMatch>> out) const {
  const std::uint64_t n = bases.size();
  // Offsets in the block's buffers count from `origin`, far enough left for
  // every window that starts before a core position of the block.
  const std::uint64_t origin = block_begin >= deepest_core_ ? block_begin - deepest_core_ : 0;
  // The kernels read past the last window: a block that ends near the
  // record's end works on a padded copy, others on the record itself.
  const std::uint64_t copy_end = std::min(n, block_end + longest_ + 2 * kCoreLength);
  const std::uint8_t* codes = bases.data() + origin;
  if (copy_end + detail::kPadding > n) {
    const std::size_t copied = copy_end - origin;
    state.bases.resize(copied + detail::kPadding);
    std::memcpy(state.bases.data(), codes, copied);
    std::memset(state.bases.data() + copied, 0, detail::kPadding);
    codes = state.bases.data();
  }

  // Every core position p < block_end has p + 5 <= n, so all these words exist.
  const detail::ScanKernels kernels = detail::scan_kernels();
  // Words run five past the block for the rows beside the core of its last candidates.
  const std::size_t word_count = std::min(block_end + kCoreLength, n - (kCoreLength - 1)) - origin;
  state.words.resize(word_count + detail::kPadding);
  std::uint16_t* words = state.words.data();
  kernels.block_words(codes, word_count, words);
  std::fill(words + word_count, words + word_count + detail::kPadding, std::uint16_t{0});

  const std::uint32_t block_lo = static_cast<std::uint32_t>(block_begin - origin);
  const std::uint32_t block_hi = static_cast<std::uint32_t>(block_end - origin);
  std::size_t active = 0;
  for (std::size_t k = 0; k < size(); ++k) {
    active += state.fast_begin[k] < block_end && state.fast_end[k] > block_begin;
  }
  if (active == 0) return;
  state.counts.positions += block_end - block_begin;

  double search_cost = 0.0;
  for (std::size_t k = 0; k < size() && search_cost < detail::kIndexCost; ++k) {
    if (!(state.fast_begin[k] < block_end && state.fast_end[k] > block_begin)) continue;
    const std::size_t targets = state.tables[k].words.size();
    search_cost += kernels.find_words != nullptr && targets <= detail::kCompareWords
                       ? detail::kCompareCost * static_cast<double>(targets + 1)
                       : detail::kPassTableCost;
  }
  const bool indexed = search_cost >= detail::kIndexCost;
  // One search for the words of all models, then per model a pass over the
  // positions found: pays when the models pass few words in all.
  const std::size_t shared_count = state.shared_words.size();
  const bool shared_compare = kernels.find_words != nullptr && shared_count <= detail::kCompareWords;
  const double shared_cost =
      (shared_compare ? detail::kCompareCost * static_cast<double>(shared_count + 1) : detail::kPassTableCost) +
      static_cast<double>(active) * detail::kPassTableCost * static_cast<double>(shared_count) /
          static_cast<double>(kCoreWords);
  const bool shared = !indexed && active > 1 && shared_cost < search_cost;
  if (indexed) {
    // Counting sort of the block's core positions by word.
    state.bucket_start.assign(kCoreWords + 1, 0);
    std::uint32_t* start = state.bucket_start.data();
    for (std::uint32_t x = block_lo; x < block_hi; ++x) ++start[words[x] + 1];
    for (std::size_t w = 0; w < kCoreWords; ++w) start[w + 1] += start[w];
    state.by_word.resize(block_hi - block_lo);
    std::uint16_t* by_word = state.by_word.data();
    for (std::uint32_t x = block_lo; x < block_hi; ++x) {
      by_word[start[words[x]]++] = static_cast<std::uint16_t>(x - block_lo);
    }
    // The scatter moved every start to its bucket's end; shift them back.
    for (std::size_t w = kCoreWords; w > 0; --w) start[w] = start[w - 1];
    start[0] = 0;
  }

  const std::size_t room = block_hi - block_lo + detail::kStartsSlack;
  if (state.starts.size() < room) {
    state.starts.resize(room);
    state.sums.resize(room);
    state.passed.resize(room);
    state.shared_list.resize(room);
  }
  std::size_t shared_found = 0;
  if (shared) {
    std::uint32_t* list = state.shared_list.data();
    if (shared_compare) {
      shared_found = kernels.find_words(words, block_lo, block_hi, state.shared_words.data(), shared_count, 0, list);
    } else {
      const std::uint8_t* pass = state.shared_pass.data();
      for (std::uint32_t x = block_lo; x < block_hi; ++x) {
        list[shared_found] = x;
        shared_found += pass[words[x]];
      }
    }
  }
  state.run_end.resize(kCoreWords);

  for (std::size_t k = 0; k < size(); ++k) {
    if (!(state.fast_begin[k] < block_end && state.fast_end[k] > block_begin)) continue;
    const detail::ModelPlan& plan = plans_[k];
    const ScoringMatrix& model = models_[k];
    const detail::PassTable& table = state.tables[k];
    const std::uint32_t lo = static_cast<std::uint32_t>(std::max(state.fast_begin[k], block_begin) - origin);
    const std::uint32_t hi = static_cast<std::uint32_t>(std::min(state.fast_end[k], block_end) - origin);
    const std::uint32_t m = static_cast<std::uint32_t>(plan.core_start);
    std::uint32_t* starts = state.starts.data();

    // Candidates as window starts (core position - m).
    std::size_t count = 0;
    std::size_t runs = 0;  // nonempty word buckets visited: more than one needs ordering
    std::uint32_t* run_end = state.run_end.data();  // candidates of run r end at run_end[r]
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
    if (count != 0 && plan.next_offset != 0 && !pair_checked) {
      // The bound over the core and five more rows, without a branch per candidate.
      const double* core_sum = plan.core_sum.data();
      const double* next_sum = plan.next_sum.data();
      const std::int64_t next = static_cast<std::int64_t>(m) + plan.next_offset;
      const double target = table.pair_target;
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
    if (count == 0) continue;
    state.counts.candidates += count;

    const detail::WindowBatch batch{codes, words, plan.prefix.data(), plan.terms.data(),
                                    static_cast<std::uint32_t>(plan.length), plan.min_sum,
                                    plan.denominator};
    float* mss = state.sums.data();
    kernels.window_sums(batch, starts, count, mss);

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
    std::vector<SiteMatch>& hits = runs > 1 ? state.block_hits : out[k];
    if (runs > 1) hits.clear();
    std::size_t r = 0;
    for (std::size_t a = 0; a < accepted; ++a) {
      const std::uint32_t j = passed[a];
      if (runs > 1) {
        for (; run_end[r] <= j; ++r) run_end[r] = static_cast<std::uint32_t>(hits.size());
      }
      const std::uint32_t core = starts[j] + m;
      hits.push_back(SiteMatch{origin + core, model.core_scores[words[core]], mss[j]});
    }
    if (runs > 1) {
      for (; r < runs; ++r) run_end[r] = static_cast<std::uint32_t>(hits.size());
      const auto by_pos = [](const SiteMatch& a, const SiteMatch& b) { return a.pos < b.pos; };
      if (runs == 2) {
        std::inplace_merge(hits.begin(), hits.begin() + run_end[0], hits.end(), by_pos);
      } else {
        std::sort(hits.begin(), hits.end(), by_pos);
      }
      out[k].insert(out[k].end(), hits.begin(), hits.end());
    }
  }
}

}  // namespace vok
