#pragma once
// Working memory and block views shared by the one-strand and the two-strand scans.
#include <array>
#include <cstdint>
#include <vector>

#include "model_plan.hpp"
#include "scan/multi_scan.hpp"
#include "window_sums.hpp"

namespace vok::detail {

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
constexpr double kIndexCost = 10.0;        // the counting sort, once per block
constexpr std::size_t kPadding = kKernelPadding;
// Rough cost, in cycles, of following up one candidate found by its word
// (the bound over the core and the rows beside it, mostly a cache miss).
constexpr double kWordCandidateCost = 3.0;
// The same for a window the deficit filter keeps: its word, and for a few its mss.
constexpr double kFilterKeptCost = 5.0;

// Which models find their candidates with the deficit filter: kAuto by the
// cost model; forcing is meant for tests and benchmarks.
enum class FilterUse { kAuto, kAlways, kNever };
// Sets the rule for all later scans in the process; returns the previous one.
FilterUse force_filter_use(FilterUse use);
// Decides table.filtered for the model's current thresholds and kernels,
// in a scan of `models` models.
void choose_filter(const ModelPlan& plan, const ScanKernels& kernels, std::size_t models, PassTable& table);

// One strand's buffers: its block's bases and words, and one model's candidates.
struct StrandState {
  std::vector<std::uint64_t> fast_begin;    // per model: first core position with a batched full window
  std::vector<std::uint64_t> fast_end;      // per model: one past its last one (begin == end: none)
  std::vector<std::uint8_t> bases;          // block bases from the block origin, codes masked, padded
  std::vector<std::uint16_t> words;         // word at each block offset, padded
  std::vector<std::uint32_t> starts;        // candidates' window starts (block offsets)
  std::vector<std::uint32_t> run_end;       // end of each word's run of candidates, then of sites
  std::vector<std::uint8_t> pair_codes;     // pair code at each block offset, padded (filtered models only)
  std::uint64_t union_begin = 0;            // core positions some model scans in blocks
  std::uint64_t union_end = 0;              // ...

  bool active(std::size_t k, std::uint64_t begin, std::uint64_t end) const {
    return fast_begin[k] < end && fast_end[k] > begin;
  }
};

// A pass table over the other strand's words, looked up by the forward word
// over the same bases: bit 0 the forward strand passes, bit 1 the other does.
struct PairPassTable {
  std::uint32_t css_bits = 0;               // thresholds and word map it was made for
  std::uint32_t mss_bits = 0;
  int map = -1;
  std::array<std::uint8_t, kCoreWords> pass{};
  std::vector<std::uint16_t> targets;       // forward words where either strand passes, ascending
};

struct ScanScratchState {
  std::uint64_t scanner_id = 0;             // scanner the pass tables belong to
  std::vector<PassTable> tables;            // per model: pass table of its last thresholds
  std::vector<PairPassTable> pair_tables;   // per model: the same for both strands
  std::array<StrandState, 2> strands;       // forward (or the only) strand, then the other
  std::vector<float> sums;                  // candidates' mss
  std::vector<std::uint32_t> passed;        // indices of those reaching the mss threshold
  std::vector<std::uint32_t> bucket_start;  // index: offsets of each word's positions (1025 entries)
  std::vector<std::uint16_t> by_word;       // index: positions from the block's first, grouped by word, ascending in each
  std::vector<SiteMatch> block_hits;        // one model's sites in one block before ordering
  std::array<std::uint8_t, kCoreWords> shared_pass{};  // 1 for a word some model of this scan may pass
  std::vector<std::uint16_t> shared_words;  // those words, ascending
  std::vector<std::uint32_t> shared_list;   // block offsets whose word is one of them, ascending
  std::vector<std::size_t> other_marks;     // two-strand scan: other-strand sites before each block, per model
  ScanCounts counts;                        // work done with this scratch
};

// One strand's block as the kernels read it: offsets count from `origin`.
struct BlockView {
  const std::uint8_t* codes = nullptr;  // bases from the origin, kPadding readable past the last window
  const std::uint16_t* words = nullptr; // words from the origin, padded
  std::uint64_t origin = 0;             // record index of offset 0
  std::uint32_t lo = 0;                 // offset of the block's first core position
  std::uint32_t hi = 0;                 // one past its last
  std::uint32_t extent = 0;             // bases readable from the origin before the padding
};

// The pair codes of the view's bases (kPadding readable past its extent), in strand.pair_codes.
const std::uint8_t* block_pair_codes(const BlockView& view, StrandState& strand);

// The candidates of a model that uses the filter among window starts [lo,
// hi) of the view: those the filter keeps and whose word passes `table`;
// window starts written to strand.starts, ascending. Returns how many.
std::size_t filter_candidates(const BlockView& view, const std::uint8_t* pair_codes, const ModelPlan& plan,
                              const PassTable& table, std::uint32_t lo, std::uint32_t hi, StrandState& strand);

// Counting sort of the core positions lo .. hi-1 by word into state.by_word
// (offsets from lo) and state.bucket_start.
void index_block(const std::uint16_t* words, std::uint32_t lo, std::uint32_t hi, ScanScratchState& state);

// Makes room for a block of `positions` core positions in the candidate buffers.
void reserve_candidates(ScanScratchState& state, std::size_t positions);

// Lists the words marked in state.shared_pass, ascending, in state.shared_words.
void list_shared_words(ScanScratchState& state);

// How a block's candidates are found: through an index of its positions by
// word, through one search for the words of all models (the positions found,
// ascending, in state.shared_list), or by each model's own search.
struct BlockSearch {
  bool indexed = false;
  bool shared = false;
  std::size_t shared_found = 0;  // positions in state.shared_list
};

// Chooses the search of the core positions [lo, hi) from what the `active`
// models' own searches would cost, and does its shared part. A vector search
// takes at most `compare_limit` words.
BlockSearch start_block_search(const std::uint16_t* words, std::uint32_t lo, std::uint32_t hi, double search_cost,
                               std::size_t active, std::size_t compare_limit, ScanScratchState& state);

}  // namespace vok::detail
