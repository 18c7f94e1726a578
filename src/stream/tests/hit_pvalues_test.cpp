#include "stream/hit_pvalues.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "../../stats/tests/enumeration.hpp"
#include "stream/errors.hpp"
#include "stream/hit_format.hpp"

namespace vok::stream {
namespace {

MotifSet skewed_motifs() {
  std::vector<MotifSpec> specs;
  for (const char* id : {"M1", "M2"}) {
    MotifSpec spec{id, "", PwmMatrix(id, 7), {0.0f, 0.0f}};
    for (std::size_t i = 0; i < 7; ++i) {
      spec.matrix.at(i, id[1] == '1' ? 0 : i % 4) = 9;  // M1 prefers A everywhere
      spec.matrix.at(i, 3) += 2;
    }
    specs.push_back(std::move(spec));
  }
  return MotifSet(std::move(specs));
}

HitBatch batch_of_both_strands() {
  HitBatch batch;
  batch.sequence_names = {"chr1"};
  HitColumns& h = batch.columns;
  for (int i = 0; i < 4; ++i) {
    h.sequence.push_back(0);
    h.start.push_back(i);
    h.end.push_back(i + 7);
    h.motif.push_back(i / 2);
    h.strand.push_back(i % 2 ? -1 : 1);
    h.css.push_back(0.9f);
    h.mss.push_back(0.8f);
    h.core.push_back(i + 1);
  }
  return batch;
}

// Minus-strand hits are reverse complements of random sequence: their
// p-values come from the complemented background unless asked otherwise
// (a reversed-strand scan keeps the letters). Checked against every word.
TEST(HitPValuesTest, MinusStrandUsesTheComplementedBackground) {
  const MotifSet motifs = skewed_motifs();
  const Background at_rich{{0.4, 0.1, 0.2, 0.3}};
  const HitBatch batch = batch_of_both_strands();
  for (bool complement_minus : {true, false}) {
    const HitPValues tables(motifs, at_rich, complement_minus);
    std::vector<float> values;
    tables.fill(batch.columns, values);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const bool minus = batch.columns.strand[i] < 0;
      const Background used = minus && complement_minus ? complement(at_rich) : at_rich;
      const auto& model = motifs.model(static_cast<std::size_t>(batch.columns.motif[i]));
      const double exact = test::enumerated_tail(test::enumerate_windows(model, used), -1.0f, batch.columns.mss[i]);
      EXPECT_GE(values[i], exact * (1 - 1e-12)) << i << " complement " << complement_minus;
      EXPECT_LE(values[i], exact * 1.01) << i << " complement " << complement_minus;
    }
    if (complement_minus) {
      EXPECT_NE(values[0], values[1]) << "the two backgrounds differ for an A-rich matrix";
    } else {
      EXPECT_EQ(values[0], values[1]);
    }
  }
}

// Random matrices of 8 to 10 positions, thresholds spread over the range.
MotifSet random_motifs(std::size_t count) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> count_of(0, 20);
  std::vector<MotifSpec> specs;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t length = 8 + k % 3;
    MotifSpec spec{"M" + std::to_string(k), "", PwmMatrix("M" + std::to_string(k), length),
                   {0.0f, 0.6f + 0.3f * static_cast<float>(k % 5) / 4.0f}};
    for (std::size_t i = 0; i < length; ++i) {
      for (std::size_t b = 0; b < 4; ++b) spec.matrix.at(i, b) = static_cast<float>(count_of(rng));
    }
    specs.push_back(std::move(spec));
  }
  return MotifSet(std::move(specs));
}

// Tables built by several workers, on the shared pool or a private one, are
// those of one thread, motif by motif and strand by strand.
TEST(HitPValuesTest, TablesBuiltOnWorkersAreThoseOfOneThread) {
  const MotifSet motifs = random_motifs(6);
  const Background skewed{{0.35, 0.15, 0.2, 0.3}};  // minus strands get tables of their own
  const HitPValues one(motifs, skewed, true, 1);
  for (const std::size_t threads : {std::size_t{0}, std::size_t{2}, std::size_t{3}}) {
    const HitPValues many(motifs, skewed, true, threads);
    ASSERT_EQ(many.memory_bytes(), one.memory_bytes()) << threads;
    for (std::size_t motif = 0; motif < motifs.size(); ++motif) {
      for (const std::int8_t strand : {std::int8_t{1}, std::int8_t{-1}}) {
        for (float mss = 0.5f; mss <= 1.0f; mss += 0.0037f) {
          const auto m = static_cast<std::int32_t>(motif);
          ASSERT_EQ(many(m, strand, mss), one(m, strand, mss))
              << "threads " << threads << " motif " << motif << " strand " << int(strand) << " mss " << mss;
        }
      }
    }
  }
}

