// Variant effects against a brute force over the windows the rules name,
// scored by the one-model site scan at zero thresholds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "length_groups.hpp"
#include "scoring/site_scan.hpp"
#include "stats/background.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/motif_set.hpp"
#include "variants/best_window.hpp"
#include "variants/effect_format.hpp"
#include "variants/effect_scan.hpp"
#include "variants/variant_batch.hpp"

namespace vok::variants {
namespace {

using stream::MotifSet;
using stream::MotifSpec;

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(WindowStartsTest, WindowsTouchingTheChangedBasesOrTheJunction) {
  struct Case {
    std::uint64_t left, changed, size, length;
    std::int64_t first, end;
  };
  const Case cases[] = {
      {10, 1, 21, 5, 6, 11},   // an SNV in the middle: L windows
      {10, 3, 23, 5, 6, 13},   // three changed bases: L + 2 windows
      {0, 1, 11, 5, 0, 1},     // an SNV on a chromosome's first base
      {10, 1, 11, 5, 6, 7},    // ... and on its last base
      {10, 0, 20, 5, 6, 10},   // a junction: windows holding bases 9 and 10
      {0, 0, 10, 5, 0, 0},     // a junction before the first base: none
      {10, 0, 10, 5, 0, 0},    // ... after the last base: none
      {2, 1, 4, 5, 0, 0},      // an allele shorter than the motif
  };
  for (const Case& c : cases) {
    const StartRange range = window_starts(c.left, c.changed, c.size, c.length);
    if (c.first == c.end) {
      EXPECT_GE(range.first, range.end) << c.left << " " << c.changed << " " << c.size;
    } else {
      EXPECT_EQ(range.first, c.first) << c.left << " " << c.changed << " " << c.size;
      EXPECT_EQ(range.end, c.end) << c.left << " " << c.changed << " " << c.size;
    }
  }
}

MotifSpec random_spec(std::mt19937& rng, std::size_t length, const std::string& id, float css, float mss) {
  PwmMatrix matrix(id, length);
  std::uniform_int_distribution<int> count(0, 20);
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t b = 0; b < 4; ++b) matrix.at(i, b) = static_cast<float>(count(rng) * count(rng));
  }
  return {id, "name of " + id, std::move(matrix), {css, mss}};
}

std::vector<BaseCode> codes_of(const std::string& letters) {
  std::vector<BaseCode> codes;
  for (char letter : letters) {
    const char* found = std::strchr("ACGT", letter);
    codes.push_back(found && letter ? static_cast<BaseCode>(found - "ACGT") : BaseCode{4});
  }
  return codes;
}

// The best window by the rules, from every window the site scan reports at
// zero thresholds on the allele and its reverse complement.
BestWindow brute_best(const ScoringMatrix& scored, const std::string& allele, std::size_t left, std::size_t changed) {
  ScoringMatrix model = scored;
  const Thresholds real = model.thresholds;
  model.thresholds = {0.0f, 0.0f};
  const std::vector<BaseCode> forward = codes_of(allele);
  std::vector<BaseCode> reverse(forward.rbegin(), forward.rend());
  for (BaseCode& code : reverse) code = code < 4 ? 3 - code : 0;
  std::vector<BaseCode> clean = forward;
  for (BaseCode& code : clean) code = code < 4 ? code : 0;
  std::vector<SiteMatch> plus, minus;
  scan_sites(model, clean, plus);
  scan_sites(model, reverse, minus);
  const std::size_t n = allele.size(), length = model.length;
  auto touches = [&](std::size_t s) {
    if (changed == 0) return left >= 1 && s <= left - 1 && s + length >= left + 1;
    return s < left + changed && s + length > left;
  };
  BestWindow best;
  auto consider = [&](std::int8_t strand, std::size_t s, const SiteMatch& site) {
    if (!touches(s) || allele.substr(s, length).find_first_not_of("ACGT") != std::string::npos) return;
    const bool passes = site.css >= real.css && site.mss >= real.mss;
    const bool better = !best.found || (passes && !best.passes) ||
                        (passes == best.passes && (site.mss > best.mss ||
                                                   (site.mss == best.mss && (static_cast<std::int64_t>(s) < best.start ||
                                                                             (static_cast<std::int64_t>(s) == best.start && strand > 0)))));
    if (better) best = {true, passes, strand, static_cast<std::int64_t>(s), site.css, site.mss};
  };
  for (const SiteMatch& site : plus) {
    const std::size_t s = site.pos - model.core_start;
    if (s + length <= n) consider(1, s, site);
  }
  for (const SiteMatch& site : minus) {
    const std::size_t c = site.pos - model.core_start;
    if (c + length <= n) consider(-1, n - c - length, site);
  }
  return best;
}

