#include "engine/evaluation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>

#include "evaluation_on_pool.hpp"
#include "scoring/internal_failure.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/site_scan.hpp"
#include "worker_pool.hpp"

namespace {

vok::BaseCode code_of(char letter) {
  return static_cast<vok::BaseCode>(std::string_view("ACGT").find(letter));
}

vok::BaseSequence sequence(std::string name, std::string_view letters) {
  vok::BaseSequence result{std::move(name), {}};
  for (const char letter : letters) result.bases.push_back(code_of(letter));
  return result;
}

// Counts of 10 for the word's base at every position, 0 elsewhere.
vok::PwmMatrix consensus(std::string name, std::string_view word) {
  vok::PwmMatrix matrix(std::move(name), word.size());
  for (std::size_t i = 0; i < word.size(); ++i) matrix.at(i, code_of(word[i])) = 10.0f;
  return matrix;
}

vok::PwmMatrix random_matrix(std::string name, std::size_t length, std::mt19937& generator) {
  vok::PwmMatrix matrix(std::move(name), length);
  std::uniform_int_distribution<int> count(0, 20);
  for (float& value : matrix.values) value = static_cast<float>(count(generator));
  return matrix;
}

vok::BaseSequence random_sequence(std::string name, std::size_t length, std::mt19937& generator) {
  vok::BaseSequence result{std::move(name), std::vector<vok::BaseCode>(length)};
  std::uniform_int_distribution<int> base(0, 3);
  for (auto& code : result.bases) code = static_cast<vok::BaseCode>(base(generator));
  return result;
}

std::string numbered(char prefix, std::size_t number) {
  std::string name(1, prefix);
  name += std::to_string(number);
  return name;
}

std::vector<vok::Hit> evaluate(const vok::CalculatorState& state) {
  return vok::evaluate(state, [] { return false; }).to_vector();
}

// Position, strand and indices of a hit, for compact expectations.
using Site = std::tuple<std::uint64_t, bool, std::uint32_t, std::uint32_t>;
std::vector<Site> sites_of(const std::vector<vok::Hit>& hits) {
  std::vector<Site> sites;
  for (const auto& hit : hits) sites.emplace_back(hit.pos, hit.forward, hit.matrix, hit.sequence);
  return sites;
}

bool same_hits(const std::vector<vok::Hit>& a, const std::vector<vok::Hit>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.pos == y.pos && x.matrix == y.matrix && x.sequence == y.sequence &&
           x.forward == y.forward && std::bit_cast<std::uint32_t>(x.css) ==
           std::bit_cast<std::uint32_t>(y.css) && std::bit_cast<std::uint32_t>(x.mss) ==
           std::bit_cast<std::uint32_t>(y.mss);
  });
}

TEST(Evaluate, NothingToPairGivesNoHits) {
  vok::CalculatorState state;
  EXPECT_TRUE(evaluate(state).empty());
  state.sequences.push_back(sequence("s", "ACGTACGTAC"));
  EXPECT_TRUE(evaluate(state).empty());
  state.sequences.clear();
  state.matrices.push_back(consensus("m", "ACGTA"));
  state.matrices.push_back(vok::PwmMatrix("uniform", 6));  // would fail if it were scanned
  EXPECT_TRUE(evaluate(state).empty());
}

TEST(Evaluate, ReverseSitesAreReportedAtTheirForwardPosition) {
  vok::CalculatorState state;
  state.matrices.push_back(consensus("C5", "CCCCC"));
  state.sequences.push_back(sequence("s", "AAAAACCCCC"));
  state.defaults = {1.0f, 1.0f};  // only the consensus word reaches 1
  // Forward: CCCCC at index 5. Reverse record CCCCCAAAAA: at p = 0, which is
  // forward index 10 - 0 - 5 = 5.
  EXPECT_EQ(sites_of(evaluate(state)), (std::vector<Site>{{5, true, 0, 0}, {5, false, 0, 0}}));
}

TEST(Evaluate, WordReadingTheSameBackwardsIsFoundOnBothRecords) {
  vok::CalculatorState state;
  state.matrices.push_back(consensus("pal", "ACGCA"));
  state.sequences.push_back(sequence("s", "ACGCA"));
  state.defaults = {1.0f, 1.0f};
  const auto hits = evaluate(state);
  EXPECT_EQ(sites_of(hits), (std::vector<Site>{{0, true, 0, 0}, {0, false, 0, 0}}));
  for (const auto& hit : hits) {
    EXPECT_EQ(hit.css, 1.0f);
    EXPECT_EQ(hit.mss, 1.0f);
  }
}

