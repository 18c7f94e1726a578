// The streaming engine against evaluate() on the same data and threads, and
// where the time of a FASTA scan goes: decompression, parsing, scanning and
// formatting, each timed alone.
//
//   bench_stream [MEGABASES [TRANSFAC_FILE]]   (default 20 Mbp, 100 random matrices)
//
// With a TRANSFAC file its first 100 matrices are used; thresholds css 0.9, mss 0.85.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "../src/engine/src/evaluation_on_pool.hpp"
#include "engine/evaluation.hpp"
#include "parser/transfac_reader.hpp"
#include "stream/byte_source.hpp"
#include "stream/fasta_blocks.hpp"
#include "stream/fasta_scan.hpp"
#include "stream/hit_format.hpp"
#include "stream/text_scan.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 3;
constexpr vok::Thresholds kThresholds{0.9f, 0.85f};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double median_seconds(const std::function<void()>& work, int rounds = kRounds) {
  std::vector<double> seconds;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    work();
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[seconds.size() / 2];
}

std::vector<vok::PwmMatrix> benchmark_matrices(const char* transfac_path, std::mt19937& rng) {
  std::vector<vok::PwmMatrix> matrices;
  if (transfac_path != nullptr) {
    std::ifstream in(transfac_path);
    std::stringstream text;
    text << in.rdbuf();
    auto loaded = vok::load_transfac(text.str());
    if (auto* list = std::get_if<std::vector<vok::PwmMatrix>>(&loaded)) matrices = std::move(*list);
    if (matrices.size() > 100) matrices.resize(100);
    if (matrices.empty()) std::fprintf(stderr, "no matrices read from %s\n", transfac_path);
  }
  std::uniform_int_distribution<std::size_t> length(8, 20);
  std::uniform_int_distribution<int> count(0, 30);
  while (matrices.size() < 100) {
    std::string name = "m";
    name += std::to_string(matrices.size());
    vok::PwmMatrix matrix(std::move(name), length(rng));
    for (float& value : matrix.values) value = static_cast<float>(count(rng));
    matrices.push_back(std::move(matrix));
  }
  return matrices;
}

std::string random_letters(std::size_t length, std::mt19937& rng) {
  std::string letters(length, 'A');
  for (char& c : letters) c = "ACGT"[rng() & 3];
  return letters;
}