struct RandomVariant {
  std::string left, ref, alt, right;
  std::int64_t lead;
};

VariantBatch batch_of(const std::vector<RandomVariant>& variants) {
  VariantBatch batch;
  for (const RandomVariant& v : variants) {
    batch.variants.push_back({batch.letters.size(), static_cast<std::uint32_t>(v.left.size()),
                              static_cast<std::uint32_t>(v.ref.size()), static_cast<std::uint32_t>(v.alt.size()),
                              static_cast<std::uint32_t>(v.right.size()), v.lead});
    batch.letters += v.left + v.ref + v.alt + v.right;
  }
  return batch;
}

std::string random_bases(std::mt19937& rng, std::size_t count, bool with_n) {
  std::uniform_int_distribution<int> letter(0, with_n ? 40 : 3);
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    const int pick = letter(rng);
    text += pick < 4 ? "ACGT"[pick] : (pick == 40 ? 'N' : "ACGT"[pick & 3]);
  }
  return text;
}

class EffectScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 rng(7);
    std::vector<MotifSpec> specs;
    // Loose thresholds, so that many pairs pass on one allele only; one
    // motif too short to be scanned; enough short motifs that they are
    // scanned apart from the long ones, with less context.
    specs.push_back(random_spec(rng, 6, "M6", 0.7f, 0.75f));
    specs.push_back(random_spec(rng, 4, "M4", 0.0f, 0.0f));
    specs.push_back(random_spec(rng, 9, "M9", 0.6f, 0.7f));
    specs.push_back(random_spec(rng, 14, "M14", 0.5f, 0.7f));
    for (int i = 0; i < 20; ++i) specs.push_back(random_spec(rng, 6, "S" + std::to_string(i), 0.8f, 0.8f));
    specs.push_back(random_spec(rng, 22, "M22", 0.5f, 0.65f));
    motifs_ = std::make_unique<MotifSet>(std::move(specs));
    EXPECT_GE(length_groups(*motifs_).size(), 2u);
    pvalues_ = std::make_unique<stream::HitPValues>(*motifs_, uniform_background(), true);
    const std::size_t context = motifs_->max_length() - 1;
    std::uniform_int_distribution<int> kind(0, 3), size(1, 6), flank(0, 3);
    for (int i = 0; i < 250; ++i) {
      RandomVariant v;
      // Now and then a chromosome end cuts the context short.
      v.left = random_bases(rng, flank(rng) == 0 ? size(rng) : context, true);
      v.right = random_bases(rng, flank(rng) == 0 ? size(rng) : context, true);
      const int k = kind(rng);
      v.ref = k == 2 ? "" : random_bases(rng, k == 0 ? 1 : size(rng), false);
      v.alt = k == 3 ? "" : random_bases(rng, k == 0 ? 1 : size(rng), false);
      v.lead = flank(rng);
      variants_.push_back(v);
    }
    batch_ = batch_of(variants_);
  }

  EffectRows scan(bool all, std::size_t threads, std::size_t chunk = 37) const {
    EffectOptions options;
    options.all = all;
    options.threads = threads;
    options.chunk = chunk;  // 37: several chunks, one of them short
    return scan_effects(*motifs_, *pvalues_, batch_, options, {});
  }

  std::unique_ptr<MotifSet> motifs_;
  std::unique_ptr<stream::HitPValues> pvalues_;
  std::vector<RandomVariant> variants_;
  VariantBatch batch_;
};

