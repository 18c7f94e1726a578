#include "parser/transfac_reader.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "scoring/internal_failure.hpp"
#include "test_text.hpp"

namespace vok {
namespace {

using Row = std::array<float, 4>;

struct Matrix {
  std::string name;
  std::vector<Row> rows;
  bool operator==(const Matrix&) const = default;
};

// Everything a load can end in, in one comparable value.
struct Outcome {
  std::vector<Matrix> matrices;  // on success
  std::string message;           // the load's message, if it refused
  std::string failure;           // an internal failure's message, if one was thrown
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "message=\"" << o.message << "\" failure=\"" << o.failure << "\" matrices:";
  for (const auto& m : o.matrices) {
    *os << " [" << m.name << ":";
    for (const auto& r : m.rows) *os << " (" << r[0] << "," << r[1] << "," << r[2] << "," << r[3] << ")";
    *os << "]";
  }
}

Outcome load(std::string_view text) {
  Outcome outcome;
  try {
    auto result = load_transfac(text);
    if (auto* error = std::get_if<ReaderError>(&result)) {
      outcome.message = error->message;
      return outcome;
    }
    for (const PwmMatrix& m : std::get<std::vector<PwmMatrix>>(result)) {
      Matrix copy{m.name, {}};
      for (std::size_t i = 0; i < m.length; ++i) {
        copy.rows.push_back({m.at(i, 0), m.at(i, 1), m.at(i, 2), m.at(i, 3)});
      }
      outcome.matrices.push_back(std::move(copy));
    }
  } catch (const InternalFailure& failure) {
    outcome.failure = failure.what();
  }
  return outcome;
}

Outcome matrices(std::vector<Matrix> list) { return Outcome{std::move(list), "", ""}; }
Outcome message(std::string text) { return Outcome{{}, std::move(text), ""}; }
Outcome failure(std::string text) { return Outcome{{}, "", std::move(text)}; }

constexpr char kShortRow[] = "Matrix init. from iterator: iterator not long enough.";
constexpr char kRowZero[] = "Matrix slicing out of bounds.";
constexpr float kInf = std::numeric_limits<float>::infinity();

const std::string kDemo =
    "VV  demo matrix table\n"
    "XX\n"
    "//\n"
    "AC  D00001\n"
    "ID  DEMO_01\n"
    "PO  A C G T\n"
    "01  1 2 0 7\n"
    "02  0 0 10 0\n"
    "03  2.5 2.5 2.5 2.5\n"
    "XX\n"
    "//\n";

const Matrix kDemoMatrix{"DEMO_01", {{1, 2, 0, 7}, {0, 0, 10, 0}, {2.5, 2.5, 2.5, 2.5}}};

struct LoadCase {
  std::string label;
  std::string text;
  Outcome expected;
};

class TransfacLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(TransfacLoadTest, GivesExpectedOutcome) {
  EXPECT_EQ(load(GetParam().text), GetParam().expected);
}

// CR LF line ends give the same outcome (a message then carries CR LF too).
TEST_P(TransfacLoadTest, CrLfLineEndsGiveTheSameOutcome) {
  Outcome expected = GetParam().expected;
  expected.message = test::with_crlf(expected.message);
  EXPECT_EQ(load(test::with_crlf(GetParam().text)), expected);
}

std::string label_of(const ::testing::TestParamInfo<LoadCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Records, TransfacLoadTest,
    ::testing::Values(
        LoadCase{"WorkedExample", kDemo, matrices({kDemoMatrix})},
        LoadCase{"ConsensusLetterStopsBlock",
                 "ID  DEMO_01\n01  1 2 0 7 W\n02  0 0 10 0\n//\n",
                 matrices({{"DEMO_01", {{1, 2, 0, 7}}}})},
        LoadCase{"EmptyText", "", matrices({})},
        LoadCase{"NoSeparatorIsOneBlock", "ID x\n1 1 2 3 4", matrices({{"x", {{1, 2, 3, 4}}}})},
        LoadCase{"SeparatorInCommentSplitsRecord",
                 "ID a\n01 1 2 3 4\nCC see http://example.org\n02 1 2 3 4\n//\n", message("NoId")},
        LoadCase{"TripleSlashLeavesOneSlash",
                 "ID a\n1 1 1 1 1\n///\nID b\n1 2 2 2 2\n",
                 matrices({{"a", {{1, 1, 1, 1}}}, {"b", {{2, 2, 2, 2}}}})},
        LoadCase{"P0IsAnOtherLine", "ID a\nP0 A C G T\n01 1 2 3 4\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"IdWithoutBlankIsOther", "ID\n01 1 2 3 4\n", message("NoId")},
        LoadCase{"IdWithOnlyBlanksIsEmptyName", "ID \t \n01 1 2 3 4\n",
                 matrices({{"", {{1, 2, 3, 4}}}})},
        LoadCase{"IdentifierKeepsInnerAndTrailingBlanks", "ID\t a b \n01 1 2 3 4\n",
                 matrices({{"a b ", {{1, 2, 3, 4}}}})},
        LoadCase{"IndentedIdIsOther", " ID a\n01 1 2 3 4\n", message("NoId")},
        LoadCase{"IndentedRowIsOther", "ID a\n01 1 2 3 4\n 02 5 5 5 5\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"ExtraValuesIgnored", "ID a\n01 1 2 3 4 5 6\n", matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"BlanksAndLeadingZerosInRow", "ID a\n0001\t1\t2  3 4\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"TrailingBlankStopsBlock", "ID a\n01 1 2 3 4 \n02 5 5 5 5\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"GapsAreZeroRowsAndLaterRowWins",
                 "ID a\n1 1 1 1 1\n2 2 2 2 2\n2 9 9 9 9\n5 5 5 5 5\n",
                 matrices({{"a", {{1, 1, 1, 1}, {9, 9, 9, 9}, {0, 0, 0, 0}, {0, 0, 0, 0}, {5, 5, 5, 5}}}})},
        LoadCase{"PoTrailingBlankLeavesNoRows", "ID a\nPO A C G T \n01 1 2 3 4\n", message("NoRows")},
        LoadCase{"PoAloneIsARecordWithoutId", "PO A C G T\n//\nID a\n01 1 2 3 4\n", message("NoId")},
        LoadCase{"NanEndsRowTooShort", "ID a\n01 1 nan 3 4\n", failure(kShortRow)},
        LoadCase{"NanAfterFourValuesStopsBlock", "ID a\n01 1 2 3 4 nan\n02 5 5 5 5\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"TwoIdLinesFirstNames", "ID first\nID second\n01 1 2 3 4\n",
                 matrices({{"first", {{1, 2, 3, 4}}}})},
        LoadCase{"TwentyOneDigitRowIsOther", "ID a\n01 1 2 3 4\n100000000000000000000 5 5 5 5\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"ValueForms", "ID a\n01 7 2.5 -0.5 1e2\n02 inf +1 .5 5.\n",
                 matrices({{"a", {{7, 2.5, -0.5, 100}, {kInf, 1, 0.5, 5}}}})},
        LoadCase{"DigitsThenLetterIsAShortRow", "ID a\n01 1 2 3 4\n12abc\n", failure(kShortRow)},
        LoadCase{"RowZero", "ID a\n0 1 2 3 4\n", failure(kRowZero)},
        LoadCase{"ShortRowCheckedBeforeZero", "ID a\n0 1 2 3\n", failure(kShortRow)},
        LoadCase{"NoIdBeforeNoRows", "ID a\n01 1 2 3 4\n//\nXX\nPO A\n//\nID b\n", message("NoId")},
        LoadCase{"NoRowsRefusesEarlierMatrices", "ID a\n01 1 2 3 4\n//\nID b\n", message("NoRows")},
        LoadCase{"MalformedBehindStopIsNotRead", "ID a\n01 1 2 3 4 W\n02 1e 2 3 4\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"MalformedInFirstBlockGivesWholeText", "ID a\n01 1 2 3 1e\n//\nID b\n",
                 message("Could not parse completly. ID a\n01 1 2 3 1e\n//\nID b\n")},
        LoadCase{"MalformedInLaterBlockGivesTextFromItsSeparator",
                 "ID a\n01 1 2 3 4\n//\nID b\n01 1 2 3 4E+\n//\n",
                 message("Could not parse completly. //\nID b\n01 1 2 3 4E+\n//\n")},
        LoadCase{"MalformedAfterEmptyBlockGivesTextFromTheSeparatorBeforeIt",
                 "ID a\n01 1 2 3 4\n//\n//\nID b\n01 1 2 3 4e\n",
                 message("Could not parse completly. //\nID b\n01 1 2 3 4e\n")}),
    label_of);

// A CR not followed by LF is no line end (it stays lone under CR LF conversion).
INSTANTIATE_TEST_SUITE_P(
    LoneCarriageReturn, TransfacLoadTest,
    ::testing::Values(
        LoadCase{"InIdLineDropsBlock", "ID a\rb\n01 1 2 3 4\n//\nID c\n01 5 5 5 5\n",
                 matrices({{"c", {{5, 5, 5, 5}}}})},
        LoadCase{"InOtherLineDropsRestOfBlock", "ID a\n01 1 2 3 4\nCC x\ry\n02 5 5 5 5\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"AfterRowValuesKeepsRow", "ID a\n01 1 2 3 4\r02 5 5 5 5\n",
                 matrices({{"a", {{1, 2, 3, 4}}}})},
        LoadCase{"AtEndOfBlock", "ID a\r//\nID b\n1 1 1 1 1\n", matrices({{"b", {{1, 1, 1, 1}}}})}),
    label_of);

TEST(TransfacRead, KeepsLineKindsAndViewsRemainderIntoInput) {
  const std::string text = "ID  x y\nPO\tA  C1\nCC note\n03 1 2\n//\nXX\n";
  const TransfacReadResult read = read_transfac(text);
  EXPECT_TRUE(read.remainder.empty());
  EXPECT_TRUE(test::is_tail_view(text, read.remainder));
  ASSERT_EQ(read.records.size(), 1u);
  const auto& lines = read.records[0].lines;
  ASSERT_EQ(lines.size(), 3u);  // the comment line is dropped
  EXPECT_EQ(std::get<TransfacId>(lines[0]).identifier, "x y");
  EXPECT_EQ(std::get<TransfacPo>(lines[1]).words, (std::vector<std::string>{"A", "C1"}));
  EXPECT_EQ(std::get<TransfacRow>(lines[2]).position, 3u);
  EXPECT_EQ(std::get<TransfacRow>(lines[2]).values, (std::vector<float>{1, 2}));
}

TEST(TransfacRead, HardFailureKeepsEarlierRecordsAndViewsFromSeparator) {
  const std::string text = "ID a\n1 1 1 1 1\n//\nID b\n1 1e\n//\nID c\n";
  const TransfacReadResult read = read_transfac(text);
  ASSERT_EQ(read.records.size(), 1u);
  EXPECT_TRUE(test::is_tail_view(text, read.remainder));
  EXPECT_EQ(read.remainder, "//\nID b\n1 1e\n//\nID c\n");
}

TEST(TransfacRead, LargestU64PositionIsARowAndOneMoreIsNot) {
  const TransfacReadResult read =
      read_transfac("18446744073709551615 1\n18446744073709551616 1\n");
  ASSERT_EQ(read.records.size(), 1u);
  ASSERT_EQ(read.records[0].lines.size(), 1u);
  EXPECT_EQ(std::get<TransfacRow>(read.records[0].lines[0]).position, 18446744073709551615u);
}

// A position too large for any matrix is an internal failure, not a crash.
TEST(TransfacConvert, UnaddressableRowCountFailsInternally) {
  EXPECT_THROW(load_transfac("ID a\n18446744073709551615 1 2 3 4\n"), InternalFailure);
}

// Raw values stay as given, column by column; the Id may follow the rows.
TEST(TransfacConvert, KeepsRawValuesColumnByColumn) {
  TransfacRecord record;
  record.lines.emplace_back(TransfacRow{2, {-1.5f, 0, 1e30f, 4}});
  record.lines.emplace_back(TransfacId{"m"});
  auto converted = to_matrix(std::move(record));
  const auto& matrix = std::get<PwmMatrix>(converted);
  EXPECT_EQ(matrix.name, "m");
  ASSERT_EQ(matrix.length, 2u);
  EXPECT_EQ(matrix.values, (std::vector<float>{0, -1.5f, 0, 0, 0, 1e30f, 0, 4}));
}

}  // namespace
}  // namespace vok
