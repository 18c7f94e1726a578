#pragma once
// The scoring model derived from a raw weight matrix for one evaluation.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "scoring/pwm_matrix.hpp"
#include "scoring/thresholds.hpp"

namespace vok {

inline constexpr std::size_t kCoreLength = 5;
inline constexpr std::size_t kCoreWords = 1024;  // 4^5 five-base words

// Index into core_scores of the core word (a0, ..., a4), a_j the base code at
// core row m+j: the word read as a base-4 number, first core base most
// significant (a0*256 + a1*64 + a2*16 + a3*4 + a4), so that shifting in the
// next base and keeping the low 10 bits moves the word one position on.
constexpr std::size_t core_word_index(std::uint8_t a0, std::uint8_t a1, std::uint8_t a2,
                                      std::uint8_t a3, std::uint8_t a4) {
  return std::size_t{a0} * 256 + std::size_t{a1} * 64 + std::size_t{a2} * 16 + std::size_t{a3} * 4 +
         std::size_t{a4};
}

struct ScoringMatrix {
  std::string name;                             // matrix name, reported with every hit
  std::size_t length = 0;                       // L >= 5
  std::vector<float> frequencies;               // L x 4, column-major like PwmMatrix::values
  std::vector<float> information;               // I(i), L values
  std::size_t core_start = 0;                   // m; the core is rows m .. m+4
  std::array<float, kCoreWords> core_scores{};  // css by word, see core_word_index
  Thresholds thresholds;                        // cut-offs applying to this matrix
  float max_sum = 0.0f;                         // sum over i of max_b f(i,b) * I(i)
  float min_sum = 0.0f;                         // sum over i of min_b f(i,b) * I(i)

  float frequency(std::size_t position, std::size_t base) const {
    return frequencies[base * length + position];
  }
};

// A matrix with fewer than five positions has no core and yields no sites.
struct MatrixToShort {
  std::uint64_t length;  // the matrix's L
};

// Builds the model from (a consumed copy of) a raw matrix and its thresholds.
// Returns MatrixToShort when L < 5 (checked after normalisation, information
// and extremes, so a NaN there still fails first). Throws InternalFailure with
// the exact NaN-guard message when a guarded operation yields NaN, and with the
// shape message when values does not hold exactly L x 4 entries.
std::variant<ScoringMatrix, MatrixToShort> build_scoring_matrix(PwmMatrix matrix,
                                                                Thresholds thresholds);

}  // namespace vok
