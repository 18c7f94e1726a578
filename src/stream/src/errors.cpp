#include "stream/errors.hpp"

namespace vok::stream {

std::string describe_invalid_byte(unsigned char byte) {
  if (byte >= 0x20 && byte < 0x7f) return std::string("invalid character '") + char(byte) + "'";
  static const char digits[] = "0123456789ABCDEF";
  return std::string("invalid byte 0x") + digits[byte >> 4] + digits[byte & 15];
}

std::string quote_excerpt(std::string_view text) {
  static constexpr std::string_view kEllipsis = "...";
  std::size_t keep = text.size();
  if (keep > kQuoteLimit) {
    keep = kQuoteLimit - kEllipsis.size();
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string quoted(text.substr(0, keep));
  for (char& c : quoted) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  if (keep < text.size()) quoted += kEllipsis;
  return quoted;
}

}  // namespace vok::stream
