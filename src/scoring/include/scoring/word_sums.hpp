#pragma once
// Tables over the 1024 five-base words of a sum of one term per row, added
// left to right. Words that share their first bases share those partial sums,
// so a table costs 1,364 additions instead of 5,120 and has the same bits as
// adding each word's terms one after the other.
#include <array>
#include <cstddef>

#include "scoring/scoring_matrix.hpp"

namespace vok {
namespace detail {

// Adds rows 1 .. 4 to the partial sums of row 0, one[a0].
template <class T, class Term>
void extend_word_sums(const std::array<T, 4>& one, const Term& term, std::array<T, kCoreWords>& out) {
  std::array<T, 16> two{};
  std::array<T, 64> three{};
  std::array<T, 256> four{};
  for (std::size_t w = 0; w < 16; ++w) two[w] = one[w >> 2] + term(1, w & 3);
  for (std::size_t w = 0; w < 64; ++w) three[w] = two[w >> 2] + term(2, w & 3);
  for (std::size_t w = 0; w < 256; ++w) four[w] = three[w >> 2] + term(3, w & 3);
  for (std::size_t w = 0; w < kCoreWords; ++w) out[w] = four[w >> 2] + term(4, w & 3);
}

}  // namespace detail

// out[word] = ((((start + term(0, a0)) + term(1, a1)) + term(2, a2)) + term(3, a3)) + term(4, a4),
// the word's bases a0 .. a4 as core_word_index numbers them.
template <class T, class Term>
void word_sums_from(T start, const Term& term, std::array<T, kCoreWords>& out) {
  std::array<T, 4> one{};
  for (std::size_t a0 = 0; a0 < 4; ++a0) one[a0] = start + term(0, a0);
  detail::extend_word_sums(one, term, out);
}

// The same without a start: (((term(0, a0) + term(1, a1)) + ...) + term(4, a4).
template <class T, class Term>
void word_sums(const Term& term, std::array<T, kCoreWords>& out) {
  std::array<T, 4> one{};
  for (std::size_t a0 = 0; a0 < 4; ++a0) one[a0] = term(0, a0);
  detail::extend_word_sums(one, term, out);
}

}  // namespace vok