TEST(Evaluate, GroupsComeInMatrixThenStrandThenSequenceOrder) {
  std::mt19937 generator(7);
  vok::CalculatorState state;
  state.matrices.push_back(random_matrix("M1", 6, generator));
  state.matrices.push_back(random_matrix("M2", 9, generator));
  state.sequences.push_back(random_sequence("S1", 40, generator));
  state.sequences.push_back(random_sequence("S2", 25, generator));
  const auto hits = evaluate(state);  // zero thresholds: every group has hits

  std::vector<std::tuple<std::uint32_t, bool, std::uint32_t>> groups;
  for (const auto& hit : hits) {
    const auto group = std::make_tuple(hit.matrix, hit.forward, hit.sequence);
    if (groups.empty() || groups.back() != group) groups.push_back(group);
  }
  const std::vector<std::tuple<std::uint32_t, bool, std::uint32_t>> expected = {
      {0, true, 0}, {0, true, 1}, {0, false, 0}, {0, false, 1},
      {1, true, 0}, {1, true, 1}, {1, false, 0}, {1, false, 1}};
  EXPECT_EQ(groups, expected);
  // Scan order: forward positions ascend, reverse positions descend.
  for (std::size_t i = 1; i < hits.size(); ++i) {
    const auto& a = hits[i - 1];
    const auto& b = hits[i];
    if (a.matrix != b.matrix || a.forward != b.forward || a.sequence != b.sequence) continue;
    if (a.forward) {
      EXPECT_LT(a.pos, b.pos);
    } else {
      EXPECT_GT(a.pos, b.pos);
    }
  }
}

TEST(Evaluate, ZeroThresholdsReportEveryFullWindowOnBothStrands) {
  std::mt19937 generator(11);
  for (const std::size_t length : {5u, 8u, 13u}) {
    vok::CalculatorState state;
    state.matrices.push_back(random_matrix("m", length, generator));
    state.sequences.push_back(random_sequence("s", 60, generator));
    const auto hits = evaluate(state);
    const std::size_t windows = 60 - length + 1;
    EXPECT_GE(hits.size(), 2 * windows) << length;
    // At most the cut-short windows come on top (fewer than five per strand).
    EXPECT_LE(hits.size(), 2 * (windows + 4)) << length;
    for (const auto& hit : hits) EXPECT_LE(hit.pos + 5, 60u);
  }
}

TEST(Evaluate, ProfileEntryReplacesBothDefaultsForItsMatrixOnly) {
  vok::CalculatorState state;
  state.matrices.push_back(consensus("M1", "ACGTAC"));
  state.matrices.push_back(consensus("M2", "ACGTAC"));
  state.sequences.push_back(sequence("s", "TTACGTACTT"));
  state.defaults = {1.5f, 0.0f};  // nothing reaches a css of 1.5
  EXPECT_TRUE(evaluate(state).empty());

  state.profiles["M1"] = {0.0f, 0.0f};
  const auto hits = evaluate(state);
  ASSERT_FALSE(hits.empty());
  EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](const auto& h) { return h.matrix == 0; }));

  // Letter case matters; an entry naming no matrix changes nothing.
  state.profiles.clear();
  state.profiles["m1"] = {0.0f, 0.0f};
  state.profiles["M3"] = {0.0f, 0.0f};
  EXPECT_TRUE(evaluate(state).empty());

  // The pair is taken whole: the entry's mss cut-off applies even though the
  // default one would let everything pass.
  state.profiles.clear();
  state.defaults = {0.0f, 0.0f};
  state.profiles["M1"] = {0.0f, 1.5f};
  const auto only_m2 = evaluate(state);
  ASSERT_FALSE(only_m2.empty());
  EXPECT_TRUE(std::all_of(only_m2.begin(), only_m2.end(),
                          [](const auto& h) { return h.matrix == 1; }));
}

TEST(Evaluate, DuplicateMatrixGivesTwoCompleteGroups) {
  std::mt19937 generator(3);
  vok::CalculatorState state;
  state.matrices.push_back(random_matrix("dup", 7, generator));
  state.matrices.push_back(state.matrices.front());
  state.sequences.push_back(random_sequence("s", 50, generator));
  state.defaults = {0.5f, 0.5f};
  const auto hits = evaluate(state);
  ASSERT_EQ(hits.size() % 2, 0u);
  ASSERT_FALSE(hits.empty());
  const std::size_t half = hits.size() / 2;
  for (std::size_t i = 0; i < half; ++i) {
    EXPECT_EQ(hits[i].matrix, 0u);
    EXPECT_EQ(hits[half + i].matrix, 1u);
    EXPECT_EQ(hits[i].pos, hits[half + i].pos);
    EXPECT_EQ(hits[i].forward, hits[half + i].forward);
    EXPECT_EQ(hits[i].css, hits[half + i].css);
  }
}