TEST_F(EffectScanTest, EveryPairMatchesTheBruteForce) {
  const EffectRows rows = scan(true, 2);
  ASSERT_EQ(rows.size(), variants_.size() * motifs_->size());
  std::size_t gains = 0, losses = 0;
  for (std::size_t row = 0; row < rows.size(); ++row) {
    const RandomVariant& v = variants_[rows.variant[row]];
    ASSERT_EQ(rows.motif[row], row % motifs_->size());
    std::size_t k = 0;
    while (k < motifs_->scanned_count() && motifs_->motif_of(k) != rows.motif[row]) ++k;
    BestWindow ref, alt;
    if (k < motifs_->scanned_count()) {
      ref = brute_best(motifs_->model(k), v.left + v.ref + v.right, v.left.size(), v.ref.size());
      alt = brute_best(motifs_->model(k), v.left + v.alt + v.right, v.left.size(), v.alt.size());
    }
    for (const auto& [best, columns] : {std::pair{ref, &rows.ref}, std::pair{alt, &rows.alt}}) {
      ASSERT_EQ(columns->strand[row], best.found ? best.strand : 0) << "row " << row;
      if (!best.found) continue;
      EXPECT_EQ(columns->offset[row], best.start - static_cast<std::int64_t>(v.left.size()) + v.lead);
      EXPECT_TRUE(same_bits(columns->css[row], best.css));
      EXPECT_TRUE(same_bits(columns->mss[row], best.mss));
      EXPECT_EQ(columns->pvalue[row], (*pvalues_)(static_cast<std::int32_t>(rows.motif[row]), best.strand, best.mss));
    }
    EXPECT_EQ(static_cast<int>(rows.effect[row]), (alt.passes ? 1 : 0) | (ref.passes ? 2 : 0));
    gains += rows.effect[row] == Effect::kGain;
    losses += rows.effect[row] == Effect::kLoss;
    if (ref.found && alt.found) {
      const float delta = alt.mss - ref.mss;
      EXPECT_TRUE(same_bits(rows.delta_mss[row], delta));
    } else {
      EXPECT_TRUE(std::isnan(rows.delta_mss[row]) && std::isnan(rows.log10_ratio[row]));
    }
  }
  EXPECT_GT(gains, 20u);
  EXPECT_GT(losses, 20u);
}

TEST_F(EffectScanTest, PassingRowsAreThoseOfAllPairsThatPass) {
  const EffectRows all = scan(true, 0);
  // Chunks of 0 variants mean chunks of one.
  for (const auto& [threads, chunk] : {std::pair<std::size_t, std::size_t>{0, 37}, {1, 37}, {2, 37}, {2, 0}}) {
    const EffectRows rows = scan(false, threads, chunk);
    std::size_t row = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all.effect[i] == Effect::kNone) continue;
      ASSERT_LT(row, rows.size());
      ASSERT_EQ(rows.variant[row], all.variant[i]);
      ASSERT_EQ(rows.motif[row], all.motif[i]);
      EXPECT_EQ(rows.effect[row], all.effect[i]);
      for (const auto& [part, whole] : {std::pair{&rows.ref, &all.ref}, std::pair{&rows.alt, &all.alt}}) {
        EXPECT_EQ(part->strand[row], whole->strand[i]);
        EXPECT_EQ(part->offset[row], whole->offset[i]);
        EXPECT_TRUE(same_bits(part->css[row], whole->css[i]));
        EXPECT_TRUE(same_bits(part->mss[row], whole->mss[i]));
        EXPECT_TRUE(same_bits(part->pvalue[row], whole->pvalue[i]));
      }
      EXPECT_TRUE(same_bits(rows.log10_ratio[row], all.log10_ratio[i]));
      ++row;
    }
    EXPECT_EQ(row, rows.size()) << threads << " threads, chunks of " << chunk;
  }
}

