// The deficit filter and the vector word search on their own: the filter
// keeps every window that is a site, whatever the kernel; both kernels keep
// the same windows; neither reports a position past the end of its range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "deficit_filter.hpp"
#include "model_plan.hpp"
#include "scan/multi_scan.hpp"
#include "window_sums.hpp"

namespace vok::test {
namespace {

using detail::FilterBatch;
using detail::FilterVerdict;
using detail::kKernelPadding;

// How a matrix's rows are drawn.
enum class Rows {
  kRandom,     // counts 0 .. 20
  kNearTied,   // every row 7, 7, 7, 8 in some order: deficits near one unit apart
  kSomeTied,   // random rows, and rows whose four counts are equal
};

ScoringMatrix make_model(std::mt19937& rng, std::size_t length, Rows rows) {
  while (true) {
    PwmMatrix matrix("M", length);
    std::uniform_int_distribution<int> count(0, 20);
    for (std::size_t i = 0; i < length; ++i) {
      const bool tied = rows == Rows::kSomeTied && rng() % 3 == 0;
      const std::size_t top = rng() % 4;
      for (std::size_t b = 0; b < 4; ++b) {
        matrix.at(i, b) = rows == Rows::kNearTied ? (b == top ? 8.0f : 7.0f)
                          : tied                  ? 5.0f
                                                  : static_cast<float>(count(rng));
      }
    }
    auto built = build_scoring_matrix(std::move(matrix), {});
    if (auto* model = std::get_if<ScoringMatrix>(&built)) return std::move(*model);
  }
}

struct Record {
  std::vector<BaseCode> bases;      // the bases, kKernelPadding zero bytes past the end
  std::vector<std::uint8_t> codes;  // their pair codes, padded the same way
  std::size_t n = 0;                // bases before the padding
};

// Random bases with the model's best window (first of each row's largest) planted here and there.
Record make_record(std::mt19937& rng, const ScoringMatrix& model, std::size_t n) {
  Record record;
  record.n = n;
  record.bases.assign(n + kKernelPadding + 1, 0);
  for (std::size_t x = 0; x < n; ++x) record.bases[x] = static_cast<BaseCode>(rng() & 3);
  for (std::size_t at = 17; at + model.length <= n; at += 997) {
    for (std::size_t i = 0; i < model.length; ++i) {
      std::size_t best = 0;
      for (std::size_t b = 1; b < 4; ++b) best = model.frequency(i, b) > model.frequency(i, best) ? b : best;
      record.bases[at + i] = static_cast<BaseCode>(best);
    }
  }
  record.codes.assign(n + kKernelPadding, 0);
  detail::pair_codes_scalar(record.bases.data(), n, record.codes.data());
  return record;
}

std::vector<std::uint32_t> run_filter(detail::FilterFn filter, const detail::ModelPlan& plan,
                                      const detail::FilterTable& table, const std::uint8_t* codes,
                                      std::uint32_t lo, std::uint32_t hi) {
  std::vector<std::uint32_t> kept(hi - lo + 1);
  const FilterBatch batch{codes, table.deficits.data(), plan.filter.row.data(), plan.filter.pairs};
  kept.resize(filter(batch, lo, hi, kept.data()));
  return kept;
}

struct FilterCase {
  const char* name;
  std::uint32_t seed;
  Rows rows;
  std::size_t shortest;  // lengths shortest .. shortest + 11
};

class FilterKeepsSites : public ::testing::TestWithParam<FilterCase> {};

// At thresholds equal to attained mss values (the hardest place for
// rounding), just below them, and at the ends of the range, every full
// window that is a site is kept; scalar and AVX2 keep the same windows.
TEST_P(FilterKeepsSites, EverySiteKeptByBothKernels) {
  const FilterCase& c = GetParam();
  std::mt19937 rng(c.seed);
  const bool avx2 = force_sum_kernel(SumKernel::kAvx2) == SumKernel::kAvx2;
  force_sum_kernel(SumKernel::kAuto);
  std::size_t filtered_models = 0;
  for (std::size_t trial = 0; trial < 24; ++trial) {
    ScoringMatrix model = make_model(rng, c.shortest + trial % 12, c.rows);
    const Record record = make_record(rng, model, 6000);
    const detail::ModelPlan plan = detail::make_model_plan(model);
    ASSERT_TRUE(plan.batched);
    // Every full window's mss, from the site scan with no cut-off.
    model.thresholds = {-INFINITY, -INFINITY};
    std::vector<SiteMatch> every;
    const std::span<const BaseCode> bases(record.bases.data(), record.n);
    SiteScanner(model).scan_candidates(bases, 0, record.n - model.length + 1, every);
    std::vector<float> levels;
    for (const SiteMatch& site : every) levels.push_back(site.mss);
    std::sort(levels.begin(), levels.end(), std::greater<>());
    std::vector<float> thresholds = {1.0f, 1.0001f, -0.5f, INFINITY, -INFINITY, std::nanf("")};
    for (const std::size_t rank : {0, 1, 5, 30, 300}) {
      thresholds.push_back(levels[rank]);
      thresholds.push_back(std::nextafter(levels[rank], -INFINITY));
    }
    detail::PassTable reused;  // updated threshold after threshold, as a scan's state is
    for (const float threshold : thresholds) {
      model.thresholds = {-INFINITY, threshold};
      detail::PassTable table;
      detail::update_pass_table(plan, model, table);
      detail::update_pass_table(plan, model, reused);
      ASSERT_EQ(reused.words, table.words) << "a table made for other thresholds kept, mss " << threshold;
      ASSERT_EQ(reused.pass, table.pass);
      const std::string where = std::string(c.name) + " trial " + std::to_string(trial) + " L " +
                                std::to_string(model.length) + " mss " + std::to_string(threshold);
      std::vector<std::uint32_t> sites;
      for (const SiteMatch& site : every) {
        if (site.mss >= threshold) sites.push_back(static_cast<std::uint32_t>(site.pos - model.core_start));
      }
      if (table.filter.verdict == FilterVerdict::kNone) {
        EXPECT_TRUE(sites.empty()) << where;
        continue;
      }
      if (table.filter.verdict == FilterVerdict::kAll) continue;
      ++filtered_models;
      const auto hi = static_cast<std::uint32_t>(record.n - model.length + 1);
      const auto kept = run_filter(&detail::filter_windows_scalar, plan, table.filter, record.codes.data(), 0, hi);
      for (const std::uint32_t q : sites) {
        ASSERT_TRUE(std::binary_search(kept.begin(), kept.end(), q)) << where << ": site at " << q << " dropped";
      }
      if (avx2) {
        EXPECT_EQ(run_filter(&detail::filter_windows_avx2, plan, table.filter, record.codes.data(), 0, hi), kept)
            << where;
      }
    }
    for (const float css : {0.3f, 0.8f, -INFINITY, 0.8f}) {  // the core cut-off alone changing
      model.thresholds = {css, levels[30]};
      detail::PassTable table;
      detail::update_pass_table(plan, model, table);
      detail::update_pass_table(plan, model, reused);
      ASSERT_EQ(reused.words, table.words) << "a table made for another css kept, css " << css;
    }
  }
  EXPECT_GT(filtered_models, 24u);  // the thresholds above left the filter work to do
}

const FilterCase kFilterCases[] = {
    {"random rows", 1, Rows::kRandom, 5},
    {"near tied rows", 2, Rows::kNearTied, 5},
    {"some tied rows", 3, Rows::kSomeTied, 6},
    {"more rows than pairs", 4, Rows::kRandom, 20},  // up to 31 rows: 16 pairs, 12 read
};

INSTANTIATE_TEST_SUITE_P(Cases, FilterKeepsSites, ::testing::ValuesIn(kFilterCases), [](const auto& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), ' ', '_');
  return name;
});

