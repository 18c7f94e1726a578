#include "parser/fasta_reader.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_text.hpp"

namespace vok {
namespace {

using Records = std::vector<std::pair<std::string, std::string>>;  // name, seq

// A load's records or its message.
struct Outcome {
  Records records;
  std::string message;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "message=\"" << o.message << "\" records:";
  for (const auto& [name, seq] : o.records) *os << " [" << name << "|" << seq << "]";
}

Records as_pairs(const std::vector<FastaRecord>& records) {
  Records out;
  for (const auto& r : records) out.emplace_back(r.name, r.seq);
  return out;
}

Outcome load(std::string_view text) {
  auto result = load_fasta(text);
  if (auto* error = std::get_if<ReaderError>(&result)) return {{}, error->message};
  return {as_pairs(std::get<std::vector<FastaRecord>>(result)), ""};
}

Outcome records(Records list) { return {std::move(list), ""}; }
Outcome unread(std::string remainder) { return {{}, "Could not parse completly. " + remainder}; }

const std::string kDemo =
    ">seq1 first demo read\n"
    "ACGTAC\n"
    "GTTA\n"
    ">seq2\n"
    "acgt NNNN\n"
    "ccgg\n";

struct LoadCase {
  std::string label;
  std::string text;
  Outcome expected;
};

class FastaLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(FastaLoadTest, GivesExpectedOutcome) { EXPECT_EQ(load(GetParam().text), GetParam().expected); }

TEST_P(FastaLoadTest, CrLfLineEndsGiveTheSameOutcome) {
  Outcome expected = GetParam().expected;
  expected.message = test::with_crlf(expected.message);
  EXPECT_EQ(load(test::with_crlf(GetParam().text)), expected);
}

std::string label_of(const ::testing::TestParamInfo<LoadCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Records, FastaLoadTest,
    ::testing::Values(
        LoadCase{"WorkedExample", kDemo, records({{"seq1", "ACGTACGTTA"}, {"seq2", "acgtNNNNccgg"}})},
        LoadCase{"EmptyText", "", records({})},
        LoadCase{"HeaderAfterHeader", ">a\n>b\nAC\n", records({{"a", ""}, {"b", "AC"}})},
        LoadCase{"HeaderAtEndOfText", ">a b", records({{"a", ""}})},
        LoadCase{"BlanksInsideSequence", ">a\nACGT ACGT\n\t AC\n\n", records({{"a", "ACGTACGTAC"}})},
        LoadCase{"GapEndsSequence", ">a\nAC-GT\nTT\n>b\nGG\n", records({{"a", "AC"}, {"b", "GG"}})},
        LoadCase{"DigitEndsSequence", ">a\nAC 12 GT\n", records({{"a", "AC"}})},
        LoadCase{"LeadingDigitGivesEmpty", ">a\n1 ACGT\n61 ACGT\n", records({{"a", ""}})},
        LoadCase{"NonAsciiEndsSequence", ">a\nAC\xc3\xa9GT\n", records({{"a", "AC"}})},
        LoadCase{"NameIsWholeHeader", ">a|b.c\nA\n", records({{"a|b.c", "A"}})},
        LoadCase{"NameBeforeTrailingSpace", ">a \nA\n", records({{"a", "A"}})},
        LoadCase{"NameBeforeTab", ">a\tdesc\nA\n", records({{"a", "A"}})},
        LoadCase{"SpaceTestedBeforeTab", ">a\tb c\nA\n", records({{"a\tb", "A"}})},
        LoadCase{"EmptyName", "> x\nA\n", records({{"", "A"}})},
        LoadCase{"GreaterThanInsideLine", ">a\nAC>b c\nGT\n", records({{"a", "AC"}, {"b", "GT"}})},
        LoadCase{"GreaterThanAfterForeignCharacter", ">a\nAC-GT>b\nGT\n",
                 records({{"a", "AC"}, {"b", "GT"}})},
        LoadCase{"GreaterThanInHeaderIsHeaderText", ">a>b\nAC\n", records({{"a>b", "AC"}})},
        LoadCase{"BlankLineBeforeFirstHeader", "\n>a\nAC\n", unread("\n>a\nAC\n")},
        LoadCase{"HeaderLoneCrStaysInName", ">a\rb c\nAC\n", records({{"a\rb", "AC"}})},
        LoadCase{"LoneCrInSequenceIsWhiteSpace", ">a\nAC\rGT", records({{"a", "ACGT"}})}),
    label_of);

// The sequence rule written plainly, byte by byte, as the reference for
// the word-at-a-time reader.
Records reference_read(std::string_view text) {
  Records out;
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == '>') {
    std::size_t line_end = text.find('\n', pos);
    if (line_end == std::string_view::npos) line_end = text.size();
    std::string_view header = text.substr(pos + 1, line_end - pos - 1);
    if (line_end < text.size() && !header.empty() && header.back() == '\r') header.remove_suffix(1);
    std::size_t cut = header.find(' ');
    if (cut == std::string_view::npos) cut = header.find('\t');
    std::string name(header.substr(0, cut));
    std::size_t next = std::min(text.size(), line_end + 1);
    std::size_t end = text.find('>', next);
    if (end == std::string_view::npos) end = text.size();
    std::string seq;
    for (std::size_t i = next; i < end; ++i) {
      const char c = text[i];
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
        seq.push_back(c);
      } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
        break;
      }
    }
    out.emplace_back(std::move(name), std::move(seq));
    pos = end;
  }
  return out;
}

