#pragma once
// The text of a 32-bit float in every text form of the module.
#include <string>

namespace vok {

// Shortest decimal that reads back as the same float, positional, never with an
// exponent: 1 -> "1", 0.1 -> "0.1", 1e20 -> "100000000000000000000",
// -0 -> "-0", "inf", "-inf", "NaN".
std::string float_text(float value);
void append_float_text(std::string& out, float value);

}  // namespace vok
