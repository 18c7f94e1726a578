#include "parser/number_token.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>

namespace vok {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

struct NumberCase {
  std::string text;
  NumberMatch match;
  float value;           // compared bit for bit when match is kNumber
  std::size_t consumed;  // checked when match is kNumber
};

class NumberTokenTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTokenTest, GivesMatchValueAndLength) {
  const NumberCase& c = GetParam();
  const NumberToken token = read_number(c.text);
  ASSERT_EQ(token.match, c.match) << '"' << c.text << '"';
  if (c.match != NumberMatch::kNumber) return;
  EXPECT_EQ(std::bit_cast<std::uint32_t>(token.value), std::bit_cast<std::uint32_t>(c.value))
      << '"' << c.text << "\" gave " << token.value;
  EXPECT_EQ(token.consumed, c.consumed) << '"' << c.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    MantissaForms, NumberTokenTest,
    ::testing::Values(NumberCase{"7", NumberMatch::kNumber, 7.0f, 1},
                      NumberCase{"2.5", NumberMatch::kNumber, 2.5f, 3},
                      NumberCase{"-0.5", NumberMatch::kNumber, -0.5f, 4},
                      NumberCase{"+3", NumberMatch::kNumber, 3.0f, 2},
                      NumberCase{"5.", NumberMatch::kNumber, 5.0f, 2},
                      NumberCase{".25", NumberMatch::kNumber, 0.25f, 3},
                      NumberCase{"-.25", NumberMatch::kNumber, -0.25f, 4},
                      NumberCase{"-0", NumberMatch::kNumber, -0.0f, 2},
                      NumberCase{"0.1", NumberMatch::kNumber, 0.1f, 3},
                      NumberCase{"1.5x", NumberMatch::kNumber, 1.5f, 3},
                      NumberCase{"3 4", NumberMatch::kNumber, 3.0f, 1},
                      NumberCase{"16777217", NumberMatch::kNumber, 16777216.0f, 8},
                      NumberCase{"0.100000001490116119384765625000000000000000000001",
                                 NumberMatch::kNumber, 0.1f, 50}));

INSTANTIATE_TEST_SUITE_P(
    Exponents, NumberTokenTest,
    ::testing::Values(NumberCase{"1e2", NumberMatch::kNumber, 100.0f, 3},
                      NumberCase{"1E-2", NumberMatch::kNumber, 0.01f, 4},
                      NumberCase{"1.e3", NumberMatch::kNumber, 1000.0f, 4},
                      NumberCase{".5e1", NumberMatch::kNumber, 5.0f, 4},
                      NumberCase{"1e5x", NumberMatch::kNumber, 1e5f, 3},
                      NumberCase{"1e", NumberMatch::kMalformed, 0, 0},
                      NumberCase{"2E+", NumberMatch::kMalformed, 0, 0},
                      NumberCase{"3e-x", NumberMatch::kMalformed, 0, 0},
                      NumberCase{"1ex", NumberMatch::kMalformed, 0, 0},
                      NumberCase{"1e 5", NumberMatch::kMalformed, 0, 0},
                      NumberCase{"-4.5E", NumberMatch::kMalformed, 0, 0}));

INSTANTIATE_TEST_SUITE_P(
    OutOfRange, NumberTokenTest,
    ::testing::Values(
        NumberCase{"1e39", NumberMatch::kNumber, kInf, 4},
        NumberCase{"-1e39", NumberMatch::kNumber, -kInf, 5},
        NumberCase{"3.4028235e38", NumberMatch::kNumber, std::numeric_limits<float>::max(), 12},
        NumberCase{"3.40282357e38", NumberMatch::kNumber, kInf, 13},
        NumberCase{"1e99999999999999999999999", NumberMatch::kNumber, kInf, 25},
        NumberCase{"0.000000000000000000000000000000000000000000000001e48",
                   NumberMatch::kNumber, 1.0f, 53},
        NumberCase{"1e-45", NumberMatch::kNumber, std::numeric_limits<float>::denorm_min(), 5},
        NumberCase{"7e-46", NumberMatch::kNumber, 0.0f, 5},
        NumberCase{"-1e-50", NumberMatch::kNumber, -0.0f, 6},
        NumberCase{"100000000000000000000000000000000000000000e-99999999999",
                   NumberMatch::kNumber, 0.0f, 55},
        NumberCase{"0e999999", NumberMatch::kNumber, 0.0f, 8},
        // Out of range or not is decided by the first non-zero digit plus the exponent.
        NumberCase{std::string(50, '1') + "e-10", NumberMatch::kNumber, kInf, 54},
        NumberCase{"0.1" + std::string(45, '0') + "1e40", NumberMatch::kNumber, kInf, 52},
        NumberCase{"0." + std::string(50, '0') + "1e5", NumberMatch::kNumber, 0.0f, 55},
        // A long mantissa against a three-digit exponent: 1e50, out of range above.
        NumberCase{"1" + std::string(1000, '0') + "e-950", NumberMatch::kNumber, kInf, 1006}));

INSTANTIATE_TEST_SUITE_P(
    Words, NumberTokenTest,
    ::testing::Values(NumberCase{"inf", NumberMatch::kNumber, kInf, 3},
                      NumberCase{"INF", NumberMatch::kNumber, kInf, 3},
                      NumberCase{"Infinity", NumberMatch::kNumber, kInf, 3},
                      NumberCase{"nan", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"NaN", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"-inf", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"+nan", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"in", NumberMatch::kNoMatch, 0, 0}));

INSTANTIATE_TEST_SUITE_P(
    NoNumber, NumberTokenTest,
    ::testing::Values(NumberCase{"", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{".", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"-", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"+.e5", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"e5", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{" 1", NumberMatch::kNoMatch, 0, 0},
                      NumberCase{"A", NumberMatch::kNoMatch, 0, 0}));

}  // namespace
}  // namespace vok
