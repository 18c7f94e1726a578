#include "text/quoted_string.hpp"

#include <cstdint>

#include "unicode_properties.hpp"

namespace vok {
namespace {

// Decodes the code point starting at text[index] and advances index past it.
// The text is valid UTF-8; truncated input is still read without overrun.
char32_t next_code_point(std::string_view text, std::size_t& index) {
  const auto lead = static_cast<std::uint8_t>(text[index++]);
  if (lead < 0x80) return lead;
  std::size_t continuation = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  char32_t code_point = lead & (0x3F >> continuation);
  for (; continuation > 0 && index < text.size(); --continuation) {
    code_point = (code_point << 6) | (static_cast<std::uint8_t>(text[index++]) & 0x3F);
  }
  return code_point;
}

void append_hex_escape(std::string& out, char32_t code_point) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kDigits[code_point & 0xF];
    code_point >>= 4;
  } while (code_point != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

}  // namespace

std::string quoted_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t index = 0;
  while (index < text.size()) {
    const std::size_t start = index;
    const char32_t code_point = next_code_point(text, index);
    switch (code_point) {
      case U'\0': out += "\\0"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\\': out += "\\\\"; continue;
      case U'"': out += "\\\""; continue;
      default: break;
    }
    if (unicode::is_grapheme_extend(code_point) || !unicode::is_printable(code_point)) {
      append_hex_escape(out, code_point);
    } else {
      out.append(text.substr(start, index - start));
    }
  }
  out += '"';
  return out;
}

}  // namespace vok