TEST(FastaRead, MatchesPlainReferenceOnRandomTexts) {
  constexpr unsigned kSeed = 20240611;
  std::mt19937 rng(kSeed);
  // Mostly letter runs of every length (to cross word boundaries), with
  // white space, foreign bytes and record starts sprinkled in.
  const std::string letters = "ACGTNacgtnZz@[`{";  // the last four border the letter ranges
  const std::string others = " \t\r\n\n>-1*\x80\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string text = ">";
    const int pieces = std::uniform_int_distribution<int>(0, 12)(rng);
    for (int p = 0; p < pieces; ++p) {
      const int run = std::uniform_int_distribution<int>(0, 40)(rng);
      for (int i = 0; i < run; ++i) {
        // The border characters are rare so long pure letter runs occur.
        const int pick = std::uniform_int_distribution<int>(0, 99)(rng);
        text.push_back(pick < 96 ? letters[pick % 12] : letters[12 + pick % 4]);
      }
      text.push_back(others[std::uniform_int_distribution<std::size_t>(0, others.size() - 1)(rng)]);
    }
    const FastaReadResult read = read_fasta(text);
    ASSERT_TRUE(read.remainder.empty());
    ASSERT_EQ(as_pairs(read.records), reference_read(text)) << "seed " << kSeed << " round " << round;
  }
}

TEST(FastaRead, LongRecordIsHeldAtExactSize) {
  std::string text = ">long\n";
  for (int line = 0; line < 200; ++line) text += std::string(60, "ACGT"[line % 4]) + "\r\n";
  const FastaReadResult read = read_fasta(text);
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_EQ(read.records[0].seq.size(), 12000u);
  EXPECT_EQ(read.records[0].seq.capacity(), 12000u);
}

TEST(FastaRead, RemainderViewsIntoInput) {
  const std::string text = " >a\nAC\n";
  const FastaReadResult read = read_fasta(text);
  EXPECT_TRUE(read.records.empty());
  EXPECT_EQ(read.remainder.data(), text.data());
  EXPECT_EQ(read.remainder.size(), text.size());
}

struct BasesCase {
  std::string seq;
  bool converts;
};

class ToBasesTest : public ::testing::TestWithParam<BasesCase> {};

TEST_P(ToBasesTest, MapsExactlyUpperCaseAcgt) {
  const BasesCase& c = GetParam();
  const auto bases = to_bases(FastaRecord{"name", c.seq});
  ASSERT_EQ(bases.has_value(), c.converts);
  if (!c.converts) return;
  EXPECT_EQ(bases->name, "name");
  ASSERT_EQ(bases->bases.size(), c.seq.size());
  for (std::size_t i = 0; i < c.seq.size(); ++i) {
    EXPECT_EQ(kBaseLetters[bases->bases[i]], c.seq[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Letters, ToBasesTest,
    ::testing::Values(BasesCase{"", true}, BasesCase{"ACGTACGTTA", true},
                      BasesCase{"acgt", false}, BasesCase{"ACGTN", false}, BasesCase{"U", false},
                      BasesCase{"AC1", false}, BasesCase{"AC\xc3\x89", false},
                      BasesCase{std::string(10000, 'G') + "T", true},
                      BasesCase{std::string(9000, 'A') + "n" + std::string(100, 'C'), false}));

}  // namespace
}  // namespace vok
