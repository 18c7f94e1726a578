#pragma once
// Batched kernels of the multi-model scan: the mss of candidates, each window sum
// formed exactly as the site scan forms it (from 0.0, rows in order), and
// finding the positions whose word is one of a few.
#include <cstddef>
#include <cstdint>

namespace vok::detail {

// Readable bytes required past the end of a window and past the last word.
inline constexpr std::size_t kKernelPadding = 64;
// The most words one search looks for.
inline constexpr std::size_t kMaxTargets = 32;
// Extra room the kernels need in `starts` past `count` (they pad a group).
inline constexpr std::size_t kStartsSlack = 16;

// The tables and the block a batch of windows reads.
struct WindowBatch {
  const std::uint8_t* bases;   // block bases (code in the low two bits), kKernelPadding readable bytes past every window
  const std::uint16_t* words;  // words[x]: five-base word starting at bases[x]
  const float* prefix;         // sum of a window's first five rows by their word
  const float* terms;          // terms[4 * i + b]
  std::uint32_t length;        // L >= 5; every window has all L rows inside the block
  float min_sum;               // the model's min_sum
  float denominator;           // max_sum - min_sum
};

// mss[j] = (sum - min_sum) / denominator, sum the window sum of the window
// starting at bases[starts[j]]: the site scan's operations, in its order.
// `starts` has room for count + kStartsSlack entries.
using WindowSumsFn = void (*)(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                              float* mss);

// Writes x - shift for every x in [lo, hi) with words[x] one of targets[0 ..
// target_count-1] (target_count <= kMaxTargets), ascending; returns how many.
// words has kKernelPadding readable entries past hi.
using FindWordsFn = std::size_t (*)(const std::uint16_t* words, std::uint32_t lo, std::uint32_t hi,
                                    const std::uint16_t* targets, std::size_t target_count,
                                    std::uint32_t shift, std::uint32_t* out);

// words[x] = the five-base word at bases[x] for x < count (bases + count + 4 readable).
using BlockWordsFn = void (*)(const std::uint8_t* bases, std::size_t count, std::uint16_t* words);

void block_words_scalar(const std::uint8_t* bases, std::size_t count, std::uint16_t* words);
void block_words_avx2(const std::uint8_t* bases, std::size_t count, std::uint16_t* words);
void window_sums_scalar(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                        float* mss);
void window_sums_avx2(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                      float* mss);
std::size_t find_words_avx2(const std::uint16_t* words, std::uint32_t lo, std::uint32_t hi,
                            const std::uint16_t* targets, std::size_t target_count,
                            std::uint32_t shift, std::uint32_t* out);

// The deficit filter of one model over a block (see deficit_filter.hpp).
struct FilterBatch {
  const std::uint8_t* codes;   // pair codes: codes[x] = 4 * base[x] + base[x + 1], kKernelPadding readable past the last window
  const std::uint8_t* tables;  // 16 whole-unit deficits per pair, by pair code
  const std::uint32_t* rows;   // first row of each pair
  std::uint32_t pairs;         // 1 .. kFilterPairs
};

// Writes every window start q in [lo, hi) whose deficits, read at
// codes[q + rows[j]], add up to at most kFilterBudget, ascending; returns
// how many. `out` has room for hi - lo entries.
using FilterFn = std::size_t (*)(const FilterBatch& batch, std::uint32_t lo, std::uint32_t hi, std::uint32_t* out);

// codes[x] = 4 * (bases[x] & 3) + (bases[x + 1] & 3) for x < count (bases + count + 1 readable).
using PairCodesFn = void (*)(const std::uint8_t* bases, std::size_t count, std::uint8_t* codes);

std::size_t filter_windows_scalar(const FilterBatch& batch, std::uint32_t lo, std::uint32_t hi, std::uint32_t* out);
std::size_t filter_windows_avx2(const FilterBatch& batch, std::uint32_t lo, std::uint32_t hi, std::uint32_t* out);
void pair_codes_scalar(const std::uint8_t* bases, std::size_t count, std::uint8_t* codes);
void pair_codes_avx2(const std::uint8_t* bases, std::size_t count, std::uint8_t* codes);

// The kernels chosen now (see force_sum_kernel).
struct ScanKernels {
  WindowSumsFn window_sums;  // mss of a batch of full windows
  FindWordsFn find_words;    // word search; null: use a pass table instead
  BlockWordsFn block_words;  // the words of a block
  FilterFn filter_windows;   // the deficit filter
  PairCodesFn pair_codes;    // the pair codes of a block
  double filter_pair_cost;   // cycles per window and pair read by filter_windows, roughly
};
ScanKernels scan_kernels();

}  // namespace vok::detail
