#include "stream/block_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

#include "scoring/site_scan.hpp"
#include "stream/letter_table.hpp"

namespace vok::stream {
namespace {

std::vector<MotifSpec> random_motifs(std::mt19937& rng, std::size_t count) {
  std::vector<MotifSpec> specs;
  std::uniform_int_distribution<int> length(3, 24), value(0, 20);
  std::uniform_real_distribution<float> threshold(0.5f, 0.9f);
  for (std::size_t k = 0; k < count; ++k) {
    std::string id = "m";
    id += std::to_string(k);
    MotifSpec spec{id, "", PwmMatrix(id, static_cast<std::size_t>(length(rng))),
                   {threshold(rng), threshold(rng)}};
    for (float& v : spec.matrix.values) v = static_cast<float>(value(rng));
    spec.matrix.values[0] += 1;  // never all zero
    specs.push_back(std::move(spec));
  }
  return specs;
}

// Bases with N runs between them.
std::vector<BaseCode> random_record(std::mt19937& rng, std::size_t length) {
  std::vector<BaseCode> codes(length);
  for (auto& code : codes) code = static_cast<BaseCode>(rng() % 4);
  for (std::size_t i = 0; i < length / 40; ++i) {
    const std::size_t at = rng() % length;
    std::fill(codes.begin() + at, codes.begin() + std::min(length, at + rng() % 6 + 1), kBreak);
  }
  return codes;
}

using Row = std::tuple<std::int64_t, std::int64_t, std::int32_t, std::int8_t, float, float, std::int64_t>;

std::vector<Row> rows_of(const HitColumns& hits) {
  std::vector<Row> rows;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    rows.emplace_back(hits.start[i], hits.end[i], hits.motif[i], hits.strand[i], hits.css[i],
                      hits.mss[i], hits.core[i]);
  }
  return rows;
}

HitColumns scan_piece(const MotifSet& motifs, const std::vector<BaseCode>& record, std::size_t from,
                      std::size_t to, std::size_t own_from, std::size_t own_to,
                      const ScanOptions& options) {
  Block block;
  block.names = {"r"};
  block.codes.assign(record.begin() + static_cast<std::ptrdiff_t>(from),
                     record.begin() + static_cast<std::ptrdiff_t>(to));
  block.parts.push_back({0, from, 0, to - from, own_from, own_to, from == 0, to == record.size()});
  ScanScratch scratch;
  return scan_block(motifs, block, options, scratch).columns;
}

// The independent account: every segment scanned whole by the one-model
// scanner, forward and reversed (complemented for kBoth), mapped to forward
// coordinates and sorted into output order.
std::vector<Row> expected(const MotifSet& motifs, const std::vector<BaseCode>& record,
                          const ScanOptions& options) {
  std::vector<Row> rows;
  std::size_t i = 0;
  while (i < record.size()) {
    while (i < record.size() && record[i] == kBreak) ++i;
    const std::size_t s = i;
    while (i < record.size() && record[i] != kBreak) ++i;
    const std::vector<BaseCode> segment(record.begin() + static_cast<std::ptrdiff_t>(s),
                                        record.begin() + static_cast<std::ptrdiff_t>(i));
    const auto n = static_cast<std::int64_t>(segment.size());
    std::vector<BaseCode> other(segment.rbegin(), segment.rend());
    if (options.strand == Strand::kBoth) {
      for (auto& code : other) code = static_cast<BaseCode>(3 - code);
    }
    for (std::size_t k = 0; k < motifs.scanned_count(); ++k) {
      const ScoringMatrix& model = motifs.model(k);
      const SiteScanner scanner(model);
      const auto m = static_cast<std::int64_t>(model.core_start);
      const auto length = static_cast<std::int64_t>(model.length);
      const auto motif = static_cast<std::int32_t>(motifs.motif_of(k));
      std::vector<SiteMatch> sites;
      scanner.scan(segment, sites);
      for (const SiteMatch& site : sites) {
        const std::int64_t x = static_cast<std::int64_t>(site.pos) - m;
        if (x + length > n && !options.partial_windows) continue;
        rows.emplace_back(s + x, s + std::min(x + length, n), motif, 1, site.css, site.mss, s + site.pos);
      }
      if (options.strand == Strand::kForward) continue;
      sites.clear();
      scanner.scan(other, sites);
      for (const SiteMatch& site : sites) {
        const std::int64_t c = static_cast<std::int64_t>(site.pos) - m;
        const std::int64_t x = n - c - length;
        if (x < 0 && !options.partial_windows) continue;
        rows.emplace_back(s + std::max<std::int64_t>(x, 0), s + n - c, motif, -1, site.css, site.mss,
                          s + n - static_cast<std::int64_t>(site.pos) - 5);
      }
    }
  }
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    return std::make_tuple(std::get<0>(a), std::get<2>(a), -std::get<3>(a), std::get<6>(a)) <
           std::make_tuple(std::get<0>(b), std::get<2>(b), -std::get<3>(b), std::get<6>(b));
  });
  return rows;
}

class BlockScan : public ::testing::TestWithParam<std::tuple<Strand, bool>> {};

