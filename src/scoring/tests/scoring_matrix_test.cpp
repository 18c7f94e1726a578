#include "scoring/scoring_matrix.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "reference_model.hpp"
#include "scoring/internal_failure.hpp"

namespace vok::test {
namespace {

using Rows = std::vector<std::array<float, 4>>;
constexpr float kInf = std::numeric_limits<float>::infinity();

ScoringMatrix build(const Rows& rows, Thresholds thresholds = {}) {
  auto built = build_scoring_matrix(matrix_from_rows(rows), thresholds);
  EXPECT_TRUE(std::holds_alternative<ScoringMatrix>(built));
  return std::get<ScoringMatrix>(std::move(built));
}

// The failure message of building, or "" when it builds.
std::string failure_of(const Rows& rows) {
  try {
    build_scoring_matrix(matrix_from_rows(rows), {});
  } catch (const InternalFailure& failure) {
    return failure.what();
  }
  return "";
}

// Random matrices of the kinds the loaders deliver: counts, frequencies,
// rows of negative values and very large values.
Rows random_rows(std::mt19937& rng, std::size_t length, int kind) {
  std::uniform_int_distribution<int> count(0, 40);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  Rows rows(length);
  for (auto& row : rows) {
    for (float& x : row) {
      switch (kind) {
        case 0:
          x = static_cast<float>(count(rng));
          break;
        case 1:
          x = unit(rng);
          break;
        case 2:
          x = -1.0f - unit(rng) * 5.0f;
          break;
        default:
          x = unit(rng) * 1e35f;
          break;
      }
    }
  }
  return rows;
}

TEST(BuildScoringMatrix, CountRowGetsPseudocountOfOneHundredth) {
  const ScoringMatrix model = build(Rows(5, {10, 0, 0, 0}));
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(bits(model.frequency(i, kBaseA)), bits(1001.0f / 1004.0f));
    for (std::size_t b = 1; b < 4; ++b)
      EXPECT_EQ(bits(model.frequency(i, b)), bits(1.0f / 1004.0f));
    EXPECT_NEAR(model.information[i], 1.36266f, 1e-5f);
  }
  // The same row as frequencies is a different matrix: the pseudocount acts in input units.
  const ScoringMatrix as_frequencies = build(Rows(5, {1, 0, 0, 0}));
  EXPECT_EQ(bits(as_frequencies.frequency(0, kBaseA)), bits(101.0f / 104.0f));
}

TEST(BuildScoringMatrix, UniformRowsHaveExactlyZeroInformation) {
  const ScoringMatrix model = build({{0, 0, 0, 0},
                                     {5, 5, 5, 5},
                                     {9, 1, 0, 0},
                                     {0, 7, 1, 2},
                                     {3, 3, 3, 3},
                                     {1, 1, 8, 0},
                                     {0, 0, 2, 9}});
  for (std::size_t i : {0u, 1u, 4u}) {
    for (std::size_t b = 0; b < 4; ++b) EXPECT_EQ(bits(model.frequency(i, b)), bits(0.25f));
    EXPECT_EQ(bits(model.information[i]), bits(0.0f));
  }
}

TEST(BuildScoringMatrix, MatchesReferenceBitForBit) {
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 200; ++trial) {
    const int kind = trial % 4;
    const std::size_t length = 5 + trial % 26;
    const Rows rows = random_rows(rng, length, kind);
    SCOPED_TRACE("trial " + std::to_string(trial));
    const ScoringMatrix model = build(rows, {0.25f, 0.5f});
    const auto ref = reference_build(matrix_from_rows(rows));
    ASSERT_TRUE(ref.has_value());
    ASSERT_EQ(model.length, length);
    ASSERT_EQ(model.core_start, ref->core);
    EXPECT_EQ(bits(model.max_sum), bits(ref->max_sum));
    EXPECT_EQ(bits(model.min_sum), bits(ref->min_sum));
    for (std::size_t i = 0; i < length; ++i) {
      EXPECT_EQ(bits(model.information[i]), bits(ref->info[i]));
      for (std::size_t b = 0; b < 4; ++b)
        EXPECT_EQ(bits(model.frequency(i, b)), bits(ref->f[i][b]));
    }
    for (std::size_t word = 0; word < kCoreWords; ++word) {
      ASSERT_EQ(bits(model.core_scores[word]), bits(ref->css[word])) << "word " << word;
    }
    EXPECT_EQ(model.thresholds.css, 0.25f);
    EXPECT_EQ(model.thresholds.mss, 0.5f);
  }
}

TEST(BuildScoringMatrix, BestCoreWordScoresOneAndWorstZero) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    const ScoringMatrix model = build(random_rows(rng, 5 + trial % 9, trial % 3));
    std::uint8_t best[5], worst[5];
    for (std::size_t j = 0; j < 5; ++j) {
      const std::size_t row = model.core_start + j;
      best[j] = worst[j] = 0;
      for (std::uint8_t b = 1; b < 4; ++b) {
        if (model.frequency(row, b) > model.frequency(row, best[j])) best[j] = b;
        if (model.frequency(row, b) < model.frequency(row, worst[j])) worst[j] = b;
      }
    }
    EXPECT_EQ(bits(model.core_scores[core_word_index(best[0], best[1], best[2], best[3], best[4])]),
              bits(1.0f));
    EXPECT_EQ(
        bits(model.core_scores[core_word_index(worst[0], worst[1], worst[2], worst[3], worst[4])]),
        bits(0.0f));
  }
}

