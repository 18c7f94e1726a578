#include "sequence/genome_composition.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <random>
#include <string>
#include <vector>

#include "sequence/scannable_runs.hpp"

namespace vok::sequence {
namespace {

struct Genome {
  std::vector<std::string> chromosomes;
  GenomeComposition composition;
};

Genome random_genome(std::mt19937& rng) {
  static const char kLetters[] = "ACGTacgtGCNn";
  Genome genome;
  for (std::size_t length : {1000u, 130u, 64u, 3u}) {
    std::string text(length, 'A');
    for (char& c : text) c = kLetters[rng() % (sizeof kLetters - 1)];
    genome.composition.add_chromosome();
    // Appended in uneven pieces, as a reader delivers them.
    for (std::size_t at = 0; at < text.size(); at += 37) genome.composition.append(std::string_view(text).substr(at, 37));
    genome.chromosomes.push_back(text);
  }
  return genome;
}

std::pair<std::uint64_t, std::uint64_t> naive_counts(const std::string& text, std::uint64_t start, std::uint64_t end) {
  std::uint64_t gc = 0, acgt = 0;
  for (std::uint64_t i = start; i < end; ++i) {
    const char c = text[i];
    gc += std::string_view("GCgc").find(c) != std::string_view::npos;
    acgt += std::string_view("ACGTacgt").find(c) != std::string_view::npos;
  }
  return {gc, acgt};
}

TEST(GenomeComposition, CountsMatchTheLettersAcrossWordBoundaries) {
  std::mt19937 rng(1);
  Genome genome = random_genome(rng);
  for (std::size_t c = 0; c < genome.chromosomes.size(); ++c) {
    const std::string& text = genome.chromosomes[c];
    ASSERT_EQ(genome.composition.length(c), text.size());
    for (int trial = 0; trial < 300; ++trial) {
      std::uint64_t a = rng() % (text.size() + 1), b = rng() % (text.size() + 1);
      if (a > b) std::swap(a, b);
      const auto [gc, acgt] = naive_counts(text, a, b);
      ASSERT_EQ(genome.composition.gc_count(c, a, b), gc) << c << " " << a << " " << b;
      ASSERT_EQ(genome.composition.acgt_count(c, a, b), acgt);
    }
  }
  EXPECT_THROW(genome.composition.gc_count(1, 0, 131), std::out_of_range);
}

TEST(GenomeComposition, DrawnRegionsFitAndCarryTheirCountsAndOverlaps) {
  std::mt19937 rng(2);
  Genome genome = random_genome(rng);
  genome.composition.exclude(0, 100, 200);
  genome.composition.exclude(0, 150, 160);
  genome.composition.exclude(1, 10, 11);
  RandomStream random(9);
  const std::uint64_t length = 50;
  const DrawnRegions drawn = genome.composition.draw(length, 5000, random);
  ASSERT_EQ(drawn.start.size(), 5000u);
  std::vector<int> per_chromosome(4, 0);
  for (std::size_t i = 0; i < drawn.start.size(); ++i) {
    const std::uint32_t c = drawn.chromosome[i];
    const std::uint64_t s = drawn.start[i];
    ASSERT_LE(s + length, genome.chromosomes[c].size());
    ++per_chromosome[c];
    const auto [gc, acgt] = naive_counts(genome.chromosomes[c], s, s + length);
    ASSERT_EQ(drawn.gc[i], gc);
    ASSERT_EQ(drawn.acgt[i], acgt);
    const bool overlaps = (c == 0 && s < 200 && s + length > 100) || (c == 1 && s < 11 && s + length > 10);
    ASSERT_EQ(drawn.excluded[i] != 0, overlaps) << c << " " << s;
  }
  // Starts are uniform over the 951 + 81 + 15 places a region fits; none on the 3-base chromosome.
  EXPECT_NEAR(per_chromosome[0], 5000.0 * 951 / 1047, 120);
  EXPECT_NEAR(per_chromosome[2], 5000.0 * 15 / 1047, 40);
  EXPECT_EQ(per_chromosome[3], 0);
  EXPECT_TRUE(genome.composition.draw(2000, 10, random).start.empty());
}

TEST(GenomeComposition, ARegionAsLongAsItsChromosomeHasOneStart) {
  GenomeComposition composition;
  composition.add_chromosome();
  composition.append("ACGTACGTAC");
  RandomStream random(4);
  const DrawnRegions drawn = composition.draw(10, 5, random);
  EXPECT_EQ(drawn.start, std::vector<std::uint64_t>(5, 0));
  EXPECT_EQ(drawn.gc, std::vector<std::uint32_t>(5, 5));
  EXPECT_TRUE(composition.draw(11, 5, random).start.empty());
  EXPECT_TRUE(composition.draw(0, 5, random).start.empty());
  // Regions of one base: every base is a start.
  const DrawnRegions single = composition.draw(1, 200, random);
  ASSERT_EQ(single.start.size(), 200u);
  EXPECT_EQ(*std::max_element(single.start.begin(), single.start.end()), 9u);
}

TEST(ScannableRuns, CountsRunsBetweenOtherLettersAndMaskedOnes) {
  RunLengthHistogram histogram;
  add_run_lengths("ACGTNacgNNT", false, histogram);
  EXPECT_EQ(histogram, (RunLengthHistogram{{4, 1}, {3, 1}, {1, 1}}));
  histogram.clear();
  add_run_lengths("ACGTNacgNNT", true, histogram);
  EXPECT_EQ(histogram, (RunLengthHistogram{{4, 1}, {1, 1}}));
  histogram.clear();
  add_run_lengths("ANCGNNtRA", false, histogram);  // runs of one letter end too
  EXPECT_EQ(histogram, (RunLengthHistogram{{1, 3}, {2, 1}}));
}

}  // namespace
}  // namespace vok::sequence
