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

// The scores of one whole window, thresholds not applied.
struct WindowScore {
  float css;  // core similarity score
  float mss;  // matrix similarity score
};

// Appends every accepted site of `bases` (codes 0..3) to `out`, in increasing
// pos. Throws InternalFailure on a NaN in the matrix-score arithmetic.
void scan_sites(const ScoringMatrix& model, std::span<const BaseCode> bases,
                std::vector<SiteMatch>& out);

// The scan of many records with one model: prepares the per-position terms
// f(i,b) * I(i) and max_sum - min_sum once, so each record costs no allocation
// beyond the results. Refers to `model`, which must outlive the scanner and
// keep its scores unchanged (thresholds are read at each scan). scan() only
// reads, so one scanner may serve several threads at once.
class SiteScanner {
 public:
  explicit SiteScanner(const ScoringMatrix& model);

  // Same contract as scan_sites.
  void scan(std::span<const BaseCode> bases, std::vector<SiteMatch>& out) const {
    scan_candidates(bases, 0, candidate_count(bases.size()), out);
  }

  // The number of candidate positions of a record of n bases; candidate c is
  // the core word at p = core_start + c.
  std::uint64_t candidate_count(std::uint64_t n) const;

  // Scans candidates first .. end-1 only (end <= candidate_count). Scanning a
  // record in consecutive ranges gives exactly the sites of one whole scan, so
  // a long record can be scanned in pieces with a check for cancellation between them.
  void scan_candidates(std::span<const BaseCode> bases, std::uint64_t first, std::uint64_t end,
                       std::vector<SiteMatch>& out) const;

  // The css and mss of the window of L bases at `window`, with the very
  // arithmetic of a scan (so the same bits as the site it would report).
  // Throws InternalFailure as the scan does.
  WindowScore score_window(const BaseCode* window) const;

 private:
  // (sum of the window's terms - min_sum) / (max_sum - min_sum), guarded.
  float matrix_score(const BaseCode* window, std::uint64_t rows) const;
  [[noreturn, gnu::cold, gnu::noinline]] void fail_window(const BaseCode* window,
                                                          std::uint64_t rows) const;

  const ScoringMatrix* model_;  // the scoring model scanned with; not owned
  std::vector<float> terms_;    // position-major: terms_[4 * i + b] = f(i,b) * I(i)
  float denominator_;           // max_sum - min_sum, the same for every candidate
};

}  // namespace vok
