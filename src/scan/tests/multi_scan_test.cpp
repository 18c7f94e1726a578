#include "scan/multi_scan.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <variant>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>

#include "scan_state.hpp"
#include "scoring/internal_failure.hpp"

namespace vok::test {
namespace {

std::vector<ScoringMatrix> random_models(std::mt19937& rng, std::size_t count) {
  std::vector<ScoringMatrix> models;
  std::uniform_int_distribution<int> length(5, 30), count_value(0, 20);
  std::uniform_real_distribution<float> threshold(0.5f, 0.95f);
  while (models.size() < count) {
    PwmMatrix matrix("M", static_cast<std::size_t>(length(rng)));
    for (float& value : matrix.values) value = static_cast<float>(count_value(rng));
    auto built = build_scoring_matrix(std::move(matrix), {threshold(rng), threshold(rng)});
    if (auto* model = std::get_if<ScoringMatrix>(&built)) models.push_back(std::move(*model));
  }
  return models;
}

// Every model's sites, over its whole candidate range and over random
// sub-ranges, are the single-model scan's, bit for bit.
TEST(MultiScan, SameSitesAsOneModelScans) {
  std::mt19937 rng(20261207);
  const auto models = random_models(rng, 40);
  const MultiScanner multi(models);
  for (std::size_t n : {0, 4, 9, 31, 5000}) {
    std::vector<BaseCode> bases(n);
    for (auto& base : bases) base = static_cast<BaseCode>(rng() & 3);
    std::vector<CandidateRange> ranges(models.size());
    for (std::size_t k = 0; k < models.size(); ++k) {
      const std::uint64_t count = multi.scanner(k).candidate_count(n);
      const std::uint64_t first = count == 0 ? 0 : rng() % count;
      ranges[k] = {first, first + (count == 0 ? 0 : rng() % (count - first + 1))};
    }
    std::vector<std::vector<SiteMatch>> got(models.size());
    multi.scan(bases, ranges, got);
    for (std::size_t k = 0; k < models.size(); ++k) {
      std::vector<SiteMatch> want;
      SiteScanner(models[k]).scan_candidates(bases, ranges[k].first, ranges[k].end, want);
      ASSERT_EQ(got[k].size(), want.size()) << "model " << k << " n " << n;
      for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[k][i].pos, want[i].pos);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[k][i].css), std::bit_cast<std::uint32_t>(want[i].css));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[k][i].mss), std::bit_cast<std::uint32_t>(want[i].mss));
      }
    }
  }
}

}  // namespace
}  // namespace vok::test

