#pragma once
// The scan of one record with many scoring models at once: the scan core that
// every caller (evaluate, the genome scanner, a cluster task) goes through.
#include <cstdint>
#include <span>
#include <vector>

#include "scoring/base_codes.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace vok {

// Candidates first .. end-1 of one model, numbered as SiteScanner numbers them:
// candidate c is the core word starting at record index core_start + c.
struct CandidateRange {
  std::uint64_t first = 0;  // first candidate scanned
  std::uint64_t end = 0;    // one past the last candidate scanned
};

// Prepared once per run for a set of models; scan() only reads, so one
// MultiScanner may serve several threads at once (each with its own `out`).
class MultiScanner {
 public:
  // Refers to `models`, which must outlive the scanner and keep their scores
  // unchanged; thresholds are read at each scan.
  explicit MultiScanner(std::span<const ScoringMatrix> models);

  std::size_t size() const { return scanners_.size(); }
  const ScoringMatrix& model(std::size_t k) const { return models_[k]; }
  const SiteScanner& scanner(std::size_t k) const { return scanners_[k]; }

  // For every model k (out.size() == ranges.size() == size()), appends to
  // out[k] the sites of its candidates ranges[k] of `bases` in increasing pos,
  // exactly (positions and score bits) what scanner(k).scan_candidates gives.
  // Throws InternalFailure as the site scan does.
  void scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
            std::span<std::vector<SiteMatch>> out) const;

 private:
  std::span<const ScoringMatrix> models_;  // the models scanned with; not owned
  std::vector<SiteScanner> scanners_;      // one per model, same order
};

}  // namespace vok