TEST(Evaluate, MatricesShorterThanFivePositionsDropOutSilently) {
  vok::CalculatorState state;
  state.matrices.push_back(consensus("four", "ACGT"));
  state.matrices.push_back(vok::PwmMatrix("empty", 0));
  state.matrices.push_back(consensus("five", "ACGTA"));
  state.sequences.push_back(sequence("s", "ACGTACGTA"));
  state.defaults = {1.0f, 1.0f};
  const auto hits = evaluate(state);
  ASSERT_FALSE(hits.empty());
  EXPECT_TRUE(std::all_of(hits.begin(), hits.end(), [](const auto& h) { return h.matrix == 2; }));
}

TEST(Evaluate, NanInAModelFailsTheWholeCallAndThePoolStaysUsable) {
  std::mt19937 generator(5);
  vok::CalculatorState state;
  for (int i = 0; i < 6; ++i) state.matrices.push_back(random_matrix("good", 8, generator));
  state.matrices.insert(state.matrices.begin() + 3, vok::PwmMatrix("uniform", 8));  // all zero
  state.sequences.push_back(random_sequence("s", 500, generator));
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      evaluate(state);
      FAIL() << "no failure";
    } catch (const vok::InternalFailure& failure) {
      EXPECT_STREQ(failure.what(), "Division resulted in NaN");
    }
  }
  state.matrices.erase(state.matrices.begin() + 3);
  EXPECT_FALSE(evaluate(state).empty());
}

TEST(Evaluate, InterruptionStopsTheRunAndThePoolStaysUsable) {
  std::mt19937 generator(9);
  vok::CalculatorState state;
  for (int i = 0; i < 200; ++i) state.matrices.push_back(random_matrix("m", 12, generator));
  for (int i = 0; i < 4; ++i) state.sequences.push_back(random_sequence("s", 250'000, generator));
  state.defaults = {1.0f, 1.0f};
  int checks = 0;
  EXPECT_THROW(vok::evaluate(state, [&] { return ++checks >= 2; }), vok::EvaluationInterrupted);
  EXPECT_EQ(checks, 2);

  state.matrices.resize(2);
  state.sequences.resize(1);
  state.defaults = {0.0f, 0.0f};
  EXPECT_EQ(evaluate(state).size() % 2, 0u);
  EXPECT_GE(evaluate(state).size(), 2 * 2 * (250'000 - 12 + 1));
}

// Straightforward sequential evaluation, for comparison with the pool's.
std::vector<vok::Hit> sequential_evaluation(const vok::CalculatorState& state) {
  std::vector<vok::Hit> hits;
  for (std::uint32_t m = 0; m < state.matrices.size(); ++m) {
    const auto& matrix = state.matrices[m];
    const auto entry = state.profiles.find(matrix.name);
    auto built = vok::build_scoring_matrix(
        matrix, entry == state.profiles.end() ? state.defaults : entry->second);
    if (std::holds_alternative<vok::MatrixToShort>(built)) continue;
    const auto& model = std::get<vok::ScoringMatrix>(built);
    for (const bool forward : {true, false}) {
      for (std::uint32_t s = 0; s < state.sequences.size(); ++s) {
        auto bases = state.sequences[s].bases;
        if (!forward) std::reverse(bases.begin(), bases.end());
        std::vector<vok::SiteMatch> sites;
        vok::scan_sites(model, bases, sites);
        for (const auto& site : sites) {
          const std::uint64_t pos = forward ? site.pos : bases.size() - site.pos - 5;
          hits.push_back({pos, m, s, site.css, site.mss, forward});
        }
      }
    }
  }
  return hits;
}

TEST(Evaluate, ResultIsTheSameForEveryPoolSize) {
  const std::uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 generator(seed);
  vok::CalculatorState state;
  std::uniform_int_distribution<std::size_t> length(3, 22);
  for (int i = 0; i < 40; ++i) {
    state.matrices.push_back(random_matrix(numbered('m', i % 25), length(generator), generator));
  }
  for (const std::size_t n : {0u, 3u, 5u, 17u, 900u, 2500u}) {
    state.sequences.push_back(random_sequence(numbered('s', n), n, generator));
  }
  state.defaults = {0.7f, 0.6f};
  state.profiles["m3"] = {0.0f, 0.0f};
  state.profiles["m4"] = {0.9f, 0.95f};

  const auto expected = sequential_evaluation(state);
  ASSERT_GT(expected.size(), 1000u);
  EXPECT_TRUE(same_hits(evaluate(state), expected));
  for (const std::size_t threads : {1u, 2u, 3u, 8u}) {
    vok::WorkerPool pool(threads);
    EXPECT_TRUE(same_hits(vok::evaluate_on_pool(pool, state, nullptr).to_vector(), expected)) << threads;
  }
}

}  // namespace
