#include "stats/hit_pvalue_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "enumeration.hpp"
#include "stats/exact_tail.hpp"
#include "stats/matrix_statistics.hpp"

namespace vok::test {
namespace {

class HitPValueTableTest : public ::testing::TestWithParam<MatrixCase> {};

// Every window's score at or above the floor, against the exact tail of all
// 4^L words: never below it, at most 1% above it, and never above the cap
// (the p-value of the floor as the threshold search sees it); from the exact
// distribution of float sums, and from the grid that longer matrices need.
void check_every_score(const ScoringMatrix& model, std::size_t exact_states) {
  const WindowSumModel window(model);
  for (const NamedBackground& named : kBackgrounds) {
    SCOPED_TRACE(named.name);
    auto windows = enumerate_windows(model, named.background);
    std::sort(windows.begin(), windows.end(), [](const Window& a, const Window& b) { return a.mss > b.mss; });
    const std::vector<double> tails = running_tails(windows);
    const MatrixStatistics stats(window, named.background);
    for (double rate : {1e-2, 1e-3}) {
      const float floor = stats.threshold_for_pvalue(rate, 0.0f);
      if (floor > 1.0f) continue;  // no window is that rare
      const double cap = stats.pvalue(-std::numeric_limits<float>::infinity(), floor);
      const HitPValueTable table(window, named.background, floor, cap, exact_states);
      std::size_t checked = 0;
      for (std::size_t k = 0; k < windows.size() && windows[k].mss >= floor; ++k) {
        if (k > 0 && windows[k].mss == windows[k - 1].mss) continue;
        const double exact = tails[k];
        const float value = table(windows[k].mss);
        ASSERT_GE(value, exact * (1 - 1e-12)) << "mss " << windows[k].mss << " floor " << floor;
        ASSERT_LE(value, exact * 1.01) << "mss " << windows[k].mss << " floor " << floor;
        ASSERT_LE(value, rate) << "mss " << windows[k].mss;
        ++checked;
      }
      EXPECT_GT(checked, 0u) << "rate " << rate;
      // Between scores and beyond the best window.
      EXPECT_EQ(table(std::nextafter(windows.front().mss, 2.0f)), 0.0f);
      EXPECT_EQ(table(std::numeric_limits<float>::quiet_NaN()), 1.0f);
      EXPECT_EQ(table(0.0f), 1.0f);
    }
  }
}

TEST_P(HitPValueTableTest, EveryScoreWithinOnePercentOfTheExactTail) {
  for (const std::size_t exact_states : {HitPValueTable::kExactStates, std::size_t{0}}) {
    SCOPED_TRACE(exact_states == 0 ? "grid" : "exact float sums");
    check_every_score(GetParam().model(), exact_states);
  }
}

INSTANTIATE_TEST_SUITE_P(
    ShortMatrices, HitPValueTableTest,
    ::testing::Values(MatrixCase{MatrixKind::kRandom, 6, 1}, MatrixCase{MatrixKind::kRandom, 9, 2},
                      MatrixCase{MatrixKind::kRandom, 10, 5}, MatrixCase{MatrixKind::kTied, 8, 0},
                      MatrixCase{MatrixKind::kTied, 10, 0}, MatrixCase{MatrixKind::kNearTied, 7, 3},
                      MatrixCase{MatrixKind::kNearTied, 10, 4}, MatrixCase{MatrixKind::kFlat, 8, 6},
                      MatrixCase{MatrixKind::kFlat, 10, 7}));

// Matrices too long to enumerate take the grid path; their values must still
// bracket the exact count of the same score from the branch and bound, stay
// within the rate the floor was chosen for, and several threads asking at
// once (loose scores filling the cache) agree.
TEST(HitPValueTableTest, LongMatricesAgreeWithExactCountsFromManyThreads) {
  std::mt19937 rng(17);
  const Background skewed{{0.3, 0.2, 0.2, 0.3}};
  for (std::size_t length : {12, 15, 18, 21}) {
    const ScoringMatrix model = random_model(length, rng);
    const WindowSumModel window(model);
    const MatrixStatistics stats(window, skewed);
    const float floor = stats.threshold_for_pvalue(1e-4, 0.0f);
    const HitPValueTable table(window, skewed, floor, stats.pvalue(-1.0f, floor));
    for (float mss = floor, k = 0; k < 16; ++k, mss = std::nextafter(mss, 2.0f)) {
      ASSERT_LE(table(mss), 1e-4) << "length " << length << " mss " << mss;
    }
    std::vector<float> scores;
    for (int k = 0; k <= 6; ++k) scores.push_back(floor + (1.0f - floor) * static_cast<float>(k) / 6.0f);
    std::vector<float> seen[2];
    std::vector<std::thread> threads;
    for (auto& out : seen) {
      threads.emplace_back([&table, &scores, &out] {
        for (float mss : scores) out.push_back(table(mss));
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(seen[0], seen[1]);
    for (std::size_t k = 0; k < scores.size(); ++k) {
      const auto exact = exact_tail(window, skewed, -1.0f, scores[k], std::size_t{1} << 22);
      if (!exact) continue;
      EXPECT_GE(seen[0][k], *exact * (1 - 1e-12)) << "length " << length << " mss " << scores[k];
      EXPECT_LE(seen[0][k], *exact * 1.01 + 1e-300) << "length " << length << " mss " << scores[k];
    }
  }
}

// The cap (the threshold's own p-value, as the threshold search computed it)
// bounds every score from the floor up, on both the exact and the grid path.
TEST(HitPValueTableTest, CapBoundsEveryScoreFromTheFloorUp) {
  std::mt19937 rng(23);
  for (std::size_t length : {8, 18}) {
    const WindowSumModel window(random_model(length, rng));
    const MatrixStatistics stats(window, uniform_background());
    const float floor = stats.threshold_for_pvalue(1e-3, 0.0f);
    const double cap = 0.5 * stats.pvalue(-1.0f, floor);
    const HitPValueTable table(window, uniform_background(), floor, cap);
    for (float mss : {floor, std::nextafter(floor, 2.0f), floor + 0.01f}) {
      EXPECT_LE(table(mss), cap * (1 + 1e-6)) << "length " << length << " mss " << mss;
    }
    EXPECT_GT(table(std::nextafter(floor, -1.0f)), cap) << "below the floor the cap does not apply";
  }
}

}  // namespace
}  // namespace vok::test
