// Building the scoring model of one weight matrix. Every step works in 32-bit
// floats in a fixed operation order, so that the resulting bits do not depend
// on the compiler or on how the work is split; NaN results are refused.
#include "scoring/scoring_matrix.hpp"

#include <cmath>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/nan_guard.hpp"
#include "scoring/internal_failure.hpp"
#include "scoring/word_sums.hpp"

namespace vok {
namespace {

using detail::check_nan;
using detail::guarded_add;
using detail::guarded_div;
using detail::guarded_mul;
using detail::guarded_sub;

constexpr std::size_t kBases = 4;

// Column-major L x 4 table, as PwmMatrix and ScoringMatrix store it.
struct RowTable {
  std::vector<float>& values;  // values[base * rows + position]
  std::size_t rows;            // L

  float& at(std::size_t position, std::size_t base) { return values[base * rows + position]; }
  float at(std::size_t position, std::size_t base) const { return values[base * rows + position]; }

  float row_max(std::size_t position) const {
    float best = at(position, 0);
    for (std::size_t b = 1; b < kBases; ++b) best = at(position, b) > best ? at(position, b) : best;
    return best;
  }
  float row_min(std::size_t position) const {
    float least = at(position, 0);
    for (std::size_t b = 1; b < kBases; ++b) {
      least = at(position, b) < least ? at(position, b) : least;
    }
    return least;
  }
};

// f(i,b) = (100 x(i,b) + 1) / row total, in place, row by row.
void normalise_rows(RowTable& table) {
  for (std::size_t i = 0; i < table.rows; ++i) {
    for (std::size_t b = 0; b < kBases; ++b) table.at(i, b) = guarded_mul(table.at(i, b), 100.0f);
    for (std::size_t b = 0; b < kBases; ++b) table.at(i, b) = guarded_add(table.at(i, b), 1.0f);
    float total = 0.0f;
    for (std::size_t b = 0; b < kBases; ++b) total = guarded_add(total, table.at(i, b));
    for (std::size_t b = 0; b < kBases; ++b) table.at(i, b) = guarded_div(table.at(i, b), total);
  }
}

// The platform's single-precision logarithm; std::log on a float resolves to it.
float natural_log(float value) {
  static_assert(std::is_same_v<decltype(std::log(value)), float>);
  return std::log(value);
}

// I(i) = sum over b of f ln(4f): first every term, then the row sums.
std::vector<float> information_vector(const RowTable& frequencies) {
  std::vector<float> terms = frequencies.values;
  for (float& entry : terms) {
    const float four_f = guarded_mul(4.0f, entry);
    entry = guarded_mul(entry, natural_log(four_f));
  }
  const RowTable term_table{terms, frequencies.rows};
  std::vector<float> information(frequencies.rows);
  for (std::size_t i = 0; i < frequencies.rows; ++i) {
    float sum = 0.0f;
    for (std::size_t b = 0; b < kBases; ++b) sum = guarded_add(sum, term_table.at(i, b));
    information[i] = sum;
  }
  return information;
}

// Sum over rows of pick(i) * I(i), products guarded, the total guarded once.
template <typename Pick>
float weighted_total(std::size_t first, std::size_t count, const std::vector<float>& information,
                     Pick pick) {
  float sum = 0.0f;
  for (std::size_t i = first; i < first + count; ++i) sum += guarded_mul(pick(i), information[i]);
  return check_nan(sum, detail::kSumNaN);
}

struct Core {
  std::size_t start;  // m: the last of the windows with the largest sum
  float maximum;      // the winning window sum
};

// The window of five consecutive rows with the largest sum of max f * I;
// ">=" hands ties to the window starting furthest right.
Core select_core(const RowTable& frequencies, const std::vector<float>& information) {
  std::vector<float> weights(frequencies.rows);
  for (std::size_t i = 0; i < frequencies.rows; ++i) {
    weights[i] = guarded_mul(frequencies.row_max(i), information[i]);
  }
  auto window_sum = [&weights](std::size_t k) {
    float sum = 0.0f;
    for (std::size_t j = 0; j < kCoreLength; ++j) sum += weights[k + j];
    return check_nan(sum, detail::kSumNaN);
  };
  Core core{0, window_sum(0)};
  for (std::size_t k = 1; k + kCoreLength <= frequencies.rows; ++k) {
    const float sum = window_sum(k);
    if (sum >= core.maximum) core = Core{k, sum};
  }
  return core;
}

// css of every five-base word over the core rows m .. m+4, each word's terms
// multiplied, summed left to right, shifted and scaled, every step guarded.
std::array<float, kCoreWords> guarded_core_scores(const RowTable& frequencies,
                                                  const std::vector<float>& information,
                                                  std::size_t core_start, float core_max, float core_min) {
  std::array<float, kCoreWords> scores{};
  for (std::size_t word = 0; word < kCoreWords; ++word) {
    float t[kCoreLength];
    for (std::size_t j = 0; j < kCoreLength; ++j) {
      const std::size_t base = (word >> (2 * (kCoreLength - 1 - j))) & 3;
      t[j] = guarded_mul(frequencies.at(core_start + j, base), information[core_start + j]);
    }
    float s = t[0];
    for (std::size_t j = 1; j < kCoreLength; ++j) s = guarded_add(s, t[j]);
    const float numerator = guarded_sub(s, core_min);
    const float denominator = guarded_sub(core_max, core_min);
    scores[word] = guarded_div(numerator, denominator);
  }
  return scores;
}

// The same scores. When every product is finite and the denominator finite
// and non-zero, no step can give NaN (sums of finite terms at worst overflow
// to an infinity), so the guards cannot fire and the words may share their
// partial sums; otherwise the guarded computation finds the first NaN.
std::array<float, kCoreWords> core_score_table(const RowTable& frequencies,
                                               const std::vector<float>& information,
                                               std::size_t core_start, float core_max,
                                               float core_min) {
  float products[kCoreLength][kBases];
  bool finite = std::isfinite(core_min);
  for (std::size_t j = 0; j < kCoreLength; ++j) {
    for (std::size_t b = 0; b < kBases; ++b) {
      products[j][b] = frequencies.at(core_start + j, b) * information[core_start + j];
      finite = finite && std::isfinite(products[j][b]);
    }
  }
  const float denominator = core_max - core_min;
  if (!finite || !std::isfinite(denominator) || denominator == 0.0f) {
    return guarded_core_scores(frequencies, information, core_start, core_max, core_min);
  }
  std::array<float, kCoreWords> scores{};
  word_sums<float>([&](std::size_t j, std::size_t base) { return products[j][base]; }, scores);
  for (float& score : scores) score = (score - core_min) / denominator;
  return scores;
}

}  // namespace

std::variant<ScoringMatrix, MatrixToShort> build_scoring_matrix(PwmMatrix matrix,
                                                                Thresholds thresholds) {
  const std::size_t rows = matrix.length;
  if (matrix.values.size() != rows * kBases) {
    throw InternalFailure("Unable to copy from a matrix with a different shape.");
  }
  RowTable frequencies{matrix.values, rows};
  normalise_rows(frequencies);
  std::vector<float> information = information_vector(frequencies);

  const float max_sum =
      weighted_total(0, rows, information, [&](std::size_t i) { return frequencies.row_max(i); });
  const float min_sum =
      weighted_total(0, rows, information, [&](std::size_t i) { return frequencies.row_min(i); });

  // The length check comes only after the NaN-guarded steps above.
  if (rows < kCoreLength) return MatrixToShort{rows};

  const Core core = select_core(frequencies, information);
  const float core_min = weighted_total(core.start, kCoreLength, information,
                                        [&](std::size_t i) { return frequencies.row_min(i); });

  ScoringMatrix model;
  model.core_scores =
      core_score_table(frequencies, information, core.start, core.maximum, core_min);
  model.name = std::move(matrix.name);
  model.length = rows;
  model.frequencies = std::move(matrix.values);
  model.information = std::move(information);
  model.core_start = core.start;
  model.thresholds = thresholds;
  model.max_sum = max_sum;
  model.min_sum = min_sum;
  return model;
}

}  // namespace vok
