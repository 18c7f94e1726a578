#include "scan/multi_scan.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <variant>

namespace vok::test {
namespace {

std::vector<ScoringMatrix> random_models(std::mt19937& rng, std::size_t count) {
  std::vector<ScoringMatrix> models;
  std::uniform_int_distribution<int> length(5, 30), count_value(0, 20);
  std::uniform_real_distribution<float> threshold(0.5f, 0.95f);
  while (models.size() < count) {
    PwmMatrix matrix("M", static_cast<std::size_t>(length(rng)));
    for (float& value : matrix.values) value = static_cast<float>(count_value(rng));
    auto built = build_scoring_matrix(std::move(matrix), {threshold(rng), threshold(rng)});
    if (auto* model = std::get_if<ScoringMatrix>(&built)) models.push_back(std::move(*model));
  }
  return models;
}

// Every model's sites, over its whole candidate range and over random
// sub-ranges, are the single-model scan's, bit for bit.
TEST(MultiScan, SameSitesAsOneModelScans) {
  std::mt19937 rng(20261207);
  const auto models = random_models(rng, 40);
  const MultiScanner multi(models);
  for (std::size_t n : {0, 4, 9, 31, 5000}) {
    std::vector<BaseCode> bases(n);
    for (auto& base : bases) base = static_cast<BaseCode>(rng() & 3);
    std::vector<CandidateRange> ranges(models.size());
    for (std::size_t k = 0; k < models.size(); ++k) {
      const std::uint64_t count = multi.scanner(k).candidate_count(n);
      const std::uint64_t first = count == 0 ? 0 : rng() % count;
      ranges[k] = {first, first + (count == 0 ? 0 : rng() % (count - first + 1))};
    }
    std::vector<std::vector<SiteMatch>> got(models.size());
    multi.scan(bases, ranges, got);
    for (std::size_t k = 0; k < models.size(); ++k) {
      std::vector<SiteMatch> want;
      SiteScanner(models[k]).scan_candidates(bases, ranges[k].first, ranges[k].end, want);
      ASSERT_EQ(got[k].size(), want.size()) << "model " << k << " n " << n;
      for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[k][i].pos, want[i].pos);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[k][i].css), std::bit_cast<std::uint32_t>(want[i].css));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[k][i].mss), std::bit_cast<std::uint32_t>(want[i].mss));
      }
    }
  }
}

}  // namespace
}  // namespace vok::test
