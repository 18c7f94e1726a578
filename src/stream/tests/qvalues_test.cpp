#include "stream/qvalues.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "stream/errors.hpp"

namespace vok::stream {
namespace {

// The definition, hit by hit: q_i = min over hits j of the motif with
// p_j >= p_i of p_j m / #{hits k of the motif with p_k <= p_j}, at most 1.
float defined_qvalue(const std::vector<std::int32_t>& motif, const std::vector<float>& p, std::size_t i,
                     std::uint64_t windows) {
  double best = 1.0;
  for (std::size_t j = 0; j < p.size(); ++j) {
    if (motif[j] != motif[i] || p[j] < p[i]) continue;
    std::size_t rank = 0;
    for (std::size_t k = 0; k < p.size(); ++k) rank += motif[k] == motif[i] && p[k] <= p[j];
    best = std::min(best, static_cast<double>(p[j]) * static_cast<double>(windows) / static_cast<double>(rank));
  }
  float rounded = static_cast<float>(best);
  if (static_cast<double>(rounded) < best) rounded = std::nextafter(rounded, 2.0f);
  return rounded;
}

struct Hits {
  std::vector<std::int32_t> motif;  // motif index per hit
  std::vector<float> pvalue;        // p-value per hit
};

// Hits of three motifs with p-values that repeat, as real hits' do.
Hits random_hits(std::size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> motif(0, 2), level(0, 40);
  Hits hits;
  for (std::size_t i = 0; i < count; ++i) {
    hits.motif.push_back(motif(rng));
    hits.pvalue.push_back(std::ldexp(1.0f + static_cast<float>(level(rng)) / 8.0f, -20 + level(rng) / 4));
  }
  return hits;
}

TEST(QValuesTest, EqualTheDefinitionHitByHit) {
  const std::vector<std::uint64_t> windows = {1'000'000, 37, 123'456'789};  // the middle one saturates at 1
  for (unsigned seed : {1u, 2u, 3u}) {
    const Hits hits = random_hits(300, seed);
    const std::vector<float> q = hit_qvalues(hits.motif, hits.pvalue, windows);
    for (std::size_t i = 0; i < q.size(); ++i) {
      ASSERT_EQ(q[i], defined_qvalue(hits.motif, hits.pvalue, i, windows[static_cast<std::size_t>(hits.motif[i])]))
          << "hit " << i << " p " << hits.pvalue[i];
    }
  }
  const std::vector<std::int32_t> outside = {3};
  EXPECT_THROW(hit_qvalues(outside, std::vector<float>{0.5f}, windows), std::out_of_range);
}

class QValueFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::temp_directory_path() / ("vok_qvalues_" + std::string(info->name()) + "_" +
                                                          std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string write(const std::string& name, const std::string& text) {
    const auto path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path folder_;  // scratch folder of this test
};

// TSV with a header, BED+ without: every line gains its q-value right after
// its p-value, the other fields untouched.
TEST_F(QValueFileTest, AddsTheColumnAfterThePValue) {
  const Hits hits = random_hits(200, 9);
  const std::vector<std::string> ids = {"MA1", "MA2", "MA3"};
  const std::vector<std::uint64_t> windows = {50'000, 8'000, 3'000'000};
  const std::vector<std::pair<std::string, std::uint64_t>> windows_by_id = {
      {ids[0], windows[0]}, {ids[1], windows[1]}, {ids[2], windows[2]}};
  const std::vector<float> expected = hit_qvalues(hits.motif, hits.pvalue, windows);
  const struct {
    bool tsv;
    QValueColumns columns;
  } cases[] = {{true, {3, 9}}, {false, {3, 8}}};
  for (const auto& c : cases) {
    std::string text = c.tsv ? "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue\n" : "";
    std::string wanted = c.tsv ? "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue\tqvalue\n" : "";
    for (std::size_t i = 0; i < hits.pvalue.size(); ++i) {
      std::ostringstream front;
      const auto& id = ids[static_cast<std::size_t>(hits.motif[i])];
      front << "chr1\t" << i << '\t' << i + 9 << '\t' << id << (c.tsv ? "\tNAME\t+\t0.9\t0.8\t" : "\t800\t+\t0.9\t0.8")
            << (c.tsv ? std::to_string(i + 3) : "") << '\t';
      char p[32], q[32];
      const std::string p_text(p, std::to_chars(p, p + 32, hits.pvalue[i]).ptr);
      text += front.str() + p_text + "\n";
      wanted += front.str() + p_text + '\t' + std::string(q, std::to_chars(q, q + 32, expected[i]).ptr) + "\n";
    }
    const std::string lines = write("lines.tsv", text);
    const std::string result = (folder_ / "out.tsv").string();
    {
      OutputSink out(result, false);
      add_qvalue_column(lines, out, c.columns, windows_by_id);
      out.close();
    }
    EXPECT_EQ(read(result), wanted) << (c.tsv ? "tsv" : "bed+");
  }
}

TEST_F(QValueFileTest, RefusesLinesItCannotRead) {
  const std::vector<std::pair<std::string, std::uint64_t>> windows = {{"MA1", 100}};
  const struct {
    const char* text;  // the lines
  } cases[] = {{"chr1\t0\t9\tMA9\tN\t+\t0.9\t0.8\t3\t0.001\n"},  // a motif without windows
               {"chr1\t0\t9\tMA1\tN\t+\t0.9\n"},                 // no p-value field
               {"chr1\t0\t9\tMA1\tN\t+\t0.9\t0.8\t3\tnan?\n"}};  // a p-value that is no number
  for (const auto& c : cases) {
    const std::string lines = write("bad.tsv", c.text);
    OutputSink out((folder_ / "out.tsv").string(), false);
    EXPECT_THROW(add_qvalue_column(lines, out, {3, 9}, windows), InputError) << c.text;
  }
}

}  // namespace
}  // namespace vok::stream
