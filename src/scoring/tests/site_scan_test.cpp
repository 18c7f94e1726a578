#include "scoring/site_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "reference_model.hpp"
#include "scoring/internal_failure.hpp"

namespace vok::test {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr Thresholds kAcceptAll{-kInf, -kInf};

std::vector<BaseCode> random_bases(std::mt19937& rng, std::size_t n) {
  std::vector<BaseCode> bases(n);
  for (auto& base : bases) base = static_cast<BaseCode>(rng() & 3);
  return bases;
}

// A built model of L rows whose core starts at m: rows m..m+4 are strongly
// conserved, every other row carries a little information.
ScoringMatrix model_with_core(std::size_t length, std::size_t core_start, Thresholds thresholds,
                              std::mt19937& rng) {
  PwmMatrix matrix("M", length);
  std::uniform_int_distribution<int> weak(3, 5), base(0, 3);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = static_cast<float>(weak(rng));
    if (i >= core_start && i < core_start + 5) matrix.at(i, base(rng)) = 40.0f;
  }
  auto built = build_scoring_matrix(std::move(matrix), thresholds);
  ScoringMatrix model = std::get<ScoringMatrix>(std::move(built));
  EXPECT_EQ(model.core_start, core_start);
  return model;
}

std::vector<std::uint64_t> positions(const std::vector<SiteMatch>& sites) {
  std::vector<std::uint64_t> out;
  for (const auto& site : sites) out.push_back(site.pos);
  return out;
}

std::vector<SiteMatch> scan(const ScoringMatrix& model, const std::vector<BaseCode>& bases) {
  std::vector<SiteMatch> sites;
  scan_sites(model, bases, sites);
  return sites;
}

void expect_same_sites(const std::vector<SiteMatch>& got, const std::vector<SiteMatch>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].pos, want[k].pos);
    EXPECT_EQ(bits(got[k].css), bits(want[k].css)) << "pos " << got[k].pos;
    EXPECT_EQ(bits(got[k].mss), bits(want[k].mss)) << "pos " << got[k].pos;
  }
}

struct RangeCase {
  std::size_t n, length, core_start;  // record length, L, m
  std::uint64_t first, last;          // expected candidates first..last; first > last: none
};

void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << "n " << c.n << ", L " << c.length << ", m " << c.core_start;
}

class CandidateRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(CandidateRange, EveryCandidateAndNoOther) {
  const RangeCase c = GetParam();
  std::mt19937 rng(static_cast<unsigned>(c.n * 100 + c.length));
  const ScoringMatrix model = model_with_core(c.length, c.core_start, kAcceptAll, rng);
  std::vector<std::uint64_t> expected;
  for (std::uint64_t p = c.first; p <= c.last; ++p) expected.push_back(p);
  EXPECT_EQ(positions(scan(model, random_bases(rng, c.n))), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, CandidateRange,
    ::testing::Values(RangeCase{20, 8, 2, 2, 15},   // end of record stops first
                      RangeCase{20, 12, 0, 0, 12},  // K = 13 stops first
                      RangeCase{12, 8, 3, 3, 7}, RangeCase{9, 8, 3, 3, 4},
                      RangeCase{4, 5, 0, 1, 0},   // fewer than five bases
                      RangeCase{3, 8, 2, 1, 0},   // n = L - 5: K = 0
                      RangeCase{7, 12, 0, 1, 0},  // n + 5 = L: K = 0
                      RangeCase{6, 8, 0, 0, 1},   // shorter than L, windows cut short
                      RangeCase{6, 12, 0, 0, 1},  // n + 5 < L: K wraps, p = m .. n-5
                      RangeCase{8, 14, 2, 2, 3}, RangeCase{8, 14, 4, 1, 0},
                      RangeCase{0, 5, 0, 1, 0}));

// Also scans each record in random consecutive candidate ranges, as long
// records are scanned, which must give exactly the sites of one whole scan.
TEST(ScanSites, MatchesReferenceBitForBitWholeAndInPieces) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> count(0, 25);
  const Thresholds thresholds[] = {{0, 0}, {0.6f, 0.5f}, {0.85f, 0.8f}, kAcceptAll, {1, 1}};
  for (int trial = 0; trial < 150; ++trial) {
    PwmMatrix matrix("M", 5 + trial % 22);
    for (float& x : matrix.values) x = static_cast<float>(count(rng));
    const ScoringMatrix model =
        std::get<ScoringMatrix>(build_scoring_matrix(std::move(matrix), thresholds[trial % 5]));
    const SiteScanner scanner(model);
    for (std::size_t n : {0u, 4u, 5u, 9u, 17u, 31u, 400u}) {
      SCOPED_TRACE("trial " + std::to_string(trial) + ", n " + std::to_string(n));
      const auto bases = random_bases(rng, n);
      std::vector<SiteMatch> sites, pieces;
      scanner.scan(bases, sites);
      expect_same_sites(sites, reference_scan(model, bases));
      const std::uint64_t candidates = scanner.candidate_count(n);
      for (std::uint64_t first = 0, end = 0; first < candidates; first = end) {
        end = std::min<std::uint64_t>(candidates, first + 1 + rng() % 7);
        scanner.scan_candidates(bases, first, end, pieces);
      }
      expect_same_sites(pieces, sites);
    }
  }
}

