#include "text/float_text.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace vok {

void append_float_text(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Scientific form gives the shortest round-trip digits without padding;
  // they are then placed positionally (fixed form would not guarantee that
  // large values are padded with zeros rather than exact binary digits).
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::scientific);
  const char* cursor = buffer;
  if (*cursor == '-') {
    out += '-';
    ++cursor;
  }
  char digits[16];
  int digit_count = 0;
  for (; *cursor != 'e'; ++cursor) {
    if (*cursor != '.') digits[digit_count++] = *cursor;
  }
  ++cursor;  // past 'e'
  if (*cursor == '+') ++cursor;  // from_chars takes a '-' sign only
  int exponent = 0;
  std::from_chars(cursor, result.ptr, exponent);
  const int integer_digits = exponent + 1;  // digits before the decimal point
  if (integer_digits <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-integer_digits), '0');
    out.append(digits, static_cast<std::size_t>(digit_count));
  } else if (integer_digits >= digit_count) {
    out.append(digits, static_cast<std::size_t>(digit_count));
    out.append(static_cast<std::size_t>(integer_digits - digit_count), '0');
  } else {
    out.append(digits, static_cast<std::size_t>(integer_digits));
    out += '.';
    out.append(digits + integer_digits, static_cast<std::size_t>(digit_count - integer_digits));
  }
}

std::string float_text(float value) {
  std::string out;
  append_float_text(out, value);
  return out;
}

}  // namespace vok
