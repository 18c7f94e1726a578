#include "engine/evaluation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <variant>

#include "evaluation_on_pool.hpp"
#include "scoring/internal_failure.hpp"
#include "scoring/site_scan.hpp"
#include "worker_pool.hpp"

namespace {

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

bool same_hits(const std::vector<vok::Hit>& a, const std::vector<vok::Hit>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.pos == y.pos && x.matrix == y.matrix && x.sequence == y.sequence &&
           x.forward == y.forward && std::bit_cast<std::uint32_t>(x.css) ==
           std::bit_cast<std::uint32_t>(y.css) && std::bit_cast<std::uint32_t>(x.mss) ==
           std::bit_cast<std::uint32_t>(y.mss);
  });
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
  // Every core word passes css 0: the run takes long enough for two checks.
  state.defaults = {0.0f, 0.8f};
  int checks = 0;
  EXPECT_THROW(vok::evaluate(state, [&] { return ++checks >= 2; }), vok::EvaluationInterrupted);
  EXPECT_EQ(checks, 2);

  state.matrices.resize(2);
  state.sequences.resize(1);
  state.defaults = {0.0f, 0.0f};
  EXPECT_EQ(evaluate(state).size() % 2, 0u);
  EXPECT_GE(evaluate(state).size(), 2 * 2 * (250'000 - 12 + 1));
}

// The hits in result order as the one-model scan finds them, matrix by matrix.
std::vector<vok::Hit> one_model_hits(const vok::CalculatorState& state) {
  std::vector<vok::Hit> hits;
  for (std::uint32_t k = 0; k < state.matrices.size(); ++k) {
    const auto entry = state.profiles.find(state.matrices[k].name);
    auto built = vok::build_scoring_matrix(
        state.matrices[k], entry != state.profiles.end() ? entry->second : state.defaults);
    const auto* model = std::get_if<vok::ScoringMatrix>(&built);
    if (model == nullptr) continue;
    for (const bool forward : {true, false}) {
      for (std::uint32_t s = 0; s < state.sequences.size(); ++s) {
        std::vector<vok::BaseCode> bases = state.sequences[s].bases;
        if (!forward) std::reverse(bases.begin(), bases.end());
        std::vector<vok::SiteMatch> sites;
        vok::scan_sites(*model, bases, sites);
        for (const auto& site : sites) {
          hits.push_back({forward ? site.pos : bases.size() - site.pos - 5, k, s, site.css, site.mss, forward});
        }
      }
    }
  }
  return hits;
}

// Records long enough to be cut into several pieces, many matrices (the
// shared index) and few (per-model searches), css cut-offs and mss-only ones.
TEST(Evaluate, SameHitsAsTheOneModelScanInResultOrder) {
  std::mt19937 generator(31);
  std::uniform_int_distribution<std::size_t> length(5, 30);
  for (const std::size_t matrices : {3u, 40u}) {
    vok::CalculatorState state;
    for (std::size_t i = 0; i < matrices; ++i) {
      state.matrices.push_back(random_matrix(numbered('m', i), length(generator), generator));
    }
    for (const std::size_t n : {70'000u, 7u, 150'001u}) {
      state.sequences.push_back(random_sequence(numbered('s', n), n, generator));
    }
    state.defaults = {0.85f, 0.7f};
    state.profiles["m1"] = {0.0f, 0.9f};
    state.profiles["m2"] = {0.5f, 0.8f};
    const auto expected = one_model_hits(state);
    ASSERT_GT(expected.size(), 100u);
    for (const std::size_t threads : {1u, 2u}) {
      vok::WorkerPool pool(threads);
      EXPECT_TRUE(same_hits(vok::evaluate_on_pool(pool, state, nullptr).to_vector(), expected))
          << matrices << " matrices, " << threads << " threads";
    }
  }
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

  // The order and the scores themselves are checked end to end through the module.
  vok::WorkerPool single(1);
  const auto expected = vok::evaluate_on_pool(single, state, nullptr).to_vector();
  ASSERT_GT(expected.size(), 1000u);
  EXPECT_TRUE(same_hits(evaluate(state), expected));
  for (const std::size_t threads : {2u, 3u, 8u}) {
    vok::WorkerPool pool(threads);
    EXPECT_TRUE(same_hits(vok::evaluate_on_pool(pool, state, nullptr).to_vector(), expected)) << threads;
  }
}

}  // namespace
