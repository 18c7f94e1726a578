// Compiled with -mavx2; called only when the CPU reports AVX2.
#include <immintrin.h>

#include <bit>

#include "window_sums.hpp"

namespace vok::detail {
namespace {

// Eight windows' 32 bytes from `offset` on, transposed: column c holds, in
// lane j, the four codes of rows offset + 4c .. offset + 4c + 3 of window j.
inline void transpose_windows(const std::uint8_t* bases, const std::uint32_t* starts,
                              std::uint32_t offset, __m256i column[8]) {
  __m256i r[8];
  for (int j = 0; j < 8; ++j) {
    r[j] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bases + starts[j] + offset));
  }
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  column[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  column[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  column[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  column[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  column[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  column[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  column[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  column[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// The term of row i for every lane: the row's four terms, picked by the low
// two bits of each lane's code (vpermilps reads only those bits).
inline __m256 row_terms(const float* terms, std::uint32_t i, __m256i codes) {
  const __m256 row = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(terms + 4 * i));
  return _mm256_permutevar_ps(row, codes);
}

}  // namespace

// Sixteen windows per step in two groups of eight lanes, one window per lane,
// so that two chains of additions overlap. Each lane adds 0.0 and then its
// rows in order, and vaddps rounds each lane exactly as the scalar addition.
void window_sums_avx2(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                      float* mss) {
  if (count == 0) return;
  const std::size_t padded = (count + 15) & ~std::size_t{15};
  for (std::size_t j = count; j < padded; ++j) starts[j] = starts[count - 1];
  const std::uint32_t rows = batch.length;
  for (std::size_t j = 0; j < padded; j += 16) {
    __m256 a = _mm256_setzero_ps();
    __m256 b = _mm256_setzero_ps();
    for (std::uint32_t offset = 0; offset < rows; offset += 32) {
      __m256i ca[8], cb[8];
      transpose_windows(batch.bases, starts + j, offset, ca);
      transpose_windows(batch.bases, starts + j + 8, offset, cb);
      const std::uint32_t end = rows - offset < 32 ? rows - offset : 32;
      for (std::uint32_t i = 0; i < end; ++i) {
        const int shift = static_cast<int>(8 * (i & 3));
        const __m256i codes_a = _mm256_srli_epi32(ca[i >> 2], shift);
        const __m256i codes_b = _mm256_srli_epi32(cb[i >> 2], shift);
        a = _mm256_add_ps(a, row_terms(batch.terms, offset + i, codes_a));
        b = _mm256_add_ps(b, row_terms(batch.terms, offset + i, codes_b));
      }
    }
    const __m256 min_sum = _mm256_set1_ps(batch.min_sum);
    const __m256 denominator = _mm256_set1_ps(batch.denominator);
    alignas(32) float lanes[16];
    _mm256_store_ps(lanes, _mm256_div_ps(_mm256_sub_ps(a, min_sum), denominator));
    _mm256_store_ps(lanes + 8, _mm256_div_ps(_mm256_sub_ps(b, min_sum), denominator));
    const std::size_t valid = count - j < 16 ? count - j : 16;
    for (std::size_t k = 0; k < valid; ++k) mss[j + k] = lanes[k];
  }
}

// Sixteen words per step: the five shifted byte vectors widened to 16 bits.
void block_words_avx2(const std::uint8_t* bases, std::size_t count, std::uint16_t* words) {
  const __m256i two_bits = _mm256_set1_epi16(3);
  std::size_t x = 0;
  for (; x + 16 <= count; x += 16) {
    __m256i word = _mm256_setzero_si256();
    for (int j = 0; j < 5; ++j) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bases + x + j));
      const __m256i codes = _mm256_and_si256(_mm256_cvtepu8_epi16(bytes), two_bits);
      word = _mm256_or_si256(_mm256_slli_epi16(word, 2), codes);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + x), word);
  }
  block_words_scalar(bases + x, count - x, words + x);
}

// Sixteen words per compare; the compares of all targets are or-ed and each
// set pair of mask bits is one position.
std::size_t find_words_avx2(const std::uint16_t* words, std::uint32_t lo, std::uint32_t hi,
                            const std::uint16_t* targets, std::size_t target_count,
                            std::uint32_t shift, std::uint32_t* out) {
  __m256i wanted[kMaxTargets];
  const std::size_t used = target_count < kMaxTargets ? target_count : kMaxTargets;
  for (std::size_t t = 0; t < used; ++t) wanted[t] = _mm256_set1_epi16(static_cast<short>(targets[t]));
  std::size_t found = 0;
  for (std::uint32_t x = lo; x < hi; x += 16) {
    const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + x));
    __m256i hit = _mm256_cmpeq_epi16(block, wanted[0]);
    for (std::size_t t = 1; t < used; ++t) hit = _mm256_or_si256(hit, _mm256_cmpeq_epi16(block, wanted[t]));
    std::uint32_t bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
    if (hi - x < 16) bits &= (std::uint32_t{1} << (2 * (hi - x))) - 1;
    while (bits != 0) {
      out[found++] = x + static_cast<std::uint32_t>(std::countr_zero(bits)) / 2 - shift;
      bits &= bits - 1;
      bits &= bits - 1;
    }
  }
  return found;
}

}  // namespace vok::detail
