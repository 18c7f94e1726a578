// UTF-8 check: agrees with the table of well-formed byte sequences.
#include <string>

#include "fuzz_check.hpp"
#include "utf8_validation.hpp"

namespace {

// Well-formed sequences by lead byte: the allowed range of the second byte
// (later bytes are always 80..BF) and the sequence length.
struct LeadRule {
  unsigned char second_low;   // smallest second byte
  unsigned char second_high;  // largest second byte
  int length;                 // bytes in the sequence, 0 for an invalid lead
};

LeadRule rule_for(unsigned char lead) {
  if (lead <= 0x7F) return {0, 0, 1};
  if (lead >= 0xC2 && lead <= 0xDF) return {0x80, 0xBF, 2};
  if (lead == 0xE0) return {0xA0, 0xBF, 3};
  if (lead == 0xED) return {0x80, 0x9F, 3};  // no surrogates
  if (lead >= 0xE1 && lead <= 0xEF) return {0x80, 0xBF, 3};
  if (lead == 0xF0) return {0x90, 0xBF, 4};
  if (lead >= 0xF1 && lead <= 0xF3) return {0x80, 0xBF, 4};
  if (lead == 0xF4) return {0x80, 0x8F, 4};  // nothing above U+10FFFF
  return {0, 0, 0};
}

bool well_formed(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const LeadRule rule = rule_for(static_cast<unsigned char>(text[i]));
    if (rule.length == 0 || i + rule.length > text.size()) return false;
    for (int k = 1; k < rule.length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      const unsigned char low = k == 1 ? rule.second_low : 0x80;
      const unsigned char high = k == 1 ? rule.second_high : 0xBF;
      if (byte < low || byte > high) return false;
    }
    i += rule.length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vok::fuzz::as_text(data, size);
  const bool valid = vok::is_valid_utf8(text);
  VOK_FUZZ_REQUIRE(valid == well_formed(text));
  // The validator reads words at a time: the answer must not depend on where
  // the text starts or on an ASCII prefix that shifts it.
  const std::string shifted = "ACGTACG" + std::string(text);
  VOK_FUZZ_REQUIRE(vok::is_valid_utf8(shifted) == valid);
  if (size > 0) VOK_FUZZ_REQUIRE(vok::is_valid_utf8(text.substr(1)) == well_formed(text.substr(1)));
  return 0;
}
