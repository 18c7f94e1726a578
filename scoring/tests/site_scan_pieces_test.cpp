// Scanning a record in consecutive candidate ranges must give exactly the
// sites of one whole scan: long records are scanned in pieces.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <variant>

#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"

namespace {

vok::ScoringMatrix random_model(std::mt19937& random, std::size_t length, vok::Thresholds thresholds) {
  std::uniform_int_distribution<int> count(0, 20);
  vok::PwmMatrix matrix("M", length);
  for (float& value : matrix.values) value = static_cast<float>(count(random));
  return std::get<vok::ScoringMatrix>(vok::build_scoring_matrix(matrix, thresholds));
}

bool same_sites(const std::vector<vok::SiteMatch>& a, const std::vector<vok::SiteMatch>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].pos != b[i].pos || std::bit_cast<std::uint32_t>(a[i].css) != std::bit_cast<std::uint32_t>(b[i].css) ||
        std::bit_cast<std::uint32_t>(a[i].mss) != std::bit_cast<std::uint32_t>(b[i].mss)) {
      return false;
    }
  }
  return true;
}

TEST(SiteScanPieces, ConsecutiveRangesGiveTheWholeScan) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> base(0, 3);
  for (std::size_t length : {5u, 9u, 17u}) {
    for (vok::Thresholds thresholds : {vok::Thresholds{0.0f, 0.0f}, vok::Thresholds{0.8f, 0.6f}}) {
      const vok::ScoringMatrix model = random_model(random, length, thresholds);
      const vok::SiteScanner scanner(model);
      for (std::size_t n : {0u, 4u, 12u, 300u}) {
        std::vector<vok::BaseCode> bases(n);
        for (auto& code : bases) code = static_cast<vok::BaseCode>(base(random));
        std::vector<vok::SiteMatch> whole, pieces;
        scanner.scan(bases, whole);
        const std::uint64_t candidates = scanner.candidate_count(n);
        for (std::uint64_t first = 0; first < candidates;) {
          const std::uint64_t end = std::min<std::uint64_t>(candidates, first + 1 + random() % 7);
          scanner.scan_candidates(bases, first, end, pieces);
          first = end;
        }
        EXPECT_TRUE(same_sites(whole, pieces)) << "L=" << length << " n=" << n;
      }
    }
  }
}

}  // namespace
