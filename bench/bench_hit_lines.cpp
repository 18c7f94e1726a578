// CPU per hit of the output lines the scan's workers write: the hits of a
// scan are recorded once, then formatted again and again (TSV with the
// pvalue column, TSV alone, BED+ with sites), timed on the thread's CPU clock.
//
//   bench_hit_lines TRANSFAC_FILE [MEGABASES [CSS MSS | p P]]   (default 5 Mbp, css 0.85, mss 0.85)
//
// With "p P" each motif gets the thresholds the scanner chooses for the rate
// P (uniform background), as users run it.
#include <time.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "parser/transfac_reader.hpp"
#include "stats/matrix_statistics.hpp"
#include "stream/block_scan.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/line_sink.hpp"
#include "stream/text_buffer.hpp"

namespace {

double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Keeps every slice of hits with the part it belongs to.
class RecordingSink final : public vok::stream::HitSink {
 public:
  void add(const vok::stream::Block&, const vok::stream::BlockPart& part,
           std::span<const vok::stream::PendingHit> hits) override {
    slices.push_back({&part, {hits.begin(), hits.end()}});
    count += hits.size();
  }
  std::size_t bytes() const override { return 0; }

  std::vector<std::pair<const vok::stream::BlockPart*, std::vector<vok::stream::PendingHit>>> slices;
  std::size_t count = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_hit_lines TRANSFAC_FILE [MEGABASES [CSS MSS | p P]]\n");
    return 2;
  }
  const std::size_t megabases = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 5;
  const bool by_rate = argc > 4 && std::string(argv[3]) == "p";
  const double rate = by_rate ? std::strtod(argv[4], nullptr) : 0.0;
  const vok::Thresholds thresholds{argc > 4 && !by_rate ? std::strtof(argv[3], nullptr) : 0.85f,
                                   argc > 4 && !by_rate ? std::strtof(argv[4], nullptr) : 0.85f};
  std::ifstream in(argv[1]);
  std::stringstream text;
  text << in.rdbuf();
  auto loaded = vok::load_transfac(text.str());
  auto* matrices = std::get_if<std::vector<vok::PwmMatrix>>(&loaded);
  if (matrices == nullptr || matrices->empty()) {
    std::fprintf(stderr, "no matrices read from %s\n", argv[1]);
    return 1;
  }
  std::vector<vok::stream::MotifSpec> specs;
  for (const auto& matrix : *matrices) {
    vok::Thresholds chosen = thresholds;
    if (by_rate) {
      auto built = vok::build_scoring_matrix(matrix, vok::Thresholds{});
      if (const auto* model = std::get_if<vok::ScoringMatrix>(&built)) {
        const vok::MatrixStatistics stats(*model, vok::uniform_background());
        chosen.mss = stats.threshold_for_pvalue(rate, 0.0f);
        chosen.css = stats.css_threshold_keeping(chosen.mss);
      }
    }
    specs.push_back({matrix.name, matrix.name, matrix, chosen});
  }
  const vok::stream::MotifSet motifs(std::move(specs));
  const vok::stream::HitPValues pvalues(motifs, vok::uniform_background(), true);

  std::mt19937 rng(5);
  vok::stream::Block block;
  block.names = {"chr1"};
  block.codes.resize(megabases * 1'000'000);
  block.lower_case.resize(block.codes.size());
  for (std::size_t i = 0; i < block.codes.size(); ++i) {
    block.codes[i] = static_cast<vok::BaseCode>(rng() & 3);
    block.lower_case[i] = (i / 5000) % 3 == 0;
  }
  block.parts.push_back({0, 0, 0, block.codes.size(), 0, block.codes.size(), true, true});
  vok::stream::ScanScratch scratch;
  RecordingSink recorded;
  vok::stream::scan_block(motifs, block, {}, scratch, recorded);
  if (by_rate) {
    std::printf("%zu matrices x %zu Mbp, thresholds for p = %g", motifs.size(), megabases, rate);
  } else {
    std::printf("%zu matrices x %zu Mbp, css %.2f mss %.2f", motifs.size(), megabases, thresholds.css, thresholds.mss);
  }
  std::printf(": %zu hits; p-value tables %.1f MB\n", recorded.count, static_cast<double>(pvalues.memory_bytes()) / 1e6);