void write_fasta(const std::string& path, const std::string& letters, bool gzip) {
  std::string text = ">chr1\n";
  for (std::size_t at = 0; at < letters.size(); at += 60) text += letters.substr(at, 60) + "\n";
  if (gzip) {
    gzFile file = gzopen(path.c_str(), "wb6");
    gzwrite(file, text.data(), static_cast<unsigned>(text.size()));
    gzclose(file);
  } else {
    std::ofstream(path, std::ios::binary) << text;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabases = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
  std::mt19937 rng(20261207);
  const auto matrices = benchmark_matrices(argc > 2 ? argv[2] : nullptr, rng);
  const std::string letters = random_letters(megabases * 1'000'000, rng);

  vok::CalculatorState state;
  state.matrices = matrices;
  state.defaults = kThresholds;
  vok::BaseSequence sequence{"chr1", {}};
  sequence.bases.reserve(letters.size());
  for (char c : letters) sequence.bases.push_back(c == 'A' ? 0 : c == 'C' ? 1 : c == 'G' ? 2 : 3);
  state.sequences.push_back(std::move(sequence));

  std::vector<vok::stream::MotifSpec> specs;
  for (const auto& matrix : matrices) specs.push_back({matrix.name, "", matrix, kThresholds});
  const auto motifs = std::make_shared<const vok::stream::MotifSet>(std::move(specs));
  vok::stream::ScanOptions reversed{vok::stream::Strand::kReversed, true};
  vok::stream::ScanOptions both{vok::stream::Strand::kBoth, false};

  std::printf("%zu matrices x %zu Mbp in memory, css %.2f mss %.2f, median of %d\n",
              matrices.size(), megabases, kThresholds.css, kThresholds.mss, kRounds);
  for (std::size_t workers : {1u, 2u}) {
    vok::WorkerPool pool(workers);
    // Rounds interleave the three cases, so a change of load hits them alike.
    std::vector<double> evaluate_s, same_s, both_s;
    std::size_t evaluate_hits = 0, same_hits = 0, both_hits = 0;
    auto timed = [](std::vector<double>& seconds, const std::function<std::size_t()>& work) {
      const auto start = Clock::now();
      const std::size_t hits = work();
      seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      return hits;
    };
    for (int round = 0; round < kRounds; ++round) {
      evaluate_hits = timed(evaluate_s, [&] { return vok::evaluate_on_pool(pool, state, nullptr).size(); });
      same_hits = timed(same_s, [&] {
        return vok::stream::scan_text(*motifs, "chr1", letters, {0, 0, letters.size()}, reversed,
                                      false, workers, nullptr)
            .size();
      });
      both_hits = timed(both_s, [&] {
        return vok::stream::scan_text(*motifs, "chr1", letters, {0, 0, letters.size()}, both,
                                      false, workers, nullptr)
            .size();
      });
    }
    const double base = median(evaluate_s);
    std::printf("  %zu worker(s): evaluate %.3f s (%zu hits); engine, same strands %.3f s "
                "(%zu hits, %.3fx); engine, reverse complement %.3f s (%zu hits, %.3fx)\n",
                workers, base, evaluate_hits, median(same_s), same_hits, median(same_s) / base,
                median(both_s), both_hits, median(both_s) / base);
  }

  // Where the time of a FASTA scan goes.
  const std::string dir = std::filesystem::temp_directory_path() /
                          ("bench_stream_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string plain = dir + "/in.fa", gzipped = dir + "/in.fa.gz";
  write_fasta(plain, letters, false);
  write_fasta(gzipped, letters, true);
  const double plain_mb = static_cast<double>(std::filesystem::file_size(plain)) / 1e6;
  const double gz_mb = static_cast<double>(std::filesystem::file_size(gzipped)) / 1e6;
  std::printf("FASTA %.1f MB (gzip %.1f MB), 2 workers:\n", plain_mb, gz_mb);

  std::vector<char> buffer(1 << 18);
  const double inflate_s = median_seconds([&] {
    vok::stream::ByteSource source(gzipped, nullptr);
    while (source.read(buffer.data(), buffer.size()) > 0) {
    }
  });
  auto parse = [&](const std::string& path) {
    return median_seconds([&] {
      vok::stream::FastaBlockReader reader({path}, false, 1 << 20, motifs->context(), nullptr);
      vok::stream::Block block;
      while (reader.next(block)) {
      }
    });
  };
  const double parse_plain_s = parse(plain), parse_gz_s = parse(gzipped);
  std::size_t hits = 0;
  std::vector<vok::stream::HitBatch> batches;
  const double scan_gz_s = median_seconds([&] {
    vok::stream::FastaScanOptions options;
    options.threads = 2;
    vok::stream::FastaScan scan(motifs, {gzipped}, options);
    hits = 0;
    batches.clear();
    while (auto chunk = scan.next(nullptr)) {
      hits += chunk->hit_count;
      batches.push_back(std::move(chunk->hits));
    }
  });
  std::string text;
  const double format_s = median_seconds([&] {
    text.clear();
    for (const auto& batch : batches) {
      vok::stream::append_hits(text, batch, *motifs, vok::stream::HitFormat::kTsv);
    }
  });
  std::printf("  decompression alone   %.3f s  (%.0f MB/s of FASTA text)\n", inflate_s,
              plain_mb / inflate_s);
  std::printf("  + parsing, plain      %.3f s  (%.0f MB/s)\n", parse_plain_s, plain_mb / parse_plain_s);
  std::printf("  + parsing, gzip       %.3f s  (%.0f MB/s)\n", parse_gz_s, plain_mb / parse_gz_s);
  std::printf("  full scan, gzip       %.3f s  (%.1f MB/s of gzip input, %.1f MB/s of FASTA), %zu hits\n",
              scan_gz_s, gz_mb / scan_gz_s, plain_mb / scan_gz_s, hits);
  std::printf("  TSV formatting        %.3f s  (%.1f ns per hit, %.1f MB of text)\n", format_s,
              hits ? format_s * 1e9 / static_cast<double>(hits) : 0.0,
              static_cast<double>(text.size()) / 1e6);
  std::filesystem::remove_all(dir);
  return 0;
}
