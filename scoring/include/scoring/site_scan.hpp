#pragma once
// The scan of one strand record with one scoring model.
#include <cstdint>
#include <span>
#include <vector>

#include "scoring/base_codes.hpp"
#include "scoring/scoring_matrix.hpp"

namespace vok {

// One accepted site of a scan.
struct SiteMatch {
  std::uint64_t pos;  // index in the scanned record where the five-base core word starts
  float css;          // core similarity score
  float mss;          // matrix similarity score
};

// Appends every accepted site of `bases` (codes 0..3) to `out`, in increasing
// pos. Throws InternalFailure on a NaN in the matrix-score arithmetic.
void scan_sites(const ScoringMatrix& model, std::span<const BaseCode> bases,
                std::vector<SiteMatch>& out);

}  // namespace vok
