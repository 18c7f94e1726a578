#include "stats/background.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vok::test {
namespace {

TEST(BackgroundTest, FrequenciesAreScaledAndZeroIsAllowed) {
  const std::vector<double> counts{3, 1, 0, 4};
  const Background background = background_from_frequencies(counts);
  EXPECT_DOUBLE_EQ(background.probability[0], 0.375);
  EXPECT_DOUBLE_EQ(background.probability[2], 0.0);
  const Background opposite = complement(background);
  EXPECT_DOUBLE_EQ(opposite.probability[0], 0.5);   // T's frequency
  EXPECT_DOUBLE_EQ(opposite.probability[1], 0.0);   // G's
  EXPECT_FALSE(background.strand_symmetric());
  EXPECT_TRUE(uniform_background().strand_symmetric());
}

TEST(BackgroundTest, BadFrequenciesAreRefusedByName) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    std::vector<double> values;
    const char* message;
  } cases[] = {
      {{0.3, -0.1, 0.4, 0.4}, "frequency of C"},
      {{0.3, 0.1, std::nan(""), 0.4}, "frequency of G"},
      {{0.3, 0.1, 0.4, inf}, "frequency of T"},
      {{0, 0, 0, 0}, "all be zero"},
      {{0.5, 0.5}, "four frequencies"},
  };
  for (const auto& c : cases) {
    try {
      background_from_frequencies(c.values);
      ADD_FAILURE() << "accepted " << c.message;
    } catch (const BackgroundError& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
    }
  }
}

TEST(BackgroundTest, CountsGiveOneOrBothStrands) {
  BaseCounts counts;
  const std::vector<BaseCode> bases{0, 0, 0, 1, 2, 3, 0, 0};
  counts.add(bases);
  EXPECT_DOUBLE_EQ(counts.background(false).probability[0], 5.0 / 8);
  const Background both = counts.background(true);
  EXPECT_DOUBLE_EQ(both.probability[0], 6.0 / 16);
  EXPECT_TRUE(both.strand_symmetric());
  for (const bool both : {false, true}) {
    try {
      BaseCounts{}.background(both);
      ADD_FAILURE() << "a background from no bases";
    } catch (const BackgroundError& error) {
      EXPECT_STREQ(error.what(), "no A, C, G or T found to estimate the background from");
    }
  }
}

// Sequences of one or two letters only: whatever letters are missing, what
// was counted is a background.
TEST(BackgroundTest, CountsOfFewLettersAreABackground) {
  const std::vector<std::vector<BaseCode>> sequences{{0, 0}, {1}, {2, 2, 2}, {3}, {1, 2, 1, 2}, {0, 3, 3}};
  for (const auto& bases : sequences) {
    BaseCounts counts;
    counts.add(bases);
    for (const bool both : {false, true}) {
      const Background background = counts.background(both);
      double total = 0.0;
      for (const double p : background.probability) total += p;
      EXPECT_DOUBLE_EQ(total, 1.0) << bases.size() << " bases, both strands " << both;
    }
  }
}

}  // namespace
}  // namespace vok::test
