#include "text/float_text.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace {

struct FloatCase {
  float value;
  const char* text;
};

class FloatTextCases : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatTextCases, PrintsShortestPositionalText) {
  EXPECT_EQ(vok::float_text(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatTextCases,
    ::testing::Values(
        FloatCase{1.0f, "1"}, FloatCase{0.5f, "0.5"}, FloatCase{0.1f, "0.1"},
        FloatCase{0.8765f, "0.8765"}, FloatCase{-2.5f, "-2.5"}, FloatCase{123.456f, "123.456"},
        FloatCase{0.0f, "0"}, FloatCase{-0.0f, "-0"}, FloatCase{16777216.0f, "16777216"},
        FloatCase{1e20f, "100000000000000000000"}, FloatCase{3e20f, "300000000000000000000"},
        FloatCase{1e-7f, "0.0000001"}, FloatCase{-1.5e-5f, "-0.000015"},
        FloatCase{std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
        FloatCase{std::numeric_limits<float>::denorm_min(),
                  "0.000000000000000000000000000000000000000000001"},
        FloatCase{std::numeric_limits<float>::infinity(), "inf"},
        FloatCase{-std::numeric_limits<float>::infinity(), "-inf"},
        FloatCase{std::numeric_limits<float>::quiet_NaN(), "NaN"},
        FloatCase{-std::numeric_limits<float>::quiet_NaN(), "NaN"}));

TEST(FloatText, AppendKeepsExistingText) {
  std::string out = "css: ";
  vok::append_float_text(out, 0.25f);
  EXPECT_EQ(out, "css: 0.25");
}

// Significant digits of a positional decimal: leading and trailing zeros and
// the point do not count.
std::size_t significant_digits(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const auto first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const auto last = digits.find_last_not_of('0');
  return last - first + 1;
}

// The fewest significant digits of a %e rendering that reads back exactly.
std::size_t shortest_round_trip_digits(float value) {
  for (int precision = 0; precision < 9; ++precision) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*e", precision, static_cast<double>(value));
    if (std::strtof(buffer, nullptr) == value) return static_cast<std::size_t>(precision) + 1;
  }
  return 9;
}

TEST(FloatText, RandomBitPatternsRoundTripPositionally) {
  const std::uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 generator(seed);
  int checked = 0;
  for (int i = 0; i < 3'000'000; ++i) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(generator()));
    if (!std::isfinite(value)) continue;
    const std::string text = vok::float_text(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    float parsed = 0.0f;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), parsed);
    ASSERT_EQ(result.ec, std::errc()) << text;
    ASSERT_EQ(result.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(parsed), std::bit_cast<std::uint32_t>(value)) << text;
    // Shortness is checked against an independent search on a subset.
    if (i % 16 == 0) {
      ASSERT_EQ(significant_digits(text), shortest_round_trip_digits(value)) << text;
    }
    ++checked;
  }
  EXPECT_GT(checked, 2'900'000);
}

}  // namespace
