#pragma once
// The decimal number token shared by the TRANSFAC and profile readers.
#include <cstddef>
#include <string_view>

namespace vok {

enum class NumberMatch {
  kNumber,     // a non-NaN number was read
  kNoMatch,    // no number at this position (including the word "nan")
  kMalformed,  // an exponent marker without digits: a hard failure
};

struct NumberToken {
  NumberMatch match;
  float value;           // valid for kNumber
  std::size_t consumed;  // characters read, valid for kNumber
};

// Reads a number at the start of `text`.
NumberToken read_number(std::string_view text);

}  // namespace vok
