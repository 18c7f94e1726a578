// Number token: bounds, no NaN, and the value of the matched text.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.hpp"
#include "parser/number_token.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vok::fuzz::as_text(data, size);
  const vok::NumberToken token = vok::read_number(text);
  if (token.match != vok::NumberMatch::kNumber) return 0;
  VOK_FUZZ_REQUIRE(token.consumed > 0 && token.consumed <= size);
  VOK_FUZZ_REQUIRE(!std::isnan(token.value));

  // The matched text alone reads as the same token...
  const std::string matched(text.substr(0, token.consumed));
  const vok::NumberToken again = vok::read_number(matched);
  VOK_FUZZ_REQUIRE(again.match == vok::NumberMatch::kNumber && again.consumed == token.consumed);
  VOK_FUZZ_REQUIRE(std::memcmp(&again.value, &token.value, sizeof(float)) == 0);

  // ...and as the nearest float, which the C library's conversion also gives
  // (overflow to a signed infinity, underflow to a signed zero or subnormal).
  char* end = nullptr;
  const float expected = std::strtof(matched.c_str(), &end);
  VOK_FUZZ_REQUIRE(end == matched.c_str() + matched.size());
  VOK_FUZZ_REQUIRE(std::memcmp(&expected, &token.value, sizeof(float)) == 0);
  return 0;
}
