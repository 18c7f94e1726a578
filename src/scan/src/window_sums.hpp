#pragma once
// Batched matrix sums of full windows: each window's sum is formed exactly as
// the site scan forms it (from 0.0, rows in order), several windows at a time.
#include <cstddef>
#include <cstdint>

namespace vok::detail {

// The tables and the block a batch of windows reads.
struct WindowBatch {
  const std::uint8_t* bases;   // block bases (codes in the low two bits), 4 readable bytes past the last window
  const std::uint16_t* words;  // words[x]: five-base word starting at bases[x], 2 readable bytes past the last start
  const float* prefix;         // sum of a window's first five rows by their word
  const float* terms;          // terms[4 * i + b]
  std::uint32_t length;        // L >= 5; every window has all L rows inside the block
};

// sums[j] = the window sum of the window starting at bases[starts[j]].
// `starts` and `sums` have room for `count` rounded up to a multiple of 8.
using WindowSumsFn = void (*)(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                              float* sums);

void window_sums_scalar(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                        float* sums);
void window_sums_avx2(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                      float* sums);

// The kernel chosen now (see force_sum_kernel).
WindowSumsFn window_sums_kernel();

}  // namespace vok::detail