namespace vok::test {
namespace {

// How the thresholds of a case's models are chosen.
enum class Cutoffs {
  kSelective,  // css passed by a few words, mss in the upper range
  kMssOnly,    // css 0 (every word), mss high: the bound alone prunes
  kAtScores,   // thresholds equal to attained css and mss values
  kZero,       // both 0: nearly every candidate is a site
  kExtremes,   // at and beyond the ends of the score range, infinities included
  kMixed,      // kSelective and kMssOnly in turn
};

struct Case {
  const char* name;         // shown on failure
  std::uint32_t seed;       // generator seed
  std::size_t models;       // models scanned together (8 and more: the index path)
  std::size_t length;       // bases in the record
  Cutoffs cutoffs;          // threshold rule
  bool sub_ranges;          // random candidate sub-ranges instead of whole ranges
  std::size_t shortest = 5; // matrix lengths cycle from here over 26 lengths
  detail::FilterUse filter = detail::FilterUse::kAuto;  // which models use the deficit filter
  bool tied_rows = false;   // a third of the rows with four equal counts
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Matrix lengths cycle through 5..30 (by default) so every length occurs.
std::vector<ScoringMatrix> models_for(const Case& c, std::mt19937& rng,
                                      const std::vector<BaseCode>& bases) {
  std::vector<ScoringMatrix> models;
  std::uniform_int_distribution<int> count_value(0, 20);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (std::size_t k = 0; models.size() < c.models; ++k) {
    PwmMatrix matrix("M", c.shortest + (c.seed + k) % 26);
    for (float& value : matrix.values) value = static_cast<float>(count_value(rng));
    for (std::size_t i = 0; c.tied_rows && i < matrix.length; ++i) {
      if (rng() % 3 == 0) {
        for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = 7.0f;
      }
    }
    auto built = build_scoring_matrix(std::move(matrix), {});
    auto* model = std::get_if<ScoringMatrix>(&built);
    if (model == nullptr) continue;
    std::vector<float> css(model->core_scores.begin(), model->core_scores.end());
    std::sort(css.begin(), css.end());
    Cutoffs cutoffs = c.cutoffs;
    if (cutoffs == Cutoffs::kMixed) cutoffs = k % 2 == 0 ? Cutoffs::kSelective : Cutoffs::kMssOnly;
    switch (cutoffs) {
      case Cutoffs::kSelective:
        model->thresholds = {css[1024 - 1 - rng() % 8], 0.6f + 0.35f * unit(rng)};
        break;
      case Cutoffs::kMssOnly:
        model->thresholds = {0.0f, 0.75f + 0.2f * unit(rng)};
        break;
      case Cutoffs::kAtScores: {
        // An mss some window attains, so equality at the threshold is met.
        std::vector<SiteMatch> all;
        SiteScanner(*model).scan(bases, all);
        const float mss = all.empty() ? 0.5f : all[rng() % all.size()].mss;
        model->thresholds = {css[rng() % 1024], std::max(mss, all.empty() ? 0.5f : mss)};
        if (!all.empty() && rng() % 2) {
          model->thresholds = {all[rng() % all.size()].css, all[rng() % all.size()].mss};
        }
        break;
      }
      case Cutoffs::kZero:
        model->thresholds = {0.0f, 0.0f};
        break;
      case Cutoffs::kExtremes: {
        const float values[] = {-INFINITY, -0.5f, 0.0f, 1.0f, 1.0001f, INFINITY};
        model->thresholds = {values[rng() % 6], values[rng() % 6]};
        break;
      }
      case Cutoffs::kMixed:
        break;
    }
    models.push_back(std::move(*model));
  }
  return models;
}

void expect_same_sites(const std::vector<SiteMatch>& got, const std::vector<SiteMatch>& want,
                       const std::string& where) {
  ASSERT_EQ(got.size(), want.size()) << where;
  for (std::size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(got[i].pos, want[i].pos) << where << " site " << i;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].css), std::bit_cast<std::uint32_t>(want[i].css)) << where;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i].mss), std::bit_cast<std::uint32_t>(want[i].mss)) << where;
  }
}

class AgainstSiteScan : public ::testing::TestWithParam<std::tuple<Case, SumKernel>> {
 protected:
  void SetUp() override { detail::force_filter_use(std::get<0>(GetParam()).filter); }
  void TearDown() override {
    force_sum_kernel(SumKernel::kAuto);
    detail::force_filter_use(detail::FilterUse::kAuto);
  }
};

TEST_P(AgainstSiteScan, SameSitesBitForBit) {
  const auto& [c, kernel] = GetParam();
  if (force_sum_kernel(kernel) != kernel) GTEST_SKIP() << "no AVX2 on this CPU";
  std::mt19937 rng(c.seed);
  std::vector<BaseCode> bases(c.length);
  for (auto& base : bases) base = static_cast<BaseCode>(rng() & 3);
  const auto models = models_for(c, rng, bases);
  const MultiScanner multi(models);
  ScanScratch scratch;
  // Twice with one scratch: the second scan reuses the pass tables.
  for (int round = 0; round < 2; ++round) {
    std::vector<CandidateRange> ranges(models.size());
    for (std::size_t k = 0; k < models.size(); ++k) {
      const std::uint64_t count = multi.scanner(k).candidate_count(bases.size());
      ranges[k] = {0, count};
      if (c.sub_ranges && count > 0) {
        const std::uint64_t first = rng() % count;
        ranges[k] = {first, first + rng() % (count - first + 1)};
      }
    }
    std::vector<std::vector<SiteMatch>> got(models.size());
    multi.scan(bases, ranges, got, scratch);
    for (std::size_t k = 0; k < models.size(); ++k) {
      std::vector<SiteMatch> want;
      multi.scanner(k).scan_candidates(bases, ranges[k].first, ranges[k].end, want);
      expect_same_sites(got[k], want,
                        std::string(c.name) + " model " + std::to_string(k) + " L " +
                            std::to_string(models[k].length) + " round " + std::to_string(round));
      if (HasFatalFailure()) return;
    }
  }
}

