#include "parser/number_token.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

#include "line_scan.hpp"

namespace vok {
namespace {

using line_scan::is_digit;

// Case-insensitive test for an ASCII lower-case `word` at the start of `text`.
bool starts_with_word(std::string_view text, std::string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char c = text[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != word[i]) return false;
  }
  return true;
}

// The unsigned words tried when no mantissa matches. "nan" is recognised
// only to be refused; "inf" wins over "infinity" because it is tried first.
NumberToken read_word(std::string_view text) {
  if (starts_with_word(text, "nan")) return {NumberMatch::kNoMatch, 0.0f, 0};
  if (starts_with_word(text, "inf")) {
    return {NumberMatch::kNumber, std::numeric_limits<float>::infinity(), 3};
  }
  return {NumberMatch::kNoMatch, 0.0f, 0};
}

// Index ranges of the pieces of a matched decimal literal.
struct DecimalParts {
  std::size_t int_begin, int_end;      // digits before the point
  std::size_t frac_begin, frac_end;    // digits after the point
  std::size_t exp_begin, exp_end;      // exponent digits (empty if no exponent)
  bool exp_negative;                   // exponent sign was "-"
};

// Power of ten of the first non-zero mantissa digit plus the exponent,
// saturated; only used to tell overflow from underflow.
std::int64_t decimal_magnitude(std::string_view text, const DecimalParts& parts) {
  std::int64_t order = 0;
  bool found = false;
  for (std::size_t i = parts.int_begin; i < parts.int_end && !found; ++i) {
    if (text[i] != '0') {
      order = static_cast<std::int64_t>(parts.int_end - i) - 1;
      found = true;
    }
  }
  for (std::size_t i = parts.frac_begin; i < parts.frac_end && !found; ++i) {
    if (text[i] != '0') {
      order = -static_cast<std::int64_t>(i - parts.frac_begin) - 1;
      found = true;
    }
  }
  constexpr std::int64_t kSaturation = std::int64_t{1} << 40;
  std::int64_t exponent = 0;
  for (std::size_t i = parts.exp_begin; i < parts.exp_end; ++i) {
    exponent = exponent * 10 + (text[i] - '0');
    if (exponent > kSaturation) exponent = kSaturation;
  }
  if (order > kSaturation) order = kSaturation;
  if (order < -kSaturation) order = -kSaturation;
  return order + (parts.exp_negative ? -exponent : exponent);
}

// Nearest float to the matched literal text[0, length); from_chars rounds
// correctly but leaves the value untouched when the result leaves the float
// range, so that case is resolved here.
float convert_decimal(std::string_view text, std::size_t length, bool negative,
                      const DecimalParts& parts) {
  // from_chars accepts "-" but not "+".
  const std::size_t start = (text[0] == '+') ? 1 : 0;
  float value = 0.0f;
  const auto result = std::from_chars(text.data() + start, text.data() + length, value);
  if (result.ec != std::errc::result_out_of_range) return value;
  const bool overflow = decimal_magnitude(text, parts) >= 0;
  const float magnitude = overflow ? std::numeric_limits<float>::infinity() : 0.0f;
  return negative ? -magnitude : magnitude;
}

}  // namespace

NumberToken read_number(std::string_view text) {
  const std::size_t n = text.size();
  std::size_t i = 0;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  DecimalParts parts{};
  parts.int_begin = i;
  while (i < n && is_digit(text[i])) ++i;
  parts.int_end = i;
  if (parts.int_end > parts.int_begin) {
    if (i < n && text[i] == '.') ++i;
    parts.frac_begin = i;
    while (i < n && is_digit(text[i])) ++i;
    parts.frac_end = i;
  } else if (i + 1 < n && text[i] == '.' && is_digit(text[i + 1])) {
    parts.frac_begin = ++i;
    while (i < n && is_digit(text[i])) ++i;
    parts.frac_end = i;
  } else {
    return read_word(text);  // the words carry no sign: tried at the start
  }

  parts.exp_begin = parts.exp_end = i;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      parts.exp_negative = text[i] == '-';
      ++i;
    }
    // An exponent marker commits the token: no digits is malformed, not a mismatch.
    if (i >= n || !is_digit(text[i])) return {NumberMatch::kMalformed, 0.0f, 0};
    parts.exp_begin = i;
    while (i < n && is_digit(text[i])) ++i;
    parts.exp_end = i;
  }

  return {NumberMatch::kNumber, convert_decimal(text, i, negative, parts), i};
}

}  // namespace vok