TEST_P(BlockScan, PiecesWithContextGiveTheSegmentsHits) {
  const ScanOptions options{std::get<0>(GetParam()), std::get<1>(GetParam())};
  std::mt19937 rng(7);
  for (int round = 0; round < 6; ++round) {
    const MotifSet motifs(random_motifs(rng, 12));
    const auto record = random_record(rng, 50 + rng() % 1500);
    const auto want = expected(motifs, record, options);
    EXPECT_EQ(rows_of(scan_piece(motifs, record, 0, record.size(), 0, record.size(), options)), want);

    // Random cuts, each piece with exactly the promised context.
    const std::size_t context = motifs.context();
    std::vector<std::size_t> cuts = {0, record.size()};
    for (int c = 0; c < 8; ++c) cuts.push_back(rng() % record.size());
    std::sort(cuts.begin(), cuts.end());
    std::vector<Row> got;
    for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
      const std::size_t from = cuts[c] > context ? cuts[c] - context : 0;
      const std::size_t to = std::min(record.size(), cuts[c + 1] + context);
      const auto rows = rows_of(scan_piece(motifs, record, from, to, cuts[c], cuts[c + 1], options));
      got.insert(got.end(), rows.begin(), rows.end());
    }
    EXPECT_EQ(got, want);
  }
}

// Collects hits as rows and says it holds `bytes_per_hit` bytes per hit, so
// that a scan with a byte limit stops after every slice.
class RowSink final : public HitSink {
 public:
  void add(const Block&, const BlockPart&, std::span<const PendingHit> hits) override {
    for (const PendingHit& h : hits) {
      rows.emplace_back(static_cast<std::int64_t>(h.start), static_cast<std::int64_t>(h.end),
                        static_cast<std::int32_t>(h.motif), h.strand, h.css, h.mss,
                        static_cast<std::int64_t>(h.core));
    }
    ++calls;
  }
  std::size_t bytes() const override { return rows.size(); }
  std::vector<Row> rows;
  std::size_t calls = 0;
};

// A scan stopped after any slice and resumed from its cursor, with slices of
// any size, reports what one whole scan does, each hit once.
TEST_P(BlockScan, StopsAndSlicesChangeNothing) {
  const ScanOptions options{std::get<0>(GetParam()), std::get<1>(GetParam())};
  std::mt19937 rng(17);
  for (int round = 0; round < 4; ++round) {
    auto specs = random_motifs(rng, 9);
    if (round % 2 == 1) {
      for (auto& spec : specs) spec.thresholds = {0.0f, -1.0f};  // every candidate a hit
    }
    const MotifSet motifs(std::move(specs));
    const auto record = random_record(rng, 3000 + rng() % 3000);
    Block block;
    block.names = {"r"};
    // Two parts of one record, the second starting with its context.
    const std::size_t cut = record.size() / 2, context = motifs.context();
    block.codes.assign(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(cut + context));
    block.parts.push_back({0, 0, 0, cut + context, 0, cut, true, false});
    block.codes.insert(block.codes.end(), record.begin() + static_cast<std::ptrdiff_t>(cut - context),
                       record.end());
    block.parts.push_back({0, cut - context, cut + context, record.size() - cut + context, cut,
                           record.size(), false, true});
    for (std::uint64_t first_slice : {1u, 64u, 1000u}) {
      ScanScratch scratch;
      scratch.slice_letters = first_slice;
      RowSink sink;
      BlockCursor at;
      std::size_t stops = 0;
      do {
        at = scan_block(motifs, block, options, scratch, sink, at, sink.bytes() + 1);
        ++stops;
      } while (at.part < block.parts.size() && stops < 100000);
      EXPECT_EQ(sink.rows, expected(motifs, record, options)) << "first slice " << first_slice;
      EXPECT_GT(stops, 4u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Strands, BlockScan,
                         ::testing::Combine(::testing::Values(Strand::kBoth, Strand::kForward,
                                                              Strand::kReversed),
                                            ::testing::Bool()));

// A record shorter than L - 5 scans every core position (the wrapped bound),
// which only partial windows report; a piece that cannot see the segment's
// start must not take that rule for one beyond it.
TEST(BlockScanEdges, ShortSegmentsAndTheWrappedBound) {
  std::vector<MotifSpec> specs(1);
  specs[0] = {"long", "", PwmMatrix("long", 20), {0.0f, -1.0f}};
  for (std::size_t i = 0; i < 20; ++i) specs[0].matrix.at(i, i % 4) = 10;
  const MotifSet motifs(std::move(specs));
  const ScanOptions partial{Strand::kForward, true};
  for (std::size_t n : {4u, 5u, 9u, 14u, 15u, 16u, 40u}) {
    const std::vector<BaseCode> record(n, 1);
    const auto whole = rows_of(scan_piece(motifs, record, 0, n, 0, n, partial));
    EXPECT_EQ(whole, expected(motifs, record, partial)) << n;
  }
}

// Sites are the window's letters on the hit's strand in the input's case:
// reverse complement under kBoth, reversed under kReversed, cut short with
// the window.
TEST(BlockScanSites, LettersOnTheHitsStrandInTheInputsCase) {
  Block block;
  block.names = {"r"};
  const std::string letters = "ACgtAaCG";
  for (char c : letters) {
    block.codes.push_back(static_cast<BaseCode>(std::string("ACGT").find(static_cast<char>(c & ~32))));
    block.lower_case.push_back(c >= 'a');
  }
  block.parts.push_back({0, 100, 0, letters.size(), 100, 108, true, true});
  const struct {
    std::int8_t strand;
    Strand scanned;
    std::uint64_t start, end;
    const char* site;
  } cases[] = {{1, Strand::kBoth, 101, 105, "CgtA"},  {-1, Strand::kBoth, 101, 105, "TacG"},
               {-1, Strand::kReversed, 101, 105, "AtgC"}, {1, Strand::kForward, 100, 108, "ACgtAaCG"},
               {-1, Strand::kBoth, 106, 108, "CG"}};
  for (const auto& c : cases) {
    const PendingHit hit{c.start, c.end, c.start, 0, c.strand, 1.0f, 1.0f};
    std::string site(c.end - c.start, '?');
    site_letters(block, block.parts[0], hit, c.scanned, site.data());
    EXPECT_EQ(site, c.site);
  }
}

}  // namespace
}  // namespace vok::stream
