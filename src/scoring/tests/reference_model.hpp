#pragma once
// A deliberately plain second implementation of the model and the scan, one
// float operation per line in the documented order, used to check the
// library bit for bit. It skips the NaN guards: inputs here never reach them.
#include <math.h>

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace vok::test {

inline std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

struct ReferenceModel {
  std::vector<std::array<float, 4>> f;  // f[i][b], row-major
  std::vector<float> info;              // I(i)
  float max_sum = 0.0f;                 // sum of max_b f * I
  float min_sum = 0.0f;                 // sum of min_b f * I
  std::size_t core = 0;                 // m
  std::array<float, 1024> css{};        // css by word a0*256 + ... + a4
};

inline std::optional<ReferenceModel> reference_build(const PwmMatrix& matrix) {
  const std::size_t L = matrix.length;
  ReferenceModel r;
  for (std::size_t i = 0; i < L; ++i) {
    std::array<float, 4> row;
    for (int b = 0; b < 4; ++b) row[b] = matrix.at(i, b) * 100.0f + 1.0f;
    float total = 0.0f;
    for (int b = 0; b < 4; ++b) total = total + row[b];
    for (int b = 0; b < 4; ++b) row[b] = row[b] / total;
    r.f.push_back(row);
  }
  for (std::size_t i = 0; i < L; ++i) {
    float sum = 0.0f;
    for (int b = 0; b < 4; ++b) {
      const float x = r.f[i][b];
      sum = sum + x * logf(4.0f * x);
    }
    r.info.push_back(sum);
  }
  auto max_of = [&](std::size_t i) {
    float v = r.f[i][0];
    for (int b = 1; b < 4; ++b) v = r.f[i][b] > v ? r.f[i][b] : v;
    return v;
  };
  auto min_of = [&](std::size_t i) {
    float v = r.f[i][0];
    for (int b = 1; b < 4; ++b) v = r.f[i][b] < v ? r.f[i][b] : v;
    return v;
  };
  r.max_sum = 0.0f;
  r.min_sum = 0.0f;
  for (std::size_t i = 0; i < L; ++i) r.max_sum = r.max_sum + max_of(i) * r.info[i];
  for (std::size_t i = 0; i < L; ++i) r.min_sum = r.min_sum + min_of(i) * r.info[i];
  if (L < 5) return std::nullopt;

  float best = 0.0f;
  for (std::size_t k = 0; k + 5 <= L; ++k) {
    float w = 0.0f;
    for (std::size_t j = 0; j < 5; ++j) w = w + max_of(k + j) * r.info[k + j];
    if (k == 0 || w >= best) {
      best = w;
      r.core = k;
    }
  }
  float core_min = 0.0f;
  for (std::size_t j = 0; j < 5; ++j) core_min = core_min + min_of(r.core + j) * r.info[r.core + j];

  for (int a0 = 0; a0 < 4; ++a0)
    for (int a1 = 0; a1 < 4; ++a1)
      for (int a2 = 0; a2 < 4; ++a2)
        for (int a3 = 0; a3 < 4; ++a3)
          for (int a4 = 0; a4 < 4; ++a4) {
            const int word[5] = {a0, a1, a2, a3, a4};
            float s = r.f[r.core][a0] * r.info[r.core];
            for (std::size_t j = 1; j < 5; ++j)
              s = s + r.f[r.core + j][word[j]] * r.info[r.core + j];
            r.css[a0 * 256 + a1 * 64 + a2 * 16 + a3 * 4 + a4] = (s - core_min) / (best - core_min);
          }
  return r;
}

// The scan exactly as described: candidate loop with both stop rules, css by
// looking up the five bases, the window sum stopping at the record's end.
inline std::vector<SiteMatch> reference_scan(const ScoringMatrix& model,
                                             std::span<const BaseCode> bases) {
  std::vector<SiteMatch> sites;
  const std::uint64_t n = bases.size();
  const std::uint64_t L = model.length;
  const std::uint64_t m = model.core_start;
  const std::uint64_t K = n - L + 5;
  for (std::uint64_t p = m;; ++p) {
    if (p + 5 > n || p - m >= K) break;
    const float css = model.core_scores[core_word_index(bases[p], bases[p + 1], bases[p + 2],
                                                        bases[p + 3], bases[p + 4])];
    if (css < model.thresholds.css || css != css) continue;
    const std::uint64_t q = p - m;
    float sum = 0.0f;
    for (std::uint64_t i = 0; i < L && q + i < n; ++i) {
      sum = sum + model.frequency(i, bases[q + i]) * model.information[i];
    }
    const float mss = (sum - model.min_sum) / (model.max_sum - model.min_sum);
    if (mss >= model.thresholds.mss) sites.push_back(SiteMatch{p, css, mss});
  }
  return sites;
}

// A matrix from rows of raw values (A, C, G, T).
inline PwmMatrix matrix_from_rows(const std::vector<std::array<float, 4>>& rows) {
  PwmMatrix matrix("M", rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = rows[i][b];
  return matrix;
}

}  // namespace vok::test
