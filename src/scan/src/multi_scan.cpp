#include "scan/multi_scan.hpp"

#include <stdexcept>

namespace vok {

MultiScanner::MultiScanner(std::span<const ScoringMatrix> models) : models_(models) {
  scanners_.reserve(models.size());
  for (const ScoringMatrix& model : models) scanners_.emplace_back(model);
}

void MultiScanner::scan(std::span<const BaseCode> bases, std::span<const CandidateRange> ranges,
                        std::span<std::vector<SiteMatch>> out) const {
  if (ranges.size() != scanners_.size() || out.size() != scanners_.size()) {
    throw std::invalid_argument("MultiScanner::scan: one range and one output per model");
  }
  for (std::size_t k = 0; k < scanners_.size(); ++k) {
    scanners_[k].scan_candidates(bases, ranges[k].first, ranges[k].end, out[k]);
  }
}

}  // namespace vok
