#pragma once
// Fast scanning over runs of ASCII letters, eight bytes at a time.
#include <bit>
#include <cstdint>
#include <cstring>

namespace vok::letter_scan {

inline bool is_letter(char c) {
  const char folded = static_cast<char>(c | 0x20);
  return folded >= 'a' && folded <= 'z';
}

// White space between sequence words: space, tab, CR, LF.
inline bool is_white(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

namespace detail {

constexpr std::uint64_t kOnes = 0x0101010101010101ull;
constexpr std::uint64_t kHigh = kOnes * 0x80;

// Bit 7 of each byte of the result is set where that byte is not a letter.
// Bytes are reduced to 7 bits first so that the additions never carry
// into the neighbouring byte.
inline std::uint64_t non_letter_mask(std::uint64_t word) {
  const std::uint64_t low7 = (word | kOnes * 0x20) & (kOnes * 0x7f);
  const std::uint64_t below_a = ~(low7 + kOnes * (0x80 - 'a')) & kHigh;
  const std::uint64_t above_z = (low7 + kOnes * (0x80 - 'z' - 1)) & kHigh;
  return (word & kHigh) | below_a | above_z;
}

// Index, in memory order, of the first byte flagged in `mask`.
inline unsigned first_flagged_byte(std::uint64_t mask) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<unsigned>(std::countr_zero(mask)) / 8;
  } else {
    return static_cast<unsigned>(std::countl_zero(mask)) / 8;
  }
}

}  // namespace detail

// The first position in [p, end) that does not hold an ASCII letter.
inline const char* skip_letters(const char* p, const char* end) {
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t mask = detail::non_letter_mask(word);
    if (mask != 0) return p + detail::first_flagged_byte(mask);
    p += 8;
  }
  while (p < end && is_letter(*p)) ++p;
  return p;
}

// Writes the letters of [p, stop), which holds only letters and white space,
// to `out`; `out_end - out` must be the number of those letters. Each step
// stores a whole word and then advances the output only past its letters,
// so later stores overwrite the surplus; the guard keeps stores in bounds.
inline void compact_letters(const char* p, const char* stop, char* out, char* out_end) {
  while (stop - p >= 8 && out_end - out >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    std::memcpy(out, &word, sizeof word);
    const std::uint64_t mask = detail::non_letter_mask(word);
    if (mask == 0) {
      p += 8;
      out += 8;
      continue;
    }
    const unsigned letters = detail::first_flagged_byte(mask);
    out += letters;
    p += letters + 1;  // the flagged byte is white space
  }
  for (; p < stop; ++p) {
    if (is_letter(*p)) *out++ = *p;
  }
}

}  // namespace vok::letter_scan