TEST(BuildScoringMatrix, WordIndexPutsFirstCoreBaseMostSignificant) {
  // Core rows favour A, C, G, T, A in that order; every other word scores lower.
  const ScoringMatrix model =
      build({{9, 0, 0, 0}, {0, 9, 0, 0}, {0, 0, 9, 0}, {0, 0, 0, 9}, {9, 0, 0, 0}});
  const std::size_t acgta = 0 * 256 + 1 * 64 + 2 * 16 + 3 * 4 + 0;
  EXPECT_EQ(core_word_index(0, 1, 2, 3, 0), acgta);
  EXPECT_EQ(model.core_scores[acgta], 1.0f);
  for (std::size_t word = 0; word < kCoreWords; ++word) {
    if (word != acgta) {
      EXPECT_LT(model.core_scores[word], 1.0f) << word;
    }
  }
}

TEST(CoreSelection, IdenticalRowsPutTheCoreOnTheLastWindow) {
  for (std::size_t length : {5u, 6u, 7u, 12u}) {
    EXPECT_EQ(build(Rows(length, {4, 1, 0, 2})).core_start, length - 5) << length;
  }
}

TEST(CoreSelection, StrongestWindowWinsAndTiesGoRight) {
  const std::array<float, 4> strong{20, 0, 1, 0}, weak{3, 2, 2, 1}, flat{0, 0, 0, 0};
  Rows single(10, flat);
  for (std::size_t i = 3; i < 8; ++i) single[i] = strong;
  EXPECT_EQ(build(single).core_start, 3u);

  // Windows 0 and 10 sum the same five strong rows; every window between holds weak rows.
  Rows tied(15, weak);
  for (std::size_t i = 0; i < 5; ++i) tied[i] = tied[i + 10] = strong;
  EXPECT_EQ(build(tied).core_start, 10u);
}

TEST(BuildScoringMatrix, ShortMatricesGiveMatrixToShortWithTheirLength) {
  for (std::size_t length : {0u, 1u, 4u}) {
    auto built = build_scoring_matrix(matrix_from_rows(Rows(length, {1, 2, 3, 4})), {});
    ASSERT_TRUE(std::holds_alternative<MatrixToShort>(built)) << length;
    EXPECT_EQ(std::get<MatrixToShort>(built).length, length);
  }
}

struct NanCase {
  const char* what;     // the input's peculiarity
  Rows rows;            // raw matrix
  const char* message;  // expected failure
};

void PrintTo(const NanCase& c, std::ostream* os) { *os << c.what; }

class BuildNanFailure : public ::testing::TestWithParam<NanCase> {};

TEST_P(BuildNanFailure, FailsWithTheGuardsMessage) {
  EXPECT_EQ(failure_of(GetParam().rows), GetParam().message) << GetParam().what;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::array<float, 4> kRow{10, 2, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Inputs, BuildNanFailure,
    ::testing::Values(
        // f = 0 for one base: 0 * ln(0) in the information vector.
        NanCase{"entry -0.01",
                {kRow, kRow, {5, 0, 0, -0.01f}, kRow, kRow},
                "Multiplication resulted in NaN"},
        // f < 0 for one base: ln of a negative number.
        NanCase{
            "entry -1", {kRow, kRow, kRow, kRow, {5, -1, 0, 0}}, "Multiplication resulted in NaN"},
        // Never delivered by the loaders, but the first multiplication refuses it.
        NanCase{"NaN entry",
                {kRow, {kNaN, 0, 0, 0}, kRow, kRow, kRow},
                "Multiplication resulted in NaN"},
        // inf / inf in the normalisation.
        NanCase{"infinite entry",
                {kRow, kRow, {kInf, 1, 0, 0}, kRow, kRow},
                "Division resulted in NaN"},
        // 100x overflows to inf for a large finite count.
        NanCase{"overflowing entry",
                {kRow, kRow, kRow, {1e37f, 0, 0, 0}, kRow},
                "Division resulted in NaN"},
        // Row total 0: 0 / 0 for the entries whose 100x + 1 is zero.
        NanCase{"row total zero",
                {kRow, {0.01f, -0.03f, -0.01f, -0.01f}, kRow, kRow, kRow},
                "Division resulted in NaN"},
        // inf + -inf in the row total.
        NanCase{"opposite infinities",
                {kRow, kRow, {kInf, -kInf, 0, 0}, kRow, kRow},
                "Addition resulted in NaN"},
        // No information anywhere: the core table divides 0 by 0.
        NanCase{"all rows uniform", Rows(6, {2, 2, 2, 2}), "Division resulted in NaN"},
        NanCase{"all rows zero", Rows(5, {0, 0, 0, 0}), "Division resulted in NaN"},
        // The length check comes after normalisation, information and extremes.
        NanCase{"4 rows, infinite entry",
                {kRow, {kInf, 0, 0, 0}, kRow, kRow},
                "Division resulted in NaN"},
        NanCase{"4 rows, entry -0.01",
                {kRow, kRow, kRow, {-0.01f, 0, 0, 0}},
                "Multiplication resulted in NaN"}));

TEST(BuildScoringMatrix, RefusesValuesOfTheWrongShape) {
  for (const std::size_t size : {19, 21, 0}) {
    PwmMatrix matrix("M", 5);
    matrix.values.assign(size, 1.0f);
    try {
      build_scoring_matrix(matrix, {});
      ADD_FAILURE() << size << " values for 5 rows were accepted";
    } catch (const InternalFailure& failure) {
      EXPECT_STREQ(failure.what(), "Unable to copy from a matrix with a different shape.");
    }
  }
}

}  // namespace
}  // namespace vok::test
