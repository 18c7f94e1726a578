#pragma once
// Per-model tables of the batched scan, and the pass table of one threshold pair.
#include <array>
#include <cstdint>
#include <vector>

#include "deficit_filter.hpp"
#include "scoring/scoring_matrix.hpp"

namespace vok::detail {

// What the batched scan needs of one model besides the model itself. Built
// once per scanner; independent of the thresholds.
struct ModelPlan {
  std::vector<float> terms;                  // terms[4 * i + b] = f(i,b) * I(i), as the site scan has them
  std::array<float, kCoreWords> prefix{};    // ((((0 + t0) + t1) + t2) + t3) + t4 of a window's first five rows, by their word
  std::array<double, kCoreWords> core_sum{};  // exact-ish sum of the core rows' terms, by core word
  double rest_max = 0.0;                     // sum over non-core rows of the largest term
  std::array<double, kCoreWords> next_sum{};  // sum of the terms of the five rows beside the core, by their word
  std::int64_t next_offset = 0;              // where those rows' word starts, relative to the core word (+5 or -5); 0: none
  double other_max = 0.0;                    // sum over rows outside the core and those five of the largest term
  double magnitude = 0.0;                    // sum over rows of the largest |term|; bounds rounding
  float min_sum = 0.0f;                      // the model's min_sum
  float denominator = 0.0f;                  // max_sum - min_sum, as the site scan computes it
  std::uint64_t length = 0;                  // L
  std::uint64_t core_start = 0;              // m
  bool batched = false;                      // false: no finite-arithmetic guarantee, scan one by one
  FilterPlan filter;                         // the deficit filter's rows (batched models only)
};

ModelPlan make_model_plan(const ScoringMatrix& model);

// The words a candidate with a full window may have for a site to be possible:
// css reaches the css threshold and, for the css, the window sum can still
// reach the mss threshold. Never excludes a word of a possible site.
struct PassTable {
  std::uint32_t css_bits = 0;               // thresholds this table was made for (float bits)
  std::uint32_t mss_bits = 0;               // ...
  bool valid = false;                       // made at least once
  std::array<std::uint8_t, kCoreWords> pass{};  // 1 when the word passes
  std::vector<std::uint16_t> words;         // the passing words, ascending
  double pair_target = 0.0;                 // a candidate needs core_sum + next_sum >= this
  FilterTable filter;                       // the deficit filter for these thresholds
  bool filtered = false;                    // this scan finds the model's candidates with the filter
};

// Rebuilds `table` unless it is already for these thresholds.
void update_pass_table(const ModelPlan& plan, const ScoringMatrix& model, PassTable& table);

}  // namespace vok::detail