// Random candidate ranges of every model over a record of n bases.
std::vector<CandidateRange> ranges_for(const MultiScanner& multi, std::uint64_t n, bool sub_ranges,
                                       std::mt19937& rng) {
  std::vector<CandidateRange> ranges(multi.size());
  for (std::size_t k = 0; k < multi.size(); ++k) {
    const std::uint64_t count = multi.scanner(k).candidate_count(n);
    ranges[k] = {0, count};
    if (sub_ranges && count > 0) {
      const std::uint64_t first = rng() % count;
      ranges[k] = {first, first + rng() % (count - first + 1)};
    }
  }
  return ranges;
}

// Both strands from one pass: each strand's sites are its own scan's. Even
// seeds reverse, odd ones reverse-complement; the second round scans only a
// stretch of the other strand (its mirror is then not the record's end).
TEST_P(AgainstSiteScan, BothStrandsBitForBit) {
  const auto& [c, kernel] = GetParam();
  if (force_sum_kernel(kernel) != kernel) GTEST_SKIP() << "no AVX2 on this CPU";
  std::mt19937 rng(c.seed + 1000);
  std::vector<BaseCode> bases(c.length);
  for (auto& base : bases) base = static_cast<BaseCode>(rng() & 3);
  const auto models = models_for(c, rng, bases);
  const MultiScanner multi(models);
  const OtherStrand kind = c.seed % 2 == 0 ? OtherStrand::kReversed : OtherStrand::kReverseComplement;
  const std::size_t n = bases.size();
  std::vector<BaseCode> whole_other(n);
  for (std::size_t i = 0; i < n; ++i) {
    whole_other[i] = static_cast<BaseCode>(bases[n - 1 - i] ^ (kind == OtherStrand::kReversed ? 0 : 3));
  }
  ScanScratch scratch;
  for (int round = 0; round < 2; ++round) {
    const std::size_t skip = round == 0 || n == 0 ? 0 : rng() % (n / 3 + 1);
    const std::span<const BaseCode> other = std::span<const BaseCode>(whole_other).subspan(skip);
    const auto forward_ranges = ranges_for(multi, n, c.sub_ranges, rng);
    const auto other_ranges = ranges_for(multi, other.size(), c.sub_ranges || round == 1, rng);
    std::vector<std::vector<SiteMatch>> got_forward(models.size()), got_other(models.size());
    multi.scan_strands(bases, other, kind, n == 0 ? 0 : n - 1 - skip, forward_ranges, other_ranges,
                       got_forward, got_other, scratch);
    for (std::size_t k = 0; k < models.size(); ++k) {
      const std::string where = std::string(c.name) + " model " + std::to_string(k) + " round " +
                                std::to_string(round);
      std::vector<SiteMatch> want;
      multi.scanner(k).scan_candidates(bases, forward_ranges[k].first, forward_ranges[k].end, want);
      expect_same_sites(got_forward[k], want, where + " forward");
      want.clear();
      multi.scanner(k).scan_candidates(other, other_ranges[k].first, other_ranges[k].end, want);
      expect_same_sites(got_other[k], want, where + " other");
      if (HasFatalFailure()) return;
    }
  }
}

