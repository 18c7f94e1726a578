#include "matrix_scan.hpp"

#include <algorithm>
#include <variant>

#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace vok {
namespace {

// About a millisecond of scanning at selective thresholds.
constexpr std::uint64_t kCandidatesPerPiece = std::uint64_t{1} << 20;

}  // namespace

Thresholds thresholds_for(const CalculatorState& state, const PwmMatrix& matrix) {
  const auto entry = state.profiles.find(matrix.name);
  return entry != state.profiles.end() ? entry->second : state.defaults;
}

void scan_matrix(const CalculatorState& state, std::uint32_t matrix_index,
                 std::span<const StrandRecord> records, const StopSignal& stop,
                 HitList& hits) {
  const PwmMatrix& matrix = state.matrices[matrix_index];
  auto built = build_scoring_matrix(matrix, thresholds_for(state, matrix));
  const auto* model = std::get_if<ScoringMatrix>(&built);
  if (model == nullptr) return;  // MatrixToShort: no core, no sites

  const SiteScanner scanner(*model);  // per-position terms prepared once for all records
  std::vector<SiteMatch> sites;       // reused for every record
  for (const StrandRecord& record : records) {
    const std::uint64_t n = record.bases.size();
    const std::uint64_t candidates = scanner.candidate_count(n);
    // A chromosome-sized record is scanned in pieces so that a cancelled run
    // stops within one piece, not one record.
    for (std::uint64_t first = 0; first < candidates; first += kCandidatesPerPiece) {
      if (stop.requested()) return;
      sites.clear();
      scanner.scan_candidates(record.bases, first, std::min(candidates, first + kCandidatesPerPiece), sites);
      hits.reserve_more(sites.size());
      for (const SiteMatch& site : sites) {
        // The core word at p on the reversed record covers forward indices
        // n - p - 5 .. n - p - 1; report its leftmost one.
        const std::uint64_t pos = record.forward ? site.pos : n - site.pos - kCoreLength;
        hits.push_back(Hit{pos, matrix_index, record.sequence, site.css, site.mss, record.forward});
      }
    }
  }
}

}  // namespace vok
