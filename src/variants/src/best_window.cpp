#include "variants/best_window.hpp"

#include <algorithm>

namespace vok::variants {
bool ranks_above(const BestWindow& window, const BestWindow& best) {
  if (!best.found || window.passes != best.passes) return !best.found || window.passes;
  if (window.mss != best.mss) return window.mss > best.mss;
  if (window.start != best.start) return window.start < best.start;
  return window.strand > best.strand;
}

BestWindow best_window(const ScoringMatrix& model, const SiteScanner& scanner, const AlleleCodes& allele,
                       StartRange starts) {
  BestWindow best;
  const auto size = static_cast<std::int64_t>(allele.forward.size());
  const auto length = static_cast<std::int64_t>(model.length);
  const std::int64_t first = std::max<std::int64_t>(starts.first, 0);
  const std::int64_t end = std::min(starts.end, size - length + 1);
  const Thresholds& thresholds = model.thresholds;
  for (std::int64_t s = first; s < end; ++s) {
    if (allele.breaks[static_cast<std::size_t>(s + length)] != allele.breaks[static_cast<std::size_t>(s)]) continue;
    for (const std::int8_t strand : {std::int8_t{1}, std::int8_t{-1}}) {
      if (strand < 0 && !allele.both_strands) break;
      // The other strand's copy of forward [s, s + L) starts at size - s - L.
      const BaseCode* window = strand > 0 ? allele.forward.data() + s : allele.other.data() + (size - s - length);
      const WindowScore score = scanner.score_window(window);
      const BestWindow scored{true, score.css >= thresholds.css && score.mss >= thresholds.mss, strand, s,
                              score.css, score.mss};
      if (ranks_above(scored, best)) best = scored;
    }
  }
  return best;
}

}  // namespace vok::variants