// Blocks hold 32768 core positions: 70001 bases cross two block boundaries.
const Case kCases[] = {
    {"tiny records", 1, 30, 9, Cutoffs::kZero, false},
    {"record shorter than most matrices", 2, 26, 23, Cutoffs::kZero, false},
    {"one model selective", 3, 1, 70001, Cutoffs::kSelective, false},
    {"seven models sharing one word search", 4, 7, 40000, Cutoffs::kSelective, true},
    {"eight models sharing one word search", 5, 8, 40000, Cutoffs::kSelective, true},
    {"all lengths selective", 6, 52, 70001, Cutoffs::kSelective, false},
    {"all lengths sub-ranges", 7, 52, 70001, Cutoffs::kSelective, true},
    {"mss only, one model", 8, 1, 70001, Cutoffs::kMssOnly, false},
    {"mss only, many models", 9, 40, 70001, Cutoffs::kMssOnly, true},
    {"thresholds at attained scores", 10, 26, 3000, Cutoffs::kAtScores, false},
    {"thresholds at attained scores, one model", 11, 1, 3000, Cutoffs::kAtScores, true},
    {"zero thresholds across blocks", 12, 9, 70001, Cutoffs::kZero, true},
    {"thresholds at the ends of the range", 16, 40, 20000, Cutoffs::kExtremes, true},
    {"windows over 32 rows", 14, 12, 3000, Cutoffs::kZero, true, 27},
    {"windows over 32 rows selective", 15, 30, 70001, Cutoffs::kSelective, false, 27},
    {"mss only and selective together", 17, 40, 70001, Cutoffs::kMixed, true},
    {"filter, mss only, one model", 21, 1, 70001, Cutoffs::kMssOnly, false, 5, detail::FilterUse::kAlways},
    {"filter, mss only, many models", 22, 40, 70001, Cutoffs::kMssOnly, true, 5, detail::FilterUse::kAlways},
    {"filter, tied rows", 23, 30, 40000, Cutoffs::kMssOnly, true, 5, detail::FilterUse::kAlways, true},
    {"filter, thresholds at attained scores", 24, 26, 3000, Cutoffs::kAtScores, false, 5,
     detail::FilterUse::kAlways, true},
    {"filter, thresholds at the ends of the range", 25, 40, 20000, Cutoffs::kExtremes, true, 5,
     detail::FilterUse::kAlways},
    {"filter, more rows than pairs", 26, 12, 20000, Cutoffs::kMssOnly, true, 20, detail::FilterUse::kAlways},
    {"filter, selective", 27, 20, 40000, Cutoffs::kSelective, true, 5, detail::FilterUse::kAlways},
    {"filter and words mixed", 28, 40, 70001, Cutoffs::kMixed, true, 5, detail::FilterUse::kAlways},
};

INSTANTIATE_TEST_SUITE_P(Cases, AgainstSiteScan,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(SumKernel::kScalar, SumKernel::kAvx2)),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param).name;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name + (std::get<1>(info.param) == SumKernel::kAvx2 ? "_avx2" : "_scalar");
                         });

// A model whose terms include a NaN cannot take the batched path; it fails
// with the site scan's message, whatever the other models do.
TEST(MultiScan, NanTermsFailAsTheSiteScanFails) {
  std::mt19937 rng(77);
  std::vector<BaseCode> bases(5000);
  for (auto& base : bases) base = static_cast<BaseCode>(rng() & 3);
  Case c{"nan", 13, 9, bases.size(), Cutoffs::kZero, false};
  auto models = models_for(c, rng, bases);
  ScoringMatrix& bad = models[4];
  bad.frequencies[bad.length - 1] = std::numeric_limits<float>::quiet_NaN();  // row L-1, base A
  const MultiScanner multi(models);
  std::vector<CandidateRange> ranges;
  for (std::size_t k = 0; k < models.size(); ++k) {
    ranges.push_back({0, multi.scanner(k).candidate_count(bases.size())});
  }
  std::vector<std::vector<SiteMatch>> got(models.size());
  std::string want;
  try {
    std::vector<SiteMatch> sites;
    multi.scanner(4).scan(bases, sites);
  } catch (const InternalFailure& failure) {
    want = failure.what();
  }
  ASSERT_EQ(want, "Multiplication resulted in NaN");
  try {
    multi.scan(bases, ranges, got);
    FAIL() << "no failure";
  } catch (const InternalFailure& failure) {
    EXPECT_EQ(want, failure.what());
  }
}

}  // namespace
}  // namespace vok::test
