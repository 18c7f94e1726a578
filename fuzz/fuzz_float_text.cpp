// Float text: positional, reads back as the same float, and shortest.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.hpp"
#include "text/float_text.hpp"

namespace {

float read_back(const std::string& text) {
  char* end = nullptr;
  const float value = std::strtof(text.c_str(), &end);
  VOK_FUZZ_REQUIRE(end == text.c_str() + text.size());
  return value;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The count of significant decimal digits in a positional text.
std::size_t significant_digits(const std::string& text) {
  std::string digits;
  for (const char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const std::size_t last = digits.find_last_not_of('0');
  // Trailing zeros before the point are needed for the magnitude, not the precision.
  return last - first + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  float value;
  std::memcpy(&value, data, sizeof value);
  const std::string text = vok::float_text(value);

  std::string appended = "x";
  vok::append_float_text(appended, value);
  VOK_FUZZ_REQUIRE(appended == "x" + text);

  if (std::isnan(value)) {
    VOK_FUZZ_REQUIRE(text == "NaN");
    return 0;
  }
  if (std::isinf(value)) {
    VOK_FUZZ_REQUIRE(text == (value > 0 ? "inf" : "-inf"));
    return 0;
  }
  VOK_FUZZ_REQUIRE(text.find_first_not_of("-0123456789.") == std::string::npos);
  VOK_FUZZ_REQUIRE(text.back() != '.' && text.front() != '.');
  VOK_FUZZ_REQUIRE(same_bits(read_back(text), value));
  // Shortest: the nearest decimal with one significant digit fewer does not
  // read back as the value.
  const std::size_t digits = significant_digits(text);
  if (digits > 1) {
    char shorter[64];
    std::snprintf(shorter, sizeof shorter, "%.*g", static_cast<int>(digits - 1),
                  static_cast<double>(value));
    VOK_FUZZ_REQUIRE(!same_bits(std::strtof(shorter, nullptr), value));
  }
  return 0;
}
