// Compiled with -mavx2; called only when the CPU reports AVX2.
#include <immintrin.h>

#include "window_sums.hpp"

namespace vok::detail {

// Eight windows per step, one per lane: every lane adds its rows in order, and
// vaddps rounds each lane exactly as the scalar addition does.
void window_sums_avx2(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                      float* sums) {
  if (count == 0) return;
  // Pad the last group with copies of the last window; their sums are dropped.
  const std::size_t padded = (count + 7) & ~std::size_t{7};
  for (std::size_t j = count; j < padded; ++j) starts[j] = starts[count - 1];

  const int* bases = reinterpret_cast<const int*>(batch.bases);
  const int* words = reinterpret_cast<const int*>(batch.words);
  const std::uint32_t rows = batch.length;
  const __m256i two_bits = _mm256_set1_epi32(3);
  const __m256i low_half = _mm256_set1_epi32(0xFFFF);
  for (std::size_t j = 0; j < padded; j += 8) {
    const __m256i start = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(starts + j));
    const __m256i word =
        _mm256_and_si256(_mm256_i32gather_epi32(words, _mm256_add_epi32(start, start), 1), low_half);
    __m256 sum = _mm256_i32gather_ps(batch.prefix, word, 4);
    std::uint32_t i = 5;
    for (; i + 4 <= rows; i += 4) {
      // Four rows' bases of every lane in one gather of four bytes.
      const __m256i four = _mm256_i32gather_epi32(bases, _mm256_add_epi32(start, _mm256_set1_epi32(static_cast<int>(i))), 1);
      const __m256i row = _mm256_set1_epi32(static_cast<int>(4 * i));
      const __m256i i0 = _mm256_add_epi32(row, _mm256_and_si256(four, two_bits));
      const __m256i i1 = _mm256_add_epi32(_mm256_add_epi32(row, _mm256_set1_epi32(4)),
                                          _mm256_and_si256(_mm256_srli_epi32(four, 8), two_bits));
      const __m256i i2 = _mm256_add_epi32(_mm256_add_epi32(row, _mm256_set1_epi32(8)),
                                          _mm256_and_si256(_mm256_srli_epi32(four, 16), two_bits));
      const __m256i i3 = _mm256_add_epi32(_mm256_add_epi32(row, _mm256_set1_epi32(12)),
                                          _mm256_and_si256(_mm256_srli_epi32(four, 24), two_bits));
      sum = _mm256_add_ps(sum, _mm256_i32gather_ps(batch.terms, i0, 4));
      sum = _mm256_add_ps(sum, _mm256_i32gather_ps(batch.terms, i1, 4));
      sum = _mm256_add_ps(sum, _mm256_i32gather_ps(batch.terms, i2, 4));
      sum = _mm256_add_ps(sum, _mm256_i32gather_ps(batch.terms, i3, 4));
    }
    if (i < rows) {
      __m256i four = _mm256_i32gather_epi32(bases, _mm256_add_epi32(start, _mm256_set1_epi32(static_cast<int>(i))), 1);
      for (; i < rows; ++i) {
        const __m256i index = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(4 * i)),
                                               _mm256_and_si256(four, two_bits));
        sum = _mm256_add_ps(sum, _mm256_i32gather_ps(batch.terms, index, 4));
        four = _mm256_srli_epi32(four, 8);
      }
    }
    if (j + 8 <= count) {
      _mm256_storeu_ps(sums + j, sum);
    } else {
      alignas(32) float lanes[8];
      _mm256_store_ps(lanes, sum);
      for (std::size_t k = j; k < count; ++k) sums[k] = lanes[k - j];
    }
  }
}

}  // namespace vok::detail