TEST(LengthGroupsTest, ShortMotifsAreScannedApartFromALongOne) {
  std::mt19937 rng(3);
  auto groups_of = [&](const std::vector<std::size_t>& lengths) {
    std::vector<MotifSpec> specs;
    for (std::size_t length : lengths) specs.push_back(random_spec(rng, length, "M", 0.0f, 0.0f));
    const MotifSet motifs(std::move(specs));
    std::vector<std::pair<std::size_t, std::size_t>> shape;  // (longest, models) per group
    for (const LengthGroup& group : length_groups(motifs)) shape.emplace_back(group.longest, group.models.size());
    return shape;
  };
  using Shape = std::vector<std::pair<std::size_t, std::size_t>>;
  std::vector<std::size_t> many_short(60, 6);
  many_short.push_back(30);
  EXPECT_EQ(groups_of(many_short), (Shape{{6, 60}, {30, 1}}));
  EXPECT_EQ(groups_of({8, 8, 9, 4}), (Shape{{9, 3}}));  // few models: one scan; the short one is not scanned
  EXPECT_EQ(groups_of({4}), Shape{});
}

TEST(BestWindowTest, TiesGoToTheLeftmostThenTheForwardStrand) {
  // A palindrome scores the same on both strands; two copies score the same twice.
  std::vector<MotifSpec> specs;
  PwmMatrix matrix("P", 6);
  const char* site = "ACGCGT";  // its own reverse complement
  for (std::size_t i = 0; i < 6; ++i) matrix.at(i, std::strchr("ACGT", site[i]) - "ACGT") = 10.0f;
  for (std::size_t i = 0; i < 6; ++i) matrix.at(i, 0) += 1.0f;
  specs.push_back({"P", "", std::move(matrix), {0.0f, 0.0f}});
  const MotifSet motifs(std::move(specs));
  const std::string allele = "TTTTTACGCGTTACGCGTTTTTT";
  const std::vector<BaseCode> forward = codes_of(allele);
  std::vector<BaseCode> other(forward.rbegin(), forward.rend());
  for (BaseCode& code : other) code = 3 - code;
  std::vector<std::uint32_t> breaks(forward.size() + 1, 0);
  const AlleleCodes codes{forward, other, breaks, true};
  const BestWindow best = best_window(motifs.model(0), motifs.scanner().scanner(0), codes, {0, 18});
  EXPECT_EQ(best.start, 5);
  EXPECT_EQ(best.strand, 1);
  EXPECT_FLOAT_EQ(best.mss, 1.0f);
}

TEST(EffectFormatTest, EmptyFieldsWhereAnAlleleHasNoWindow) {
  std::vector<MotifSpec> specs;
  std::mt19937 rng(1);
  specs.push_back(random_spec(rng, 6, "MA1", 0.0f, 0.0f));
  const MotifSet motifs(std::move(specs));
  EffectRows rows;
  rows.variant = {0};
  rows.motif = {0};
  rows.ref.strand = {-1};
  rows.ref.offset = {-3};
  rows.ref.css = {0.5f};
  rows.ref.mss = {0.25f};
  rows.ref.pvalue = {1e-5f};
  rows.alt.strand = {0};
  rows.alt.offset = {0};
  rows.alt.css = rows.alt.mss = rows.alt.pvalue = {std::nanf("")};
  rows.delta_mss = rows.log10_ratio = {std::nanf("")};
  rows.effect = {Effect::kLoss};
  std::string text;
  append_effect_lines(text, rows, {"chr1\t10\trs1\tAT\tA"}, motifs);
  EXPECT_EQ(text, "chr1\t10\trs1\tAT\tA\tMA1\tname of MA1\t-\t-3\t0.5\t0.25\t1e-05\t\t\t\t\t\t\t\tloss\n");
  const std::string header = effect_header();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), std::count(header.begin(), header.end(), '\t'));
  rows.motif = {1};
  EXPECT_THROW(append_effect_lines(text, rows, {"x"}, motifs), std::out_of_range);
}

}  // namespace
}  // namespace vok::variants
