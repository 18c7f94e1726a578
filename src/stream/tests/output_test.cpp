#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "stream/byte_source.hpp"
#include "stream/errors.hpp"
#include "stream/hit_format.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/output_sink.hpp"

namespace vok::stream {
namespace {

MotifSet two_motifs() {
  std::vector<MotifSpec> specs;
  for (const char* id : {"MA0001.1", "MA0002.1"}) {
    MotifSpec spec{id, id[5] == '1' ? "AGL3" : "", PwmMatrix(id, 6), {0.5f, 0.5f}};
    for (std::size_t i = 0; i < 6; ++i) spec.matrix.at(i, i % 4) = 5;
    specs.push_back(std::move(spec));
  }
  return MotifSet(std::move(specs));
}

HitBatch batch_of(std::vector<float> mss) {
  HitBatch batch;
  batch.sequence_names = {"chr1", "chr2"};
  for (std::size_t i = 0; i < mss.size(); ++i) {
    HitColumns& h = batch.columns;
    h.sequence.push_back(static_cast<std::int32_t>(i % 2));
    h.start.push_back(static_cast<std::int64_t>(10 * i));
    h.end.push_back(static_cast<std::int64_t>(10 * i + 6));
    h.motif.push_back(static_cast<std::int32_t>(i % 2));
    h.strand.push_back(i % 2 ? -1 : 1);
    h.css.push_back(0.1f);
    h.mss.push_back(mss[i]);
    h.core.push_back(static_cast<std::int64_t>(10 * i + 1));
  }
  return batch;
}

TEST(HitFormat, Lines) {
  const MotifSet motifs = two_motifs();
  const HitBatch batch = batch_of({0.85f, 1.0f});
  std::string tsv = hit_header(HitFormat::kTsv), bed, bed_plus;
  append_hits(tsv, batch, motifs, HitFormat::kTsv);
  append_hits(bed, batch, motifs, HitFormat::kBed);
  append_hits(bed_plus, batch, motifs, HitFormat::kBedPlus);
  EXPECT_EQ(tsv,
            "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\n"
            "chr1\t0\t6\tMA0001.1\tAGL3\t+\t0.1\t0.85\t1\n"
            "chr2\t10\t16\tMA0002.1\t\t-\t0.1\t1\t11\n");
  EXPECT_EQ(bed, "chr1\t0\t6\tMA0001.1\t850\t+\nchr2\t10\t16\tMA0002.1\t1000\t-\n");
  EXPECT_EQ(bed_plus,
            "chr1\t0\t6\tMA0001.1\t850\t+\t0.1\t0.85\nchr2\t10\t16\tMA0002.1\t1000\t-\t0.1\t1\n");
  EXPECT_EQ(hit_header(HitFormat::kBed), "");
}

TEST(HitFormat, IntegersOfAnySize) {
  const MotifSet motifs = two_motifs();
  HitBatch batch = batch_of({0.5f});
  for (std::int64_t value : {std::int64_t{0}, std::int64_t{9}, std::int64_t{10}, std::int64_t{99},
                             std::int64_t{100}, std::int64_t{9876543210123}, std::int64_t{-7},
                             std::numeric_limits<std::int64_t>::max(),
                             std::numeric_limits<std::int64_t>::min()}) {
    batch.columns.core[0] = value;
    std::string line;
    append_hits(line, batch, motifs, HitFormat::kTsv);
    EXPECT_EQ(line.substr(line.rfind('\t') + 1), std::to_string(value) + "\n");
  }
}

TEST(HitFormat, BedScoresRoundHalfUpWithinZeroToThousand) {
  const MotifSet motifs = two_motifs();
  const std::vector<std::pair<float, std::string>> cases = {
      {0.0625f, "63"}, {0.9375f, "938"}, {-0.25f, "0"}, {1.5f, "1000"}, {0.0004f, "0"}};
  for (const auto& [mss, score] : cases) {
    std::string line;
    append_hits(line, batch_of({mss}), motifs, HitFormat::kBed);
    EXPECT_EQ(line, "chr1\t0\t6\tMA0001.1\t" + score + "\t+\n") << mss;
  }
}

TEST(HitFormat, ScoresAreTheShortestRoundTripText) {
  const MotifSet motifs = two_motifs();
  for (float value : {0.85f, 0.1f, 1.0f / 3.0f, 0.99999994f, 1e-7f, 0.0f}) {
    std::string line;
    append_hits(line, batch_of({value}), motifs, HitFormat::kBedPlus);
    const std::string text = line.substr(line.rfind('\t') + 1, line.size() - line.rfind('\t') - 2);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
    char shorter[32];
    for (int digits = 1; digits < 9; ++digits) {
      std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
      if (std::strtof(shorter, nullptr) == value) {
        // No shorter significand reads back: ours has at most `digits` digits.
        std::string significand;
        for (char c : text) {
          if (c == 'e') break;
          if (c >= '0' && c <= '9') significand += c;
        }
        significand.erase(0, significand.find_first_not_of('0'));
        EXPECT_LE(significand.size(), static_cast<std::size_t>(digits)) << text;
        break;
      }
    }
  }
}

TEST(HitFormat, RefusesIndexesOutOfRange) {
  const MotifSet motifs = two_motifs();
  HitBatch batch = batch_of({0.5f});
  batch.columns.motif[0] = 2;
  std::string out;
  EXPECT_THROW(append_hits(out, batch, motifs, HitFormat::kTsv), std::out_of_range);
}

// The room reserved for a line holds the longest line its fields can make:
// integers of twenty characters, floats of the longest shortest text, a
// motif of 40 positions with its site, in every format and column choice.
TEST(HitFormat, TheLongestLineFitsTheRoomReserved) {
  MotifSpec spec{"MA9999.1", "long", PwmMatrix("MA9999.1", 40), {0.5f, 0.5f}};
  for (std::size_t i = 0; i < 40; ++i) spec.matrix.at(i, i % 4) = 5;
  const MotifSet motifs(std::vector<MotifSpec>{spec});
  const HitPValues pvalues(motifs, uniform_background(), true);
  const float longest_float = -1.04640944e+37f;  // nine significant digits, a sign, a two-digit exponent
  char text[32];
  ASSERT_EQ(std::to_chars(text, text + sizeof text, longest_float).ptr - text, 15);
  const std::string site(40, 'a');
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  for (const HitFormat format : {HitFormat::kTsv, HitFormat::kBed, HitFormat::kBedPlus}) {
    for (const bool with_site : {false, true}) {
      for (const bool with_region : {false, true}) {
        const HitLineFormat layout(motifs, format, &pvalues, with_site, with_region);
        const HitFields hit{"", "", kMin, kMin, kMin, 0, -1, longest_float, longest_float, site, longest_float};
        std::string line(layout.longest_line(0) + 256, '\0');
        const char* end = layout.put(line.data(), hit);
        EXPECT_LE(static_cast<std::size_t>(end - line.data()), layout.longest_line(0))
            << static_cast<int>(format) << " site " << with_site << " region " << with_region;
      }
    }
  }
}

std::string temp_path(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string(name) + "_" + std::to_string(::getpid())))
      .string();
}

