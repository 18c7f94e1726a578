#include "parser/profile_reader.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <utility>

#include "test_text.hpp"

namespace vok {
namespace {

using Cutoffs = std::map<std::string, std::pair<float, float>>;

// A load's map (ordered, for comparison) or its message.
struct Outcome {
  Cutoffs cutoffs;
  std::string message;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "message=\"" << o.message << "\" cutoffs:";
  for (const auto& [id, c] : o.cutoffs) *os << " [" << id << "]=(" << c.first << "," << c.second << ")";
}

Outcome load(std::string_view text) {
  auto result = load_profile(text);
  if (auto* error = std::get_if<ReaderError>(&result)) return {{}, error->message};
  Outcome outcome;
  for (const auto& [id, t] : std::get<CutoffMap>(result)) outcome.cutoffs[id] = {t.css, t.mss};
  return outcome;
}

Outcome map(Cutoffs cutoffs) { return {std::move(cutoffs), ""}; }
Outcome unread(std::string remainder) { return {{}, "Could not parse completly. " + remainder}; }

constexpr float kInf = std::numeric_limits<float>::infinity();

const std::string kDemo =
    "1 0.75 0.80 D00001 DEMO_01\n"
    "1,0.9,0.85,D00002,DEMO_02\n"
    "1\t0.5\t0.6\tD00003\tDEMO_01\n";

struct LoadCase {
  std::string label;
  std::string text;
  Outcome expected;
};

class ProfileLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(ProfileLoadTest, GivesExpectedOutcome) {
  EXPECT_EQ(load(GetParam().text), GetParam().expected);
}

TEST_P(ProfileLoadTest, CrLfLineEndsGiveTheSameOutcome) {
  Outcome expected = GetParam().expected;
  expected.message = test::with_crlf(expected.message);
  EXPECT_EQ(load(test::with_crlf(GetParam().text)), expected);
}

std::string label_of(const ::testing::TestParamInfo<LoadCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Entries, ProfileLoadTest,
    ::testing::Values(
        LoadCase{"WorkedExample", kDemo, map({{"DEMO_01", {0.5f, 0.6f}}, {"DEMO_02", {0.9f, 0.85f}}})},
        LoadCase{"WorkedExampleWithEmptyLine", kDemo + "\n", unread("\n")},
        LoadCase{"EmptyText", "", map({})},
        LoadCase{"NoFinalLineEnd", "1 0.1 0.2 A x", map({{"x", {0.1f, 0.2f}}})},
        LoadCase{"HeaderLineRefusesAll", "title\n" + kDemo, unread("title\n" + kDemo)},
        LoadCase{"LeadingBlankEndsReading", "1 0.1 0.2 A x\n 1 0.1 0.2 A y\n",
                 unread(" 1 0.1 0.2 A y\n")},
        LoadCase{"OtherFlag", "0 0.1 0.2 A x\n", unread("0 0.1 0.2 A x\n")},
        LoadCase{"TwoDigitFlag", "11 0.1 0.2 A x\n", unread("11 0.1 0.2 A x\n")},
        LoadCase{"AccessionWithDash", "1 0.1 0.2 A-C x\n", unread("1 0.1 0.2 A-C x\n")},
        LoadCase{"NanCutoff", "1 nan 0.2 A x\n", unread("1 nan 0.2 A x\n")},
        LoadCase{"MalformedCutoff", "1 0.1 2e A x\n", unread("1 0.1 2e A x\n")},
        LoadCase{"InfinityLeavesInity", "1 infinity 0.2 A x\n", unread("1 infinity 0.2 A x\n")},
        LoadCase{"CommaThenBlankBetweenNumbers", "1, 0.1 0.2 A x\n", unread("1, 0.1 0.2 A x\n")},
        LoadCase{"BlankThenCommaBetweenNumbers", "1 0.1 ,0.2 A x\n", unread("1 0.1 ,0.2 A x\n")},
        LoadCase{"BlanksThenCommaStartIdentifier", "1 0.1 0.2 A  ,x\n", map({{",x", {0.1f, 0.2f}}})},
        LoadCase{"CommaThenBlankStartsIdentifier", "1 0.1 0.2 A, x\n", map({{" x", {0.1f, 0.2f}}})},
        LoadCase{"IdentifierTakenWhole", "1,0.1,0.2,A,my id $x_y, z \n",
                 map({{"my id $x_y, z ", {0.1f, 0.2f}}})},
        LoadCase{"AccessionAtLineEnd", "1 0.1 0.2 A\n", unread("1 0.1 0.2 A\n")},
        LoadCase{"EmptyIdentifier", "1 0.1 0.2 A \n", map({{"", {0.1f, 0.2f}}})},
        LoadCase{"MixedSeparators", "1,0.1 \t0.2,A9\tx\n", map({{"x", {0.1f, 0.2f}}})},
        LoadCase{"RangeIsNotChecked", "1 -1 1e39 A x\n1 inf 2 B y\n",
                 map({{"x", {-1.0f, kInf}}, {"y", {kInf, 2.0f}}})},
        LoadCase{"RepeatedIdentifierKeepsLast", "1 0.1 0.2 A x\n1 0.3 0.4 B y\n1 0.5 0.6 C x\n",
                 map({{"x", {0.5f, 0.6f}}, {"y", {0.3f, 0.4f}}})},
        LoadCase{"LoneCrEndsReadingBeforeItsLine", "1 0.1 0.2 A x\n1 0.3 0.4 B y\rz\n",
                 unread("1 0.3 0.4 B y\rz\n")},
        LoadCase{"TrailingLoneCr", "1 0.1 0.2 A x\r", unread("1 0.1 0.2 A x\r")}),
    label_of);

TEST(ProfileRead, KeepsEntriesBeforeStopAndViewsRemainderIntoInput) {
  const std::string text = "1 0.1 0.2 A x\n\n1 0.3 0.4 B y\n";
  const ProfileReadResult read = read_profile(text);
  EXPECT_EQ(read.cutoffs.size(), 1u);
  EXPECT_EQ(read.remainder, "\n1 0.3 0.4 B y\n");
  EXPECT_TRUE(test::is_tail_view(text, read.remainder));
}

}  // namespace
}  // namespace vok
