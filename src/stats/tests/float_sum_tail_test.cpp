// The float-sum search against every word: each word's float sum is added up
// as the scan adds it, and the tail at a sum any word reaches, or the float
// just above it, must be that of the words themselves.
#include "stats/float_sum_tail.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "enumeration.hpp"

namespace vok::test {
namespace {

struct Word {
  float sum;           // the scan's float window sum
  float css;           // the css of its core word
  double probability;  // under the background
};

std::vector<Word> every_word(const WindowSumModel& window, const Background& background) {
  const std::size_t length = window.length();
  std::vector<Word> words;
  std::vector<std::size_t> bases(length, 0);
  for (std::size_t index = 0; index < (std::size_t{1} << (2 * length)); ++index) {
    for (std::size_t i = 0; i < length; ++i) bases[i] = (index >> (2 * (length - 1 - i))) & 3;
    float sum = 0.0f;
    double probability = 1.0;
    std::size_t core = 0;
    for (std::size_t i = 0; i < length; ++i) {
      sum = sum + window.term(i, bases[i]);
      probability *= background.probability[bases[i]];
      if (i >= window.core_start() && i < window.core_start() + kCoreLength) core = core * 4 + bases[i];
    }
    words.push_back(Word{sum, window.core_scores()[core], probability});
  }
  return words;
}

class FloatSumTail : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(FloatSumTail, EqualsTheWordsAtTheirOwnSumsAndJustAbove) {
  const ScoringMatrix model = GetParam().model();
  const WindowSumModel window(model);
  const Background skewed = background_from_frequencies(std::vector<double>{0.1, 0.2, 0.3, 0.4});
  for (const Background& background : {uniform_background(), skewed}) {
    const std::vector<Word> words = every_word(window, background);
    std::vector<float> sums;
    for (const Word& word : words) sums.push_back(word.sum);
    std::sort(sums.begin(), sums.end());
    sums.erase(std::unique(sums.begin(), sums.end()), sums.end());
    // The top sums, where thresholds fall, and a spread of the others.
    std::vector<float> targets(sums.end() - std::min<std::size_t>(sums.size(), 12), sums.end());
    for (std::size_t k = 0; k < sums.size(); k += sums.size() / 8 + 1) targets.push_back(sums[k]);
    for (const float css : {-1.0f, 0.8f}) {
      for (const float own : targets) {
        for (const float target : {own, std::nextafter(own, std::numeric_limits<float>::infinity())}) {
          double expected = 0.0;
          for (const Word& word : words) {
            if (word.css >= css && word.sum >= target) expected += word.probability;
          }
          const auto counted = float_sum_tail(window, background, css, target, std::size_t{1} << 20);
          ASSERT_TRUE(counted.has_value());
          EXPECT_NEAR(*counted, expected, 1e-12 * expected + 1e-300)
              << "css " << css << ", sum " << target << " (a word's sum: " << (target == own) << ")";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Matrices, FloatSumTail,
                         ::testing::Values(MatrixCase{MatrixKind::kRandom, 6, 1}, MatrixCase{MatrixKind::kRandom, 8, 2},
                                           MatrixCase{MatrixKind::kTied, 7, 0},
                                           MatrixCase{MatrixKind::kNearTied, 8, 3}));

}  // namespace
}  // namespace vok::test