TEST(OutputSink, CompressedOutputReadsBackThroughTheByteSource) {
  const std::string path = temp_path("sink.gz");
  std::string expected;
  {
    OutputSink sink(path, true);
    for (int i = 0; i < 2000; ++i) {
      const std::string line = "line " + std::to_string(i * 7919 % 1000) + "\n";
      sink.write(line);
      expected += line;
    }
    sink.close();
    sink.close();  // a second close does nothing
  }
  ByteSource source(path, nullptr);
  std::string got(expected.size() + 10, '\0');
  std::size_t total = 0;
  while (std::size_t n = source.read(got.data() + total, got.size() - total)) total += n;
  got.resize(total);
  EXPECT_TRUE(source.compressed());
  EXPECT_EQ(got, expected);
  std::remove(path.c_str());
}

TEST(OutputSink, ClosedPipeIsEpipe) {
  std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  OutputSink sink("/dev/fd/" + std::to_string(fds[1]), false);
  try {
    sink.write("x");
    FAIL();
  } catch (const FileError& error) {
    EXPECT_EQ(error.os_code, EPIPE);
  }
  ::close(fds[1]);
}

TEST(ByteSource, DataAfterTheGzipStreamIsAnError) {
  const std::string path = temp_path("trailing.gz");
  {
    OutputSink sink(path, true);
    sink.write("ACGT\n");
    sink.close();
  }
  std::ofstream(path, std::ios::app | std::ios::binary) << "garbage";
  ByteSource source(path, nullptr);
  char buffer[64];
  try {
    while (source.read(buffer, sizeof buffer) > 0) {
    }
    FAIL();
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), path + ": data after the end of the gzip stream");
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace vok::stream
