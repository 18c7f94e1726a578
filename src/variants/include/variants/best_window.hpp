#pragma once
// The best window of a motif among given window starts of one allele, scored
// exactly as the scanner scores them.
#include <cstdint>
#include <span>

#include "scoring/base_codes.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"
#include "variants/variant_batch.hpp"

namespace vok::variants {

// An allele as codes on both strands: forward[i] is 0..3, or a break (any
// code above 3: N, an ambiguity code, a masked letter) that no window may
// hold; other[i] is forward[size - 1 - i] complemented (or only reversed).
struct AlleleCodes {
  std::span<const BaseCode> forward;     // the allele's bases, breaks as codes above 3
  std::span<const BaseCode> other;       // the other strand, read 5' to 3'
  std::span<const std::uint32_t> breaks; // breaks[i]: breaks among forward[0, i); size + 1 entries
  bool both_strands = true;              // false: the forward strand only
};

struct BestWindow {
  bool found = false;    // some window of the starts could be scored
  bool passes = false;   // it reaches the motif's css and mss thresholds
  std::int8_t strand = 0;  // +1 forward, -1 the other strand
  std::int64_t start = 0;  // the window's first base on the forward strand (allele coordinates)
  float css = 0.0f;      // core similarity score
  float mss = 0.0f;      // matrix similarity score
};

// Whether `window` ranks above `best`: it passes and `best` does not, or,
// passing alike, it has a higher mss, or an equal one further left, or the
// same start on the forward strand. Any window ranks above one not found.
bool ranks_above(const BestWindow& window, const BestWindow& best);

// Of the windows starting at `starts` on either strand, the one that passes
// the model's thresholds if any does, then the one with the highest mss; ties
// go to the leftmost, then to the forward strand. `scanner` scores `model`.
BestWindow best_window(const ScoringMatrix& model, const SiteScanner& scanner, const AlleleCodes& allele,
                       StartRange starts);

}  // namespace vok::variants