// Batch lookups, which fetch cells ahead, give each hit what a lookup of it
// alone gives: both strands' tables, a motif too short to scan (p-value 1),
// scores outside the tables, batches shorter and longer than the fetch distance.
TEST(HitPValuesTest, BatchLookupsAreThoseOfSingleOnes) {
  std::vector<MotifSpec> specs;
  for (std::size_t k = 0; k < 3; ++k) {
    MotifSpec spec{"M" + std::to_string(k), "", PwmMatrix("M" + std::to_string(k), 8 + k), {0.0f, 0.7f}};
    for (std::size_t i = 0; i < 8 + k; ++i) spec.matrix.at(i, (i * (k + 1)) % 4) = 5.0f + static_cast<float>(i);
    specs.push_back(std::move(spec));
  }
  specs.insert(specs.begin() + 1, MotifSpec{"short", "", PwmMatrix("short", 4), {0.0f, 0.0f}});
  const MotifSet motifs(std::move(specs));
  const Background skewed{{0.35, 0.15, 0.2, 0.3}};
  const HitPValues tables(motifs, skewed, true);
  struct Hit {
    std::int32_t motif;
    std::int8_t strand;
    float mss;
  };
  std::mt19937 rng(7);
  std::vector<Hit> hits;
  const float odd[] = {0.0f, -0.5f, std::numeric_limits<float>::quiet_NaN(), 1.0f, 1.5f, 0.7f};
  for (std::size_t i = 0; i < 300; ++i) {
    const float mss = i % 17 == 0 ? odd[i / 17 % 6] : 0.6f + 0.4f * std::uniform_real_distribution<float>()(rng);
    hits.push_back({static_cast<std::int32_t>(rng() % motifs.size()), rng() % 2 ? std::int8_t{1} : std::int8_t{-1}, mss});
  }
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{5}, hits.size()}) {
    std::vector<float> batch(count, -1.0f);
    tables.look_up(count, [&](std::size_t i) -> const Hit& { return hits[i]; }, batch.data());
    for (std::size_t i = 0; i < count; ++i) {
      const float single = tables(hits[i].motif, hits[i].strand, hits[i].mss);
      ASSERT_EQ(batch[i], single) << "hit " << i << " of " << count;
      if (hits[i].motif == 1) ASSERT_EQ(single, 1.0f);
    }
  }
  std::size_t strands_differ = 0;
  for (const Hit& hit : hits) strands_differ += tables(hit.motif, 1, hit.mss) != tables(hit.motif, -1, hit.mss);
  EXPECT_GT(strands_differ, 0u) << "a skewed background gives the strands tables of their own";
}

TEST(HitPValuesTest, AnInterruptedBuildThrows) {
  const MotifSet motifs = random_motifs(400);
  std::size_t asked = 0;
  EXPECT_THROW(HitPValues(motifs, uniform_background(), true, 2, [&] { return ++asked > 0; }), ScanInterrupted);
  EXPECT_GT(asked, 0u);
}

TEST(HitPValuesTest, ColumnInTsvAndBedPlusOnly) {
  const MotifSet motifs = skewed_motifs();
  const HitPValues tables(motifs, uniform_background(), true);
  const HitBatch batch = batch_of_both_strands();
  EXPECT_EQ(hit_header(HitFormat::kTsv, true),
            "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue\n");
  const struct {
    HitFormat format;
    std::size_t fields;
  } cases[] = {{HitFormat::kTsv, 10}, {HitFormat::kBed, 6}, {HitFormat::kBedPlus, 9}};
  for (const auto& c : cases) {
    std::string text;
    append_hits(text, batch, motifs, c.format, &tables);
    std::istringstream lines(text);
    std::string line;
    std::size_t k = 0;
    while (std::getline(lines, line)) {
      const auto fields = static_cast<std::size_t>(std::count(line.begin(), line.end(), '\t') + 1);
      ASSERT_EQ(fields, c.fields) << line;
      if (c.fields == 6) continue;
      const std::string last = line.substr(line.rfind('\t') + 1);
      float value = 0;
      std::from_chars(last.data(), last.data() + last.size(), value);
      EXPECT_EQ(value, tables(batch.columns.motif[k], batch.columns.strand[k], batch.columns.mss[k]));
      ++k;
    }
  }
  const HitPValues other(MotifSet(std::vector<MotifSpec>{}), uniform_background(), true);
  std::string text;
  EXPECT_THROW(append_hits(text, batch, motifs, HitFormat::kTsv, &other), std::out_of_range);
}

}  // namespace
}  // namespace vok::stream
