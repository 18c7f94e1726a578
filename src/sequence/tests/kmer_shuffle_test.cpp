#include "sequence/kmer_shuffle.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <random>
#include <set>
#include <string>

namespace vok::sequence {
namespace {

bool is_base(char c) { return std::string_view("ACGTacgt").find(c) != std::string_view::npos; }

// k-mer counts of every segment of bases, letters compared without case.
std::map<std::string, int> kmer_counts(const std::string& text, std::size_t k) {
  std::map<std::string, int> counts;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !is_base(text[i])) ++i;
    const std::size_t first = i;
    while (i < text.size() && is_base(text[i])) ++i;
    for (std::size_t s = first; s + k <= i; ++s) {
      std::string word = text.substr(s, k);
      for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      ++counts[word];
    }
  }
  return counts;
}

std::string random_text(std::mt19937& rng, std::size_t length) {
  static const char kLetters[] = "ACGTACGTACGTACGTacgtNNR";
  std::string text(length, 'A');
  for (char& c : text) c = kLetters[rng() % (sizeof kLetters - 1)];
  return text;
}

class KmerShuffleProperties : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KmerShuffleProperties, KeepsKmerCountsEndsCaseAndOtherLetters) {
  const std::size_t k = GetParam();
  std::mt19937 rng(static_cast<unsigned>(k));
  KmerShuffler shuffler(k);
  for (int trial = 0; trial < 200; ++trial) {
    const std::string original = random_text(rng, 1 + rng() % 300);
    std::string shuffled = original;
    RandomStream random(7, static_cast<std::uint64_t>(trial), k);
    shuffler.shuffle(shuffled, random);
    ASSERT_EQ(shuffled.size(), original.size());
    for (std::size_t j = 1; j <= k; ++j) ASSERT_EQ(kmer_counts(shuffled, j), kmer_counts(original, j)) << j;
    for (std::size_t i = 0; i < original.size(); ++i) {
      ASSERT_EQ(is_base(shuffled[i]), is_base(original[i])) << i;
      if (!is_base(original[i])) {
        ASSERT_EQ(shuffled[i], original[i]) << i;
      }
      ASSERT_EQ(std::islower(static_cast<unsigned char>(shuffled[i])) != 0,
                std::islower(static_cast<unsigned char>(original[i])) != 0) << i;
    }
    if (k > 1 && original.size() >= k && is_base(original.front()) && is_base(original.back())) {
      // A segment's first and last k - 1 letters stay, so the text's ends do.
      ASSERT_EQ(std::toupper(shuffled.front()), std::toupper(original.front()));
      ASSERT_EQ(std::toupper(shuffled.back()), std::toupper(original.back()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(K, KmerShuffleProperties, ::testing::Values(1, 2, 3, 4, 6));

TEST(KmerShuffle, SameStreamSameResultOtherStreamOtherResult) {
  std::mt19937 rng(3);
  const std::string original = random_text(rng, 400);
  KmerShuffler shuffler(2);
  auto shuffled_with = [&](std::uint64_t seed) {
    std::string text = original;
    RandomStream random(seed, 0, 1);
    shuffler.shuffle(text, random);
    return text;
  };
  EXPECT_EQ(shuffled_with(1), shuffled_with(1));
  EXPECT_NE(shuffled_with(1), shuffled_with(2));
  EXPECT_NE(shuffled_with(1), original);
}

// Every sequence with the same dinucleotide counts, first and last letter is
// reached, about equally often: the walk is a uniform Eulerian path.
TEST(KmerShuffle, DrawsEveryArrangementAboutEquallyOften) {
  const std::string original = "ACAGATCAGCA";
  KmerShuffler shuffler(2);
  std::map<std::string, int> seen;
  const int draws = 30000;
  for (int i = 0; i < draws; ++i) {
    std::string text = original;
    RandomStream random(11, static_cast<std::uint64_t>(i));
    shuffler.shuffle(text, random);
    ++seen[text];
  }
  // The arrangements by brute force: all words of these letters with the same counts and ends.
  std::set<std::string> expected;
  std::string letters = original;
  std::sort(letters.begin(), letters.end());
  do {
    if (letters.front() == original.front() && letters.back() == original.back() &&
        kmer_counts(letters, 2) == kmer_counts(original, 2)) {
      expected.insert(letters);
    }
  } while (std::next_permutation(letters.begin(), letters.end()));
  ASSERT_GT(expected.size(), 3u);
  ASSERT_EQ(seen.size(), expected.size());
  const double mean = static_cast<double>(draws) / static_cast<double>(expected.size());
  for (const auto& [text, count] : seen) {
    EXPECT_TRUE(expected.count(text)) << text;
    EXPECT_NEAR(count, mean, 0.1 * mean) << text;
  }
}

TEST(KmerShuffle, ShortSegmentsAndBadK) {
  KmerShuffler shuffler(3);
  std::string text = "ACGNTTANNGCA";  // no segment longer than k
  RandomStream random(1);
  shuffler.shuffle(text, random);
  EXPECT_EQ(text, "ACGNTTANNGCA");
  EXPECT_THROW(KmerShuffler(0), std::invalid_argument);
  EXPECT_THROW(KmerShuffler(33), std::invalid_argument);
}

TEST(RandomStream, BelowStaysInRangeAndCoversIt) {
  RandomStream random(5);
  std::vector<int> seen(7, 0);
  for (int i = 0; i < 7000; ++i) {
    const std::uint64_t value = random.below(7);
    ASSERT_LT(value, 7u);
    ++seen[value];
  }
  for (int count : seen) EXPECT_NEAR(count, 1000, 150);
  EXPECT_EQ(RandomStream(1, 2, 3).next(), RandomStream(1, 2, 3).next());
  EXPECT_NE(RandomStream(1, 2, 3).next(), RandomStream(1, 3, 2).next());
  EXPECT_NE(RandomStream(1, 2, 3).next(), RandomStream(1, 2, 4).next());
  EXPECT_NE(RandomStream(1, 2, 3).next(), RandomStream(2, 2, 3).next());
}

}  // namespace
}  // namespace vok::sequence