  struct Case {
    const char* name;
    vok::stream::HitFormat format;
    const vok::stream::HitPValues* pvalues;
    bool site;
  } cases[] = {{"TSV + pvalue", vok::stream::HitFormat::kTsv, &pvalues, false},
               {"TSV", vok::stream::HitFormat::kTsv, nullptr, false},
               {"BED+ + pvalue + site", vok::stream::HitFormat::kBedPlus, &pvalues, true}};
  for (const Case& c : cases) {
    const vok::stream::HitLineFormat layout(motifs, c.format, c.pvalues, c.site);
    std::vector<double> seconds;
    std::size_t bytes = 0;
    vok::stream::TextBuffer out;  // reused like the chunks of a scan, a few MB each
    for (int round = 0; round < 5; ++round) {
      bytes = 0;
      const double start = thread_seconds();
      for (const auto& [part, hits] : recorded.slices) {
        vok::stream::LineSink sink(layout, vok::stream::Strand::kBoth, out);
        sink.add(block, *part, hits);
        if (out.size() > (4u << 20)) {
          bytes += out.size();
          out.clear();
        }
      }
      seconds.push_back(thread_seconds() - start);
      bytes += out.size();
      out.clear();
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("  %-22s %6.1f ns CPU per hit (median of 5), %.1f bytes per line\n", c.name,
                seconds[2] * 1e9 / static_cast<double>(recorded.count),
                static_cast<double>(bytes) / static_cast<double>(recorded.count));
  }
  // The p-value lookups alone, in output order and in motif order.
  std::vector<vok::stream::PendingHit> all;
  for (const auto& slice : recorded.slices) all.insert(all.end(), slice.second.begin(), slice.second.end());
  // Into an array, as the line writer looks a slice's p-values up.
  std::vector<float> looked_up(all.size());
  auto lookups = [&](const char* name) {
    const double start = thread_seconds();
    pvalues.look_up(all.size(), [&](std::size_t h) -> const vok::stream::PendingHit& { return all[h]; },
                    looked_up.data());
    const double seconds = thread_seconds() - start;
    float sum = 0;
    for (const float value : looked_up) sum += value;
    std::printf("  p-value lookups, %-12s %6.1f ns CPU per hit (%g)\n", name,
                seconds * 1e9 / static_cast<double>(all.size()), sum);
  };
  // The first pass also counts exactly the loose scores first seen; the
  // second shows the amortised cost of a long scan.
  lookups("by start, first");
  lookups("by start");
  {
    std::vector<float> values;
    for (const auto& hit : all) values.push_back(pvalues(static_cast<std::int32_t>(hit.motif), hit.strand, hit.mss));
    char buffer[32];
    std::size_t length = 0;
    double start = thread_seconds();
    for (float value : values) length += static_cast<std::size_t>(std::to_chars(buffer, buffer + 32, value).ptr - buffer);
    std::printf("  to_chars of the p-values     %6.1f ns CPU per hit (%zu)\n",
                (thread_seconds() - start) * 1e9 / static_cast<double>(values.size()), length);
    start = thread_seconds();
    for (const auto& hit : all) length += static_cast<std::size_t>(std::to_chars(buffer, buffer + 32, hit.mss).ptr - buffer);
    std::printf("  to_chars of the mss          %6.1f ns CPU per hit (%zu)\n",
                (thread_seconds() - start) * 1e9 / static_cast<double>(values.size()), length);
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.motif < b.motif; });
  lookups("by motif");
  return 0;
}
