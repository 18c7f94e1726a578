// Compiled with -mavx2; called only when the CPU reports AVX2.
#include <immintrin.h>

#include <array>
#include <bit>
#include <utility>

#include "deficit_filter.hpp"
#include "window_sums.hpp"

namespace vok::detail {
namespace {

// 32 windows per step: every pair's deficits by one byte shuffle of its
// table (held in a register throughout), subtracted with saturation from
// 255; a window whose bytes stay above 0 lost at most kFilterBudget units.
template <std::uint32_t kPairs>
std::size_t filter_pairs(const FilterBatch& batch, std::uint32_t lo, std::uint32_t hi, std::uint32_t* out) {
  static_assert(kFilterBudget == 254, "the kernel starts from 255 and keeps bytes above 0");
  __m256i table[kPairs];
  const std::uint8_t* codes[kPairs];
  for (std::uint32_t j = 0; j < kPairs; ++j) {
    table[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(batch.tables + 16 * j)));
    codes[j] = batch.codes + batch.rows[j];
  }
  const __m256i full = _mm256_set1_epi8(static_cast<char>(0xFF));
  const __m256i zero = _mm256_setzero_si256();
  std::size_t found = 0;
  for (std::uint32_t x = lo; x < hi; x += 32) {
    __m256i left = full;
    for (std::uint32_t j = 0; j < kPairs; ++j) {
      const __m256i code = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(codes[j] + x));
      left = _mm256_subs_epu8(left, _mm256_shuffle_epi8(table[j], code));
    }
    std::uint32_t bits = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(left, zero)));
    if (bits == 0) continue;
    if (hi - x < 32) bits &= (std::uint32_t{1} << (hi - x)) - 1;  // lanes past the range
    while (bits != 0) {
      out[found++] = x + static_cast<std::uint32_t>(std::countr_zero(bits));
      bits &= bits - 1;
    }
  }
  return found;
}

template <std::uint32_t... kCounts>
constexpr auto make_dispatch(std::integer_sequence<std::uint32_t, kCounts...>) {
  return std::array<FilterFn, sizeof...(kCounts)>{&filter_pairs<kCounts + 1>...};
}

}  // namespace

std::size_t filter_windows_avx2(const FilterBatch& batch, std::uint32_t lo, std::uint32_t hi, std::uint32_t* out) {
  static constexpr auto by_pairs = make_dispatch(std::make_integer_sequence<std::uint32_t, kFilterPairs>{});
  return by_pairs[batch.pairs - 1](batch, lo, hi, out);
}

void pair_codes_avx2(const std::uint8_t* bases, std::size_t count, std::uint8_t* codes) {
  const __m256i high = _mm256_set1_epi8(12);
  const __m256i low = _mm256_set1_epi8(3);
  std::size_t x = 0;
  for (; x + 32 <= count; x += 32) {
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bases + x));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bases + x + 1));
    const __m256i code =
        _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(first, 2), high), _mm256_and_si256(second, low));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(codes + x), code);
  }
  pair_codes_scalar(bases + x, count - x, codes + x);
}

}  // namespace vok::detail
