#include "stats/matrix_statistics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "enumeration.hpp"
#include "stats/exact_tail.hpp"

namespace vok::test {
namespace {

// mss thresholds at which the enumeration's tail is near each target rate,
// taken from the windows' own scores so that atoms of the distribution are hit.
void sort_by_mss(std::vector<Window>& windows) {
  std::sort(windows.begin(), windows.end(), [](const Window& a, const Window& b) { return a.mss > b.mss; });
}

// `windows` sorted by mss, highest first.
std::vector<float> thresholds_near(const std::vector<Window>& windows, std::initializer_list<double> rates) {
  std::vector<float> out;
  for (double rate : rates) {
    double total = 0.0;
    for (const Window& w : windows) {
      total += w.probability;
      if (total >= rate) {
        out.push_back(w.mss);
        break;
      }
    }
  }
  out.push_back(1.0f);
  out.push_back(std::nextafter(1.0f, 2.0f));
  out.push_back(0.0f);
  return out;
}

class EnumerationTest : public ::testing::TestWithParam<MatrixCase> {};

// Against all 4^L words scored by the real scan: the bounds hold, the css
// distribution is exact, the p-value is within 1% and never below, and a
// threshold chosen for a rate keeps the true rate under it yet is tight.
TEST_P(EnumerationTest, AgreesWithEveryWord) {
  const std::size_t length = GetParam().length;
  const ScoringMatrix model = GetParam().model();
  for (const NamedBackground& named : kBackgrounds) {
    SCOPED_TRACE(named.name);
    const MatrixStatistics stats(model, named.background);
    auto windows = enumerate_windows(model, named.background);
    sort_by_mss(windows);
    ASSERT_EQ(windows.size(), std::size_t{1} << (2 * length));

    for (float css : {0.0f, 0.7f, 0.9f, 1.0f}) {
      EXPECT_NEAR(stats.css_tail(css), enumerated_tail(windows, css, -1.0f), 1e-9);
      for (float mss : thresholds_near(windows, {0.5, 1e-2, 1e-3, 1e-4, 1e-5})) {
        SCOPED_TRACE(testing::Message() << "css " << css << " mss " << mss);
        const double exact = enumerated_tail(windows, css, mss);
        const TailBounds bounds = stats.tail_bounds(css, mss);
        EXPECT_LE(bounds.lower, exact * (1 + 1e-9));  // the enumeration's own rounding
        EXPECT_GE(bounds.upper, exact * (1 - 1e-9));  // the enumeration's own rounding
        if (const auto counted = exact_tail(stats.window(), named.background, css, mss, 1 << 20)) {
          EXPECT_NEAR(*counted, exact, exact * 1e-9 + 1e-300);
        }
        // The base grid is as tight as its step promises: off by at most the
        // cells of the rows beyond the core (plus one) of a grid spanning the
        // score range in kDefaultGridCells steps, and by the sum's float error.
        const double width = static_cast<double>(stats.window().denominator());
        const double band = static_cast<double>(length - 3) / MatrixStatistics::kDefaultGridCells +
                            2.0 * stats.window().sum_error_bound() / width + 1e-6;
        EXPECT_LE(bounds.upper, enumerated_tail(windows, css, static_cast<float>(mss - band)) * (1 + 1e-6));
        EXPECT_GE(bounds.lower, enumerated_tail(windows, css, static_cast<float>(mss + band)) * (1 - 1e-6));
        const double p = stats.pvalue(css, mss);
        EXPECT_GE(p, exact * (1 - 1e-9));
        EXPECT_LE(p, exact * 1.0025 + 1e-300);  // the bounds are refined to 0.25%
      }
      for (double target : {1e-2, 1e-3, 1e-4}) {
        const float threshold = stats.threshold_for_pvalue(target, css);
        SCOPED_TRACE(testing::Message() << "target " << target << " threshold " << threshold);
        const double rate = enumerated_tail(windows, css, threshold);
        EXPECT_LE(rate, target);
        EXPECT_LE(stats.pvalue(css, threshold), target);
        // Tight: the rate nearly reaches the target, or the next lower float
        // threshold is already too likely.
        if (threshold > 0.0f && rate < 0.995 * target) {
          EXPECT_GT(enumerated_tail(windows, css, std::nextafter(threshold, -1.0f)), target);
        }
      }
      // A rate just above the tail at a window's score, clearly below the
      // tail at the next lower score: the threshold is the float just above
      // that lower score, to the bit.
      std::vector<std::pair<float, double>> steps;  // (distinct mss, tail from it), best first
      double total = 0.0;
      for (std::size_t k = 0; k < windows.size(); ++k) {
        if (windows[k].css >= css) total += windows[k].probability;
        if (k + 1 == windows.size() || windows[k + 1].mss != windows[k].mss) steps.emplace_back(windows[k].mss, total);
      }
      for (std::size_t k = 0; k + 1 < steps.size() && steps[k].second < 2e-2; ++k) {
        const double target = steps[k].second * 1.011;  // beyond the p-value's 1% bound
        if (!(target > 0.0) || !(steps[k + 1].second > target) || steps[k + 1].first <= 0.0f) continue;
        const float expected = std::nextafter(steps[k + 1].first, 2.0f);
        EXPECT_EQ(stats.threshold_for_pvalue(target, css), expected) << "css " << css << " target " << target;
      }
    }

    // The css threshold that keeps every window passing an mss threshold
    // loses none of them, so the pair's p-value is the mss one.
    for (float mss : thresholds_near(windows, {1e-2, 1e-4})) {
      const float keeping = stats.css_threshold_keeping(mss);
      float lowest = 2.0f;
      for (const Window& w : windows) {
        if (w.mss >= mss) lowest = std::min(lowest, w.css);
      }
      if (lowest <= 1.0f) {
        EXPECT_LE(keeping, lowest) << "mss " << mss;
      }
      EXPECT_NEAR(stats.pvalue(keeping, mss), stats.pvalue(0.0f, mss), 1e-15);
    }

  }
}

INSTANTIATE_TEST_SUITE_P(
    ShortMatrices, EnumerationTest,
    ::testing::Values(MatrixCase{MatrixKind::kRandom, 5, 1}, MatrixCase{MatrixKind::kRandom, 5, 2},
                      MatrixCase{MatrixKind::kRandom, 6, 1}, MatrixCase{MatrixKind::kRandom, 8, 2},
                      MatrixCase{MatrixKind::kRandom, 10, 1}, MatrixCase{MatrixKind::kTied, 7, 0},
                      MatrixCase{MatrixKind::kTied, 9, 0}, MatrixCase{MatrixKind::kNearTied, 6, 3},
                      MatrixCase{MatrixKind::kNearTied, 9, 4}, MatrixCase{MatrixKind::kFlat, 7, 6},
                      MatrixCase{MatrixKind::kFlat, 9, 7}));

// Rows with the same terms make many words tie in their real sum; only the
// float rounding of the scan's sum tells them apart, which the grid cannot.
TEST(MatrixStatisticsTest, TiedRowsAreCountedExactly) {
  PwmMatrix matrix("tied", 7);
  const float row[4] = {10, 3, 3, 1};
  for (std::size_t i = 0; i < 7; ++i) {
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = row[(b + i / 3) % 4];
  }
  const ScoringMatrix model = std::get<ScoringMatrix>(build_scoring_matrix(matrix, Thresholds{}));
  const MatrixStatistics stats(model, uniform_background());
  auto windows = enumerate_windows(model, uniform_background());
  sort_by_mss(windows);
  for (float mss : thresholds_near(windows, {0.3, 1e-2, 1e-3})) {
    const double exact = enumerated_tail(windows, 0.0f, mss);
    EXPECT_GE(stats.pvalue(0.0f, mss), exact * (1 - 1e-9));
    EXPECT_LE(stats.pvalue(0.0f, mss), exact * 1.01 + 1e-300) << "mss " << mss;
  }
  for (double target : {1e-2, 1e-3}) {
    const float threshold = stats.threshold_for_pvalue(target, 0.0f);
    EXPECT_LE(enumerated_tail(windows, 0.0f, threshold), target);
    // No lower float threshold also keeps the rate under the target.
    EXPECT_GT(enumerated_tail(windows, 0.0f, std::nextafter(threshold, -1.0f)), target) << threshold;
  }
}

TEST(MatrixStatisticsTest, StricterThresholdsNeverRaiseThePValue) {
  std::mt19937 rng(7);
  for (std::size_t length : {7, 12, 21}) {
    const MatrixStatistics stats(random_model(length, rng), Background{{0.3, 0.2, 0.2, 0.3}});
    for (float css : {0.0f, 0.85f}) {
      double previous = 2.0;
      for (float mss = 0.0f; mss <= 1.0001f; mss += 0.01f) {
        // Refinement stops within 0.25% of the lower bound, so p-values at
        // nearby thresholds may come from different grids.
        const double p = stats.pvalue(css, mss);
        EXPECT_LE(p, previous * 1.0025) << "length " << length << " mss " << mss;
        EXPECT_LE(stats.tail_bounds(css, mss).upper, stats.tail_bounds(css, mss - 0.01f).upper);
        previous = p;
      }
      EXPECT_GE(stats.pvalue(0.0f, 0.5f), stats.pvalue(0.9f, 0.5f));
    }
    // Rarer targets give stricter thresholds.
    float previous_threshold = -1.0f;
    for (double target : {1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6}) {
      const float threshold = stats.threshold_for_pvalue(target, 0.0f);
      EXPECT_GE(threshold, previous_threshold);
      previous_threshold = threshold;
    }
  }
}

// Matrices too long to enumerate: the rate the scan counts on seeded random
// sequence lies within its binomial interval around the predicted p-value.
TEST(MatrixStatisticsTest, CountedRatesOfLongMatricesAgree) {
  std::mt19937 rng(2024);
  const Background skewed{{0.3, 0.2, 0.2, 0.3}};
  std::mt19937_64 bases_rng(99);
  std::discrete_distribution<int> pick(skewed.probability.begin(), skewed.probability.end());
  std::vector<BaseCode> bases(2'000'000);
  for (auto& base : bases) base = static_cast<BaseCode>(pick(bases_rng));
  for (std::size_t length : {12, 16, 21}) {
    ScoringMatrix model = random_model(length, rng);
    const MatrixStatistics stats(model, skewed);
    for (float css : {0.0f, 0.9f}) {
      model.thresholds = Thresholds{css, stats.threshold_for_pvalue(1e-3, css)};
      const double predicted = stats.pvalue(css, model.thresholds.mss);
      std::vector<SiteMatch> sites;
      scan_sites(model, bases, sites);
      const double windows = static_cast<double>(bases.size() - length + 1);
      const double counted = static_cast<double>(sites.size());
      const double sd = std::sqrt(windows * predicted * (1 - predicted));
      EXPECT_LE(predicted, 1e-3);
      EXPECT_NEAR(counted, windows * predicted, 4.5 * sd + 5) << "length " << length << " css " << css;
    }
  }
}

TEST(MatrixStatisticsTest, EdgeThresholds) {
  std::mt19937 rng(3);
  const MatrixStatistics stats(random_model(9, rng), uniform_background());
  EXPECT_EQ(stats.pvalue(0.0f, std::nextafter(1.0f, 2.0f)), 0.0);  // above every window
  EXPECT_EQ(stats.pvalue(0.0f, std::numeric_limits<float>::quiet_NaN()), 0.0);
  EXPECT_NEAR(stats.pvalue(0.0f, 0.0f), 1.0, 1e-8);  // every window passes
  EXPECT_NEAR(stats.pvalue(0.0f, -5.0f), 1.0, 1e-8);
  EXPECT_EQ(stats.threshold_for_pvalue(1.0, 0.0f), 0.0f);
  // Below the best word's probability (4^-9) nothing may pass.
  EXPECT_GT(stats.threshold_for_pvalue(1e-9, 0.0f), 1.0f);
  EXPECT_THROW(stats.threshold_for_pvalue(0.0, 0.0f), std::invalid_argument);
  EXPECT_THROW(stats.threshold_for_pvalue(std::nan(""), 0.0f), std::invalid_argument);
  double total = 0.0;
  for (const CssLevel& level : stats.css_distribution()) total += level.probability;
  EXPECT_NEAR(total, 1.0, 1e-12);
}

// The float search behind every bound: a sum passes exactly from the returned value on.
TEST(WindowSumModelTest, MinPassingSumIsTheExactFloatBoundary) {
  std::mt19937 rng(11);
  const ScoringMatrix model = random_model(12, rng);
  const WindowSumModel window(model);
  std::uniform_real_distribution<float> unit(-0.1f, 1.1f);
  for (int trial = 0; trial < 2000; ++trial) {
    const float threshold = unit(rng);
    const float boundary = window.min_passing_sum(threshold);
    EXPECT_GE(window.mss_of_sum(boundary), threshold);
    EXPECT_LT(window.mss_of_sum(std::nextafter(boundary, -1e30f)), threshold);
  }
  EXPECT_EQ(window.mss_of_sum(window.max_window_sum()), 1.0f);
  EXPECT_EQ(window.mss_of_sum(window.min_window_sum()), 0.0f);
}

}  // namespace
}  // namespace vok::test
