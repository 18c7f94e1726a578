#include "utf8_validation.hpp"

#include <cstdint>
#include <cstring>

namespace vok {
namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    // Text files are mostly ASCII: skip eight such bytes at a time.
    if (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const std::uint8_t lead = data[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The second byte's allowed range excludes overlongs (E0, F0),
    // surrogates (ED) and code points past U+10FFFF (F4).
    std::size_t length;
    std::uint8_t second_low = 0x80;
    std::uint8_t second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_low = 0xA0;
      if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_low = 0x90;
      if (lead == 0xF4) second_high = 0x8F;
    } else {
      return false;  // continuation byte, C0/C1 overlong lead, or F5..FF
    }
    if (size - i < length) return false;
    if (data[i + 1] < second_low || data[i + 1] > second_high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (!is_continuation(data[i + k])) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace vok
