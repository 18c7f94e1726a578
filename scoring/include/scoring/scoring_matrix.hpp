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

struct ScoringMatrix {
  std::string name;                           // matrix name, reported with every hit
  std::size_t length = 0;                     // L >= 5
  std::vector<float> frequencies;             // L x 4, column-major like PwmMatrix::values
  std::vector<float> information;             // I(i), L values
  std::size_t core_start = 0;                 // m; the core is rows m .. m+4
  std::array<float, kCoreWords> core_scores;  // css by word, word = sum a_j * 4^(4-j)
  Thresholds thresholds;                      // cut-offs applying to this matrix
  float max_sum = 0.0f;                       // sum over i of max_b f(i,b) * I(i)
  float min_sum = 0.0f;                       // sum over i of min_b f(i,b) * I(i)

  float frequency(std::size_t position, std::size_t base) const {
    return frequencies[base * length + position];
  }
};

// A matrix with fewer than five positions has no core and yields no sites.
struct MatrixToShort {
  std::uint64_t length;  // the matrix's L
};

// Builds the model from (a consumed copy of) a raw matrix and its thresholds.
// Returns MatrixToShort when L < 5. Throws InternalFailure with the exact
// NaN-guard message when a guarded operation yields NaN.
std::variant<ScoringMatrix, MatrixToShort> build_scoring_matrix(PwmMatrix matrix,
                                                                Thresholds thresholds);

}  // namespace vok