TEST(ScanSites, ScoresEqualToTheThresholdsPass) {
  std::mt19937 rng(5);
  ScoringMatrix model = model_with_core(9, 1, {0, 0}, rng);
  const auto bases = random_bases(rng, 60);
  const auto all = scan(model, bases);
  ASSERT_GT(all.size(), 10u);
  for (std::size_t k = 0; k < all.size(); k += 5) {
    const SiteMatch site = all[k];
    auto found = [&](Thresholds t) {
      model.thresholds = t;
      for (const auto& s : scan(model, bases))
        if (s.pos == site.pos) return true;
      return false;
    };
    EXPECT_TRUE(found({site.css, site.mss})) << site.pos;
    EXPECT_FALSE(found({std::nextafter(site.css, kInf), site.mss})) << site.pos;
    EXPECT_FALSE(found({site.css, std::nextafter(site.mss, kInf)})) << site.pos;
  }
}

TEST(ScanSites, FiveRowMatrixGivesEqualCssAndMss) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 20; ++trial) {
    const ScoringMatrix model = model_with_core(5, 0, {0, 0}, rng);
    const auto sites = scan(model, random_bases(rng, 500));
    ASSERT_EQ(sites.size(), 496u);
    for (const auto& site : sites) EXPECT_EQ(bits(site.css), bits(site.mss)) << site.pos;
  }
}

// A hand-made model of L rows, core at 0, every core word passing css >= 0:
// for arithmetic the build itself never produces.
ScoringMatrix raw_model(std::size_t length, float frequency) {
  ScoringMatrix model;
  model.length = length;
  model.frequencies.assign(length * 4, frequency);
  model.information.assign(length, 1.0f);
  model.core_scores.fill(1.0f);
  model.max_sum = 2.0f;
  return model;
}

struct ScanNanCase {
  const char* what;     // the model's peculiarity
  ScoringMatrix model;  // hand-made model
  std::size_t n;        // record length
  const char* message;  // expected failure; "" for none
};

void PrintTo(const ScanNanCase& c, std::ostream* os) { *os << c.what; }

class ScanNanFailure : public ::testing::TestWithParam<ScanNanCase> {};

TEST_P(ScanNanFailure, FailsOnlyWhenAScoredWindowMeetsIt) {
  const ScanNanCase& c = GetParam();
  std::string message;
  try {
    scan(c.model, std::vector<BaseCode>(c.n, kBaseG));
  } catch (const InternalFailure& failure) {
    message = failure.what();
  }
  EXPECT_EQ(message, c.message) << c.what;
}

ScoringMatrix with(ScoringMatrix model, auto change) {
  change(model);
  return model;
}

INSTANTIATE_TEST_SUITE_P(
    Models, ScanNanFailure,
    ::testing::Values(
        ScanNanCase{"NaN term", with(raw_model(8, 0.25f), [](auto& m) { m.information[6] = NAN; }),
                    20, "Multiplication resulted in NaN"},
        ScanNanCase{"NaN term past every cut-short window",
                    with(raw_model(8, 0.25f), [](auto& m) { m.information[6] = NAN; }), 6, ""},
        ScanNanCase{"NaN term, no candidate passes the core test",
                    with(raw_model(8, 0.25f),
                         [](auto& m) {
                           m.information[0] = NAN;
                           m.thresholds.css = 2.0f;
                         }),
                    20, ""},
        ScanNanCase{"NaN term after opposite infinities",
                    with(raw_model(6, 1.0f),
                         [](auto& m) {
                           m.information[0] = kInf;
                           m.information[1] = -kInf;
                           m.information[5] = NAN;
                         }),
                    10, "Multiplication resulted in NaN"},
        ScanNanCase{"opposite infinite terms",
                    with(raw_model(6, 1.0f),
                         [](auto& m) {
                           m.information[2] = kInf;
                           m.information[4] = -kInf;
                         }),
                    10, "Sum resulted in NaN"},
        ScanNanCase{"infinite sum minus infinite min_sum",
                    with(raw_model(6, 1.0f),
                         [](auto& m) {
                           m.information[2] = kInf;
                           m.min_sum = kInf;
                         }),
                    10, "Subtraction resulted in NaN"},
        ScanNanCase{"infinite extremes",
                    with(raw_model(6, 1.0f),
                         [](auto& m) {
                           m.max_sum = kInf;
                           m.min_sum = kInf;
                         }),
                    10, "Subtraction resulted in NaN"},
        ScanNanCase{"no information: 0 / 0",
                    with(raw_model(6, 0.25f),
                         [](auto& m) {
                           m.information.assign(6, 0.0f);
                           m.max_sum = 0.0f;
                         }),
                    10, "Division resulted in NaN"}));

}  // namespace
}  // namespace vok::test