// A sub-range [lo, hi) of every length modulo the vector width, with
// windows that pass at every position: nothing outside the range is
// reported, nothing inside is missed. A model with all-zero tables passes
// every window.
TEST(FilterWindows, ReportsExactlyTheRange) {
  if (force_sum_kernel(SumKernel::kAvx2) != SumKernel::kAvx2) GTEST_SKIP() << "no AVX2 on this CPU";
  force_sum_kernel(SumKernel::kAuto);
  std::vector<std::uint8_t> codes(512 + kKernelPadding, 5);
  std::uint8_t tables[16 * detail::kFilterPairs] = {};
  for (std::size_t j = 0; j < 4; ++j) tables[16 * j + 5] = 70;  // code 5 costs 70 units a pair: three pass, four fail
  std::uint32_t rows[detail::kFilterPairs] = {};
  for (std::uint32_t pairs : {1u, 3u, 4u}) {
    const FilterBatch batch{codes.data(), tables, rows, pairs};
    for (std::uint32_t lo : {0u, 1u, 31u, 64u}) {
      for (std::uint32_t length = 0; length <= 96; ++length) {
        std::vector<std::uint32_t> out(length + 1, 0xFFFFFFFFu);
        const std::size_t found = detail::filter_windows_avx2(batch, lo, lo + length, out.data());
        const std::size_t want = pairs <= 3 ? length : 0;
        ASSERT_EQ(found, want) << "pairs " << pairs << " lo " << lo << " length " << length;
        for (std::size_t j = 0; j < found; ++j) ASSERT_EQ(out[j], lo + j);
      }
    }
  }
}

// The word search with a wanted word at every position of the range and
// just past its end: ranges of every length modulo 16 report each position
// once and none past the end (a split scan would report it twice).
TEST(FindWords, StopsAtTheRangeEnd) {
  if (force_sum_kernel(SumKernel::kAvx2) != SumKernel::kAvx2) GTEST_SKIP() << "no AVX2 on this CPU";
  force_sum_kernel(SumKernel::kAuto);
  std::vector<std::uint16_t> words(256 + kKernelPadding, 0);
  const std::uint16_t targets[] = {3, 700};
  for (std::size_t x = 0; x < words.size(); ++x) words[x] = x % 3 == 0 ? 700 : 3;
  for (std::uint32_t lo : {0u, 5u, 16u}) {
    for (std::uint32_t length = 0; length <= 48; ++length) {
      std::vector<std::uint32_t> out(length + 16, 0xFFFFFFFFu);
      const std::size_t found = detail::find_words_avx2(words.data(), lo, lo + length, targets, 2, 0, out.data());
      ASSERT_EQ(found, length) << "lo " << lo << " length " << length;
      for (std::size_t j = 0; j < found; ++j) ASSERT_EQ(out[j], lo + j);
    }
  }
}

}  // namespace
}  // namespace vok::test
