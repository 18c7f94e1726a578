// Random byte edits of valid texts: the readers must not crash or read past
// the text, their remainders must be tails of the input, and the loads must
// agree with them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "parser/fasta_reader.hpp"
#include "parser/number_token.hpp"
#include "parser/profile_reader.hpp"
#include "parser/transfac_reader.hpp"
#include "scoring/internal_failure.hpp"
#include "test_text.hpp"

namespace vok {
namespace {

constexpr unsigned kSeed = 7741;
constexpr int kVariants = 3000;

// Applies one to eight random edits, insertions or deletions, biased
// towards the characters the grammars care about.
std::string mutate(std::string text, std::mt19937& rng) {
  static const std::string kInteresting = "\n\r \t/>,.+-eE0123456789ACGTnaifIDPO";
  const int edits = std::uniform_int_distribution<int>(1, 8)(rng);
  for (int e = 0; e < edits; ++e) {
    const int kind = std::uniform_int_distribution<int>(0, 2)(rng);
    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, text.size())(rng);
    char byte = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
    if (std::uniform_int_distribution<int>(0, 3)(rng) != 0) {
      byte = kInteresting[std::uniform_int_distribution<std::size_t>(0, kInteresting.size() - 1)(rng)];
    }
    if (kind == 0 && at < text.size()) {
      text[at] = byte;
    } else if (kind == 1) {
      text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), byte);
    } else if (at < text.size()) {
      text.erase(at, 1);
    }
  }
  return text;
}

const std::string kTransfac =
    "VV  table\nXX\n//\nAC  M1\nID  M_ONE\nPO  A C G T\n01  1 2 0 7\n02  0 0 10 0\n"
    "03  2.5 2.5 2.5 2.5\n04 -1e2 .5 3. inf\nXX\n//\r\nID  M two\r\nP0 A C G T\r\n"
    "1 1 1 1 1\r\n2 4 3 2 1\r\n//\n";
const std::string kProfile =
    "1 0.75 0.80 D00001 DEMO_01\n1,0.9,0.85,D00002,DEMO_02\r\n1\t0.5\t0.6\tD00003\tDEMO 3\n";
const std::string kFasta = ">seq1 first\nACGTAC\nGTTA\r\n>seq2\tx\nacgt NNNN\n\nccgg\n>e\n>f\nAC-GT\n";

// Row positions are bounded before converting: a mutation can write a huge
// position, whose matrix would be as large as the number says.
bool small_rows(const TransfacReadResult& read) {
  for (const auto& record : read.records) {
    for (const auto& line : record.lines) {
      const auto* row = std::get_if<TransfacRow>(&line);
      if (row && row->position > 100000) return false;
    }
  }
  return true;
}

TEST(Robustness, TransfacMutations) {
  std::mt19937 rng(kSeed);
  for (int v = 0; v < kVariants; ++v) {
    const test::TextAtPageEnd placed(mutate(kTransfac, rng));
    const std::string_view text = placed.view();
    const TransfacReadResult read = read_transfac(text);
    ASSERT_TRUE(test::is_tail_view(text, read.remainder)) << "seed " << kSeed << " variant " << v;
    for (const auto& record : read.records) ASSERT_FALSE(record.lines.empty());
    if (!small_rows(read)) continue;
    try {
      auto loaded = load_transfac(text);
      if (!read.remainder.empty()) {
        ASSERT_EQ(std::get<ReaderError>(loaded).message, incomplete_parse_message(read.remainder));
      } else if (const auto* matrices = std::get_if<std::vector<PwmMatrix>>(&loaded)) {
        ASSERT_EQ(matrices->size(), read.records.size());
      } else {
        const std::string& message = std::get<ReaderError>(loaded).message;
        ASSERT_TRUE(message == "NoId" || message == "NoRows") << message;
      }
    } catch (const InternalFailure& failure) {
      const std::string what = failure.what();
      ASSERT_TRUE(what == "Matrix init. from iterator: iterator not long enough." ||
                  what == "Matrix slicing out of bounds.")
          << what;
    }
  }
}

TEST(Robustness, ProfileMutations) {
  std::mt19937 rng(kSeed + 1);
  for (int v = 0; v < kVariants; ++v) {
    const test::TextAtPageEnd placed(mutate(kProfile, rng));
    const std::string_view text = placed.view();
    const ProfileReadResult read = read_profile(text);
    ASSERT_TRUE(test::is_tail_view(text, read.remainder)) << "seed " << kSeed + 1 << " variant " << v;
    for (const auto& [id, cutoffs] : read.cutoffs) {
      ASSERT_EQ(id.find_first_of("\r\n"), std::string::npos);
      ASSERT_FALSE(std::isnan(cutoffs.css) || std::isnan(cutoffs.mss));
    }
    auto loaded = load_profile(text);
    if (read.remainder.empty()) {
      ASSERT_EQ(std::get<CutoffMap>(loaded).size(), read.cutoffs.size());
    } else {
      ASSERT_EQ(std::get<ReaderError>(loaded).message, incomplete_parse_message(read.remainder));
    }
  }
}

TEST(Robustness, FastaMutations) {
  std::mt19937 rng(kSeed + 2);
  for (int v = 0; v < kVariants; ++v) {
    const test::TextAtPageEnd placed(mutate(kFasta, rng));
    const std::string_view text = placed.view();
    const FastaReadResult read = read_fasta(text);
    ASSERT_TRUE(test::is_tail_view(text, read.remainder)) << "seed " << kSeed + 2 << " variant " << v;
    // Either nothing is read or everything is.
    ASSERT_TRUE(read.remainder.empty() || read.remainder.size() == text.size());
    for (const auto& record : read.records) {
      ASSERT_EQ(record.name.find('\n'), std::string::npos);
      for (const char c : record.seq) ASSERT_TRUE(std::isalpha(static_cast<unsigned char>(c)));
      const auto bases = to_bases(record);
      ASSERT_EQ(bases.has_value(), record.seq.find_first_not_of("ACGT") == std::string::npos);
    }
    auto loaded = load_fasta(text);
    if (read.remainder.empty()) {
      ASSERT_EQ(std::get<std::vector<FastaRecord>>(loaded).size(), read.records.size());
    } else {
      ASSERT_EQ(std::get<ReaderError>(loaded).message, incomplete_parse_message(read.remainder));
    }
  }
}

// Every cut of the valid texts, ending where readable memory ends.
TEST(Robustness, NoReaderReadsPastTheText) {
  for (const std::string& text : {kTransfac, kProfile, kFasta}) {
    for (std::size_t length = 0; length <= text.size(); ++length) {
      const test::TextAtPageEnd placed(std::string_view(text).substr(0, length));
      const std::string_view cut = placed.view();
      EXPECT_TRUE(test::is_tail_view(cut, read_transfac(cut).remainder));
      EXPECT_TRUE(test::is_tail_view(cut, read_profile(cut).remainder));
      EXPECT_TRUE(test::is_tail_view(cut, read_fasta(cut).remainder));
      for (std::size_t from = 0; from <= length; ++from) read_number(cut.substr(from));
    }
  }
}

}  // namespace
}  // namespace vok
