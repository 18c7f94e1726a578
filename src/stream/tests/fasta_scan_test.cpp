#include "stream/fasta_scan.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "stream/errors.hpp"
#include "stream/hit_format.hpp"
#include "stream/text_scan.hpp"

namespace vok::stream {
namespace {

std::shared_ptr<const MotifSet> some_motifs() {
  std::vector<MotifSpec> specs;
  for (std::size_t length : {6u, 11u, 17u}) {
    MotifSpec spec{"m", "", PwmMatrix("m", length), {0.6f, 0.5f}};
    for (std::size_t i = 0; i < length; ++i) spec.matrix.at(i, (i * 5 + length) % 4) = 9;
    specs.push_back(std::move(spec));
  }
  return std::make_shared<const MotifSet>(std::move(specs));
}

class FastaFile {
 public:
  explicit FastaFile(const std::string& text)
      : path_(std::filesystem::temp_directory_path() / "fasta_scan_test_") {
    path_ += std::to_string(::getpid());
    path_ += "_";
    path_ += std::to_string(counter_++);
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~FastaFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  static inline int counter_ = 0;  // distinguishes the files of one process
  std::string path_;               // the file, removed by the destructor
};

std::string random_letters(std::mt19937& rng, std::size_t length) {
  std::string letters(length, 'A');
  for (char& c : letters) c = "ACGTACGTACGTNa"[rng() % 14];
  return letters;
}

// (record name, start, motif, strand, css bits) of every hit, in order.
using Key = std::tuple<std::string, std::int64_t, std::int32_t, std::int8_t, float>;

void add_keys(std::vector<Key>& keys, const HitBatch& batch) {
  const HitColumns& h = batch.columns;
  for (std::size_t i = 0; i < h.size(); ++i) {
    keys.emplace_back(batch.sequence_names[static_cast<std::size_t>(h.sequence[i])], h.start[i],
                      h.motif[i], h.strand[i], h.css[i]);
  }
}

TEST(FastaScan, SameHitsWhateverTheThreadsAndBlocks) {
  std::mt19937 rng(11);
  const auto motifs = some_motifs();
  std::string text;
  std::vector<Key> expected;
  for (int r = 0; r < 5; ++r) {
    std::string name = "r";
    name += std::to_string(r);
    const std::string letters = random_letters(rng, rng() % 5000);
    text += ">" + name + "\n" + letters + "\n";
    add_keys(expected, scan_text(*motifs, name, letters, {0, 0, letters.size()}, {}, false, 1, nullptr));
  }
  ASSERT_GT(expected.size(), 100u);
  const FastaFile file(text);
  for (std::size_t threads : {1u, 2u, 3u}) {
    for (std::size_t block : {7u, 300u, 1u << 20}) {
      FastaScanOptions options;
      options.threads = threads;
      options.block_letters = block;
      FastaScan scan(motifs, {file.path()}, options);
      std::vector<Key> got;
      while (auto chunk = scan.next(nullptr)) add_keys(got, chunk->hits);
      EXPECT_EQ(got, expected) << threads << " threads, blocks of " << block;
      EXPECT_EQ(scan.bytes_read(), text.size());
      EXPECT_EQ(scan.bytes_total(), text.size());
    }
  }
}

TEST(FastaScan, AnErrorComesAfterTheBatchesBeforeIt) {
  std::mt19937 rng(12);
  const FastaFile file(">a\n" + random_letters(rng, 20000) + "\n>b\nAC%T\n");
  FastaScanOptions options;
  options.threads = 2;
  options.block_letters = 1000;
  FastaScan scan(some_motifs(), {file.path()}, options);
  std::uint64_t letters_before_error = 0;
  try {
    while (scan.next(nullptr)) letters_before_error = scan.bases_scanned();
    FAIL() << "no error";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), file.path() + ": record 'b', line 4: invalid character '%'");
  }
  EXPECT_EQ(letters_before_error, 20000u);
  EXPECT_FALSE(scan.next(nullptr).has_value());
}

// Lines formatted by the workers are the bytes the writer makes of the
// columns, whatever the threads, the block size, and a budget so small that
// blocks are cut into many chunks; and nothing is held beyond the budget.
TEST(FastaScan, LinesOnTheWorkersAreTheColumnsFormatted) {
  std::mt19937 rng(21);
  std::string text;
  for (int r = 0; r < 4; ++r) text += ">r" + std::to_string(r) + " x\n" + random_letters(rng, 2000 + rng() % 20000) + "\n";
  const FastaFile file(text);
  std::vector<MotifSpec> specs;
  for (std::size_t length : {6u, 9u}) {  // loose: a hit at most windows
    MotifSpec spec{"m" + std::to_string(length), "n", PwmMatrix("m", length), {0.0f, 0.0f}};
    for (std::size_t i = 0; i < length; ++i) spec.matrix.at(i, i % 4) = 3;
    specs.push_back(std::move(spec));
  }
  const auto motifs = std::make_shared<const MotifSet>(std::move(specs));
  for (const HitFormat format : {HitFormat::kTsv, HitFormat::kBedPlus}) {
    FastaScanOptions options;
    options.scan.sites = true;
    options.scan.partial_windows = true;
    std::string expected;
    {
      FastaScan scan(motifs, {file.path()}, options);
      while (auto chunk = scan.next(nullptr)) append_hits(expected, chunk->hits, *motifs, format, nullptr, true);
    }
    ASSERT_GT(expected.size(), 1u << 20);
    for (std::size_t threads : {1u, 3u}) {
      for (std::size_t budget : {std::size_t{1} << 16, std::size_t{1} << 22, std::size_t{64} << 20}) {
        FastaScanOptions lines = options;
        lines.threads = threads;
        lines.block_letters = 5000;
        lines.memory_budget = budget;
        lines.lines = LineOutput{format, nullptr};
        FastaScan scan(motifs, {file.path()}, lines);
        std::string got;
        std::size_t chunks = 0, hits = 0;
        while (auto chunk = scan.next(nullptr)) {
          got.append(chunk->text.view());
          hits += chunk->hit_count;
          EXPECT_TRUE(chunk->hits.size() == 0);
          ++chunks;
        }
        EXPECT_EQ(got, expected) << threads << " threads, budget " << budget;
        EXPECT_EQ(hits, static_cast<std::size_t>(std::count(got.begin(), got.end(), '\n')));
        EXPECT_EQ(scan.hits_total(), hits);
        if (budget < (1u << 20)) EXPECT_GT(chunks, expected.size() / (1u << 18)) << "chunks stay small";
      }
    }
  }
}

// The interruption check runs while next() waits: here on a pipe that
// stays open and silent.
TEST(FastaScan, InterruptionAndCloseStopEverything) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string silent = "/dev/fd/" + std::to_string(fds[0]);
  int checks = 0;
  {
    FastaScan scan(some_motifs(), {silent}, {});
    EXPECT_THROW(scan.next([&] { return ++checks == 3; }), ScanInterrupted);
    EXPECT_EQ(checks, 3);
    EXPECT_FALSE(scan.next(nullptr).has_value());
  }
  std::mt19937 rng(13);
  const FastaFile file(">a\n" + random_letters(rng, 200000) + "\n");
  FastaScanOptions options;
  options.threads = 2;
  options.block_letters = 500;
  {
    FastaScan scan(some_motifs(), {file.path()}, options);
    ASSERT_TRUE(scan.next(nullptr).has_value());
    scan.close();
    EXPECT_FALSE(scan.next(nullptr).has_value());
  }
  {
    FastaScan never_read(some_motifs(), {file.path()}, options);  // destroyed while running
    FastaScan waiting(some_motifs(), {silent}, options);          // destroyed while polling
  }
  ::close(fds[0]);
  ::close(fds[1]);
}

// A named pipe whose writer never comes must not keep close() waiting.
TEST(FastaScan, CloseWhileANamedPipeHasNoWriter) {
  const std::string fifo = (std::filesystem::temp_directory_path() / "fasta_scan_fifo_").string() +
                           std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  {
    FastaScan scan(some_motifs(), {fifo}, {});
    int checks = 0;
    EXPECT_THROW(scan.next([&] { return ++checks == 2; }), ScanInterrupted);
  }
  std::remove(fifo.c_str());
}

}  // namespace
}  // namespace vok::stream
