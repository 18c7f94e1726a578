#include "regions/record_scan.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "regions/count_text.hpp"
#include "regions/site_tally.hpp"
#include "stream/errors.hpp"
#include "stream/text_scan.hpp"

namespace vok::regions {
namespace {

using stream::HitBatch;
using stream::MotifSet;
using stream::MotifSpec;

std::shared_ptr<MotifSet> random_motifs(std::mt19937& rng) {
  std::vector<MotifSpec> specs;
  for (std::size_t k = 0; k < 6; ++k) {
    const std::string id = "m" + std::to_string(k);
    MotifSpec spec{id, "", PwmMatrix(id, 5 + k * 3), {0.6f, 0.6f}};
    for (float& v : spec.matrix.values) v = static_cast<float>(rng() % 20);
    spec.matrix.values[0] += 1;
    specs.push_back(std::move(spec));
  }
  return std::make_shared<MotifSet>(std::move(specs));
}

std::string random_letters(std::mt19937& rng, std::size_t length) {
  static const char kLetters[] = "ACGTACGTacgtN";
  std::string text(length, 'A');
  for (char& c : text) c = kLetters[rng() % (sizeof kLetters - 1)];
  return text;
}

using Row = std::tuple<std::int32_t, std::int64_t, std::int64_t, std::int32_t, std::int8_t, float, float, std::int64_t>;

std::vector<Row> rows_of(const HitBatch& batch, std::int32_t sequence) {
  std::vector<Row> rows;
  const auto& h = batch.columns;
  for (std::size_t i = 0; i < h.size(); ++i) {
    rows.emplace_back(sequence < 0 ? h.sequence[i] : sequence, h.start[i], h.end[i], h.motif[i], h.strand[i],
                      h.css[i], h.mss[i], h.core[i]);
  }
  return rows;
}

struct Records {
  std::vector<std::string> texts;
  RecordTexts view;
};

Records random_records(std::mt19937& rng) {
  Records records;
  for (std::size_t length : {0u, 3u, 700u, 40u, 2500u, 1u, 90u}) records.texts.push_back(random_letters(rng, length));
  for (std::size_t r = 0; r < records.texts.size(); ++r) {
    records.view.names.push_back("r" + std::to_string(r));
    records.view.letters.push_back(records.texts[r]);
    records.view.offsets.push_back(1000 * r + 17);
  }
  return records;
}

// Each record scanned with however small blocks gives the hits of a scan of
// that record alone, moved by its offset, record after record.
TEST(ScanRecords, EqualsEachRecordScannedAloneAtItsOffset) {
  std::mt19937 rng(4);
  auto motifs = random_motifs(rng);
  const Records records = random_records(rng);
  for (const auto [mask, partial] : {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
    stream::ScanOptions options;
    options.partial_windows = partial;
    std::vector<Row> expected;
    for (std::size_t r = 0; r < records.texts.size(); ++r) {
      stream::TextRange range;
      range.offset = records.view.offsets[r];
      range.owned_start = range.offset;
      range.owned_end = range.offset + records.texts[r].size();
      const HitBatch alone = stream::scan_text(*motifs, "x", records.texts[r], range, options, mask, 1, {});
      for (const Row& row : rows_of(alone, static_cast<std::int32_t>(r))) expected.push_back(row);
    }
    ASSERT_GT(expected.size(), 20u);
    for (const std::size_t block_letters : {1u, 50u, 600u, 1u << 17}) {
      const HitBatch batch = scan_records(*motifs, records.view, nullptr, options, mask, 2, {}, block_letters);
      EXPECT_EQ(rows_of(batch, -1), expected) << block_letters;
      EXPECT_EQ(batch.sequence_names, records.view.names);
    }
  }
  const std::vector<std::string> labels(records.texts.size(), "chr1");
  EXPECT_EQ(scan_records(*motifs, records.view, &labels, {}, false, 1, {}).sequence_names, labels);
}

TEST(ScanRecords, BadLetterNamesTheRecordAndItsPosition) {
  std::mt19937 rng(5);
  auto motifs = random_motifs(rng);
  RecordTexts records;
  records.names = {"good", "bad"};
  records.letters = {"ACGTACGT", "ACGT*A"};
  records.offsets = {0, 500};
  try {
    scan_records(*motifs, records, nullptr, {}, false, 1, {}, 2);
    FAIL() << "no error";
  } catch (const stream::InputError& error) {
    EXPECT_EQ(std::string(error.what()), "record 'bad', position 504: invalid character '*'");
  }
}

// The tally of a batch equals counts made hit by hit.
TEST(SiteTally, AgreesWithCountsMadeHitByHit) {
  std::mt19937 rng(6);
  auto motifs = random_motifs(rng);
  const Records records = random_records(rng);
  const HitBatch batch = scan_records(*motifs, records.view, nullptr, {}, false, 1, {});
  const std::size_t n = records.texts.size(), m = motifs->size(), bins = 4;
  std::vector<std::uint32_t> counts(n * m, 0);
  std::vector<float> best(n * m, 0.0f);
  std::vector<std::uint64_t> positions(m * bins, 0), starts, ends;
  for (std::size_t r = 0; r < n; ++r) {
    starts.push_back(records.view.offsets[r]);
    ends.push_back(records.view.offsets[r] + records.texts[r].size());
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const auto& h = batch.columns;
    const std::size_t cell = static_cast<std::size_t>(h.sequence[i]) * m + static_cast<std::size_t>(h.motif[i]);
    best[cell] = counts[cell]++ == 0 ? h.mss[i] : std::max(best[cell], h.mss[i]);
    const double centre = 0.5 * static_cast<double>(h.start[i] + h.end[i]);
    const double relative = (centre - static_cast<double>(starts[h.sequence[i]])) /
                            static_cast<double>(ends[h.sequence[i]] - starts[h.sequence[i]]);
    ++positions[static_cast<std::size_t>(h.motif[i]) * bins +
                std::min<std::size_t>(bins - 1, static_cast<std::size_t>(relative * bins))];
  }
  SiteTally tally({m, true, true, bins});
  // Two calls: the first three records, then the rest.
  const auto first = [&](std::size_t records_in) {
    HitBatch part;
    part.sequence_names = batch.sequence_names;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      const auto r = static_cast<std::size_t>(batch.columns.sequence[i]);
      if ((r < 3) != (records_in == 3)) continue;
      HitBatch one;
      one.columns.sequence = {static_cast<std::int32_t>(records_in == 3 ? r : r - 3)};
      one.columns.start = {batch.columns.start[i]};
      one.columns.end = {batch.columns.end[i]};
      one.columns.motif = {batch.columns.motif[i]};
      one.columns.strand = {batch.columns.strand[i]};
      one.columns.css = {batch.columns.css[i]};
      one.columns.mss = {batch.columns.mss[i]};
      one.columns.core = {batch.columns.core[i]};
      part.columns.append(one.columns, 0);
    }
    return part;
  };
  tally.add(first(3), 3, starts.data(), ends.data());
  tally.add(first(n - 3), n - 3, starts.data() + 3, ends.data() + 3);
  EXPECT_EQ(tally.records(), n);
  const SparseRows rows = tally.take_rows();
  ASSERT_EQ(rows.indptr.size(), n + 1);
  std::vector<std::uint64_t> sites(m, 0), with_site(m, 0);
  for (std::size_t r = 0; r < n; ++r) {
    std::size_t pair = static_cast<std::size_t>(rows.indptr[r]);
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t cell = r * m + k;
      sites[k] += counts[cell];
      with_site[k] += counts[cell] > 0;
      if (counts[cell] == 0) continue;
      ASSERT_LT(pair, static_cast<std::size_t>(rows.indptr[r + 1]));
      EXPECT_EQ(static_cast<std::size_t>(rows.indices[pair]), k);
      EXPECT_EQ(rows.counts[pair], counts[cell]);
      EXPECT_EQ(rows.max_mss[pair], best[cell]);
      ++pair;
    }
    EXPECT_EQ(pair, static_cast<std::size_t>(rows.indptr[r + 1]));
  }
  EXPECT_EQ(tally.motif_sites(), sites);
  EXPECT_EQ(tally.motif_records(), with_site);
  EXPECT_EQ(tally.positions(), positions);
  EXPECT_EQ(tally.take_rows().indptr, std::vector<std::int64_t>{0});
}

// Hits out of record order, past the batch's records or of an unknown motif
// are refused, and the tally is left as it was.
TEST(SiteTally, RefusesHitsOutOfOrderOrOfUnknownRecordsAndMotifs) {
  const struct {
    const char* what;
    std::vector<std::int32_t> sequence, motif;
  } cases[] = {{"records out of order", {1, 0}, {0, 0}},
               {"a record past the batch's", {0, 2}, {0, 1}},
               {"a negative motif", {0, 1}, {0, -1}},
               {"a motif past the set", {0, 1}, {2, 0}}};
  for (const auto& c : cases) {
    SiteTally tally({2, true, false, 0});
    HitBatch batch;
    batch.columns.sequence = c.sequence;
    batch.columns.start = {0, 0};
    batch.columns.end = {5, 5};
    batch.columns.motif = c.motif;
    batch.columns.strand = {1, 1};
    batch.columns.css = {1, 1};
    batch.columns.mss = {1, 1};
    batch.columns.core = {0, 0};
    EXPECT_THROW(tally.add(batch, 2, nullptr, nullptr), std::invalid_argument) << c.what;
    EXPECT_EQ(tally.records(), 0u) << c.what;
  }
}

TEST(CountText, WideRowsAndMatrixMarketEntries) {
  SparseRows rows;
  rows.indptr = {0, 2, 2, 3};
  rows.indices = {0, 2, 1};
  rows.counts = {3, 1, 7};
  rows.max_mss = {0.5f, 0.25f, 1.0f};
  std::string text;
  append_wide_rows(text, rows, {"a", "b", "c"}, 3, CellValue::kCount);
  EXPECT_EQ(text, "a\t3\t0\t1\nb\t0\t0\t0\nc\t0\t7\t0\n");
  text.clear();
  append_wide_rows(text, rows, {"a", "b", "c"}, 3, CellValue::kMaxScore);
  EXPECT_EQ(text, "a\t0.5\t\t0.25\nb\t\t\t\nc\t\t1\t\n");
  text.clear();
  append_matrix_market_entries(text, rows, 10, CellValue::kPresence);
  EXPECT_EQ(text, "11 1 1\n11 3 1\n13 2 1\n");
  EXPECT_THROW(append_wide_rows(text, rows, {"a"}, 3, CellValue::kCount), std::invalid_argument);
}

// Each inconsistency alone is refused by both writers, before a byte is written.
TEST(CountText, InconsistentRowsAreRefused) {
  SparseRows good;
  good.indptr = {0, 2, 3};
  good.indices = {0, 2, 1};
  good.counts = {3, 1, 7};
  good.max_mss = {0.5f, 0.25f, 1.0f};
  const std::vector<std::pair<const char*, void (*)(SparseRows&)>> faults = {
      {"no row pointers", [](SparseRows& r) { r.indptr.clear(); }},
      {"a count missing", [](SparseRows& r) { r.counts.pop_back(); }},
      {"the last pointer short of the pairs", [](SparseRows& r) { r.indptr.back() = 2; }},
      {"a best score missing", [](SparseRows& r) { r.max_mss.pop_back(); }},
  };
  for (const auto& [what, fault] : faults) {
    SparseRows rows = good;
    fault(rows);
    std::string text;
    EXPECT_THROW(append_matrix_market_entries(text, rows, 0, CellValue::kMaxScore), std::invalid_argument) << what;
    EXPECT_THROW(append_wide_rows(text, rows, {"a", "b"}, 3, CellValue::kMaxScore), std::invalid_argument) << what;
    EXPECT_EQ(text, "") << what;
  }
  std::string text;
  SparseRows counted = good;
  counted.max_mss.clear();  // best scores are needed for that value only
  append_matrix_market_entries(text, counted, 0, CellValue::kCount);
  EXPECT_EQ(text, "1 1 3\n1 3 1\n2 2 7\n");
}

}  // namespace
}  // namespace vok::regions
