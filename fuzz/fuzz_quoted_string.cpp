// Quoted strings: well formed, free of raw control characters, and reversible.
#include <string>

#include "fuzz_check.hpp"
#include "text/quoted_string.hpp"

namespace {

// Decodes the UTF-8 code point at text[i] and advances i; returns -1 for
// anything that is not the shortest encoding of a scalar value.
long next_code_point(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  const int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
  if (extra < 0 || lead > 0xF4 || i + extra > text.size()) return -1;
  long code_point = lead & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    const auto byte = static_cast<unsigned char>(text[i++]);
    if ((byte & 0xC0) != 0x80) return -1;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  static constexpr long kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (code_point < kSmallest[extra] || code_point > 0x10FFFF) return -1;
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return -1;
  return code_point;
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (next_code_point(text, i) < 0) return false;
  }
  return true;
}

bool is_control(long code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

void append_utf8(std::string& out, long code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
    return;
  }
  static constexpr long kLead[] = {0, 0xC0, 0xE0, 0xF0};
  const int extra = code_point < 0x800 ? 1 : code_point < 0x10000 ? 2 : 3;
  out += static_cast<char>(kLead[extra] | (code_point >> (6 * extra)));
  for (int k = extra - 1; k >= 0; --k) {
    out += static_cast<char>(0x80 | ((code_point >> (6 * k)) & 0x3F));
  }
}

// Reverses the escapes of the inner text; the input must be well formed.
std::string unquote(std::string_view inner) {
  std::string out;
  for (std::size_t i = 0; i < inner.size();) {
    const std::size_t start = i;
    const long code_point = next_code_point(inner, i);
    VOK_FUZZ_REQUIRE(code_point >= 0 && !is_control(code_point) && code_point != '"');
    if (code_point != '\\') {
      out.append(inner.substr(start, i - start));
      continue;
    }
    VOK_FUZZ_REQUIRE(i < inner.size());
    const char escaped = inner[i++];
    switch (escaped) {
      case '0': out += '\0'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case '\\': case '"': out += escaped; break;
      case 'u': {
        const std::size_t close = inner.find('}', i);
        VOK_FUZZ_REQUIRE(inner.substr(i, 1) == "{" && close != std::string_view::npos);
        const std::string_view hex = inner.substr(i + 1, close - i - 1);
        VOK_FUZZ_REQUIRE(!hex.empty() && hex.size() <= 6 && (hex.size() == 1 || hex[0] != '0'));
        VOK_FUZZ_REQUIRE(hex.find_first_not_of("0123456789abcdef") == std::string_view::npos);
        append_utf8(out, std::stol(std::string(hex), nullptr, 16));
        i = close + 1;
        break;
      }
      default: vok::fuzz::fail("known escape", __LINE__);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vok::fuzz::as_text(data, size);
  if (!is_valid_utf8(text)) return 0;
  const std::string quoted = vok::quoted_string(text);
  VOK_FUZZ_REQUIRE(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"');
  VOK_FUZZ_REQUIRE(unquote(std::string_view(quoted).substr(1, quoted.size() - 2)) == text);
  return 0;
}
