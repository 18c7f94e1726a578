#pragma once
// Sequence letters -> scan codes: bases 0..3, segment breaks, skipped blanks
// and invalid bytes, by one table lookup per byte.
#include <array>
#include <cstdint>

#include "scoring/base_codes.hpp"

namespace vok::stream {

inline constexpr BaseCode kBreak = 4;    // ends a segment: N, other IUPAC codes, masked letters
inline constexpr BaseCode kSkip = 5;     // dropped without trace: blanks inside a FASTA line
inline constexpr BaseCode kInvalid = 8;  // refused (the only code with bit 3): digits, '*', '>', controls, non-ASCII

using LetterTable = std::array<BaseCode, 256>;

// mask: lower-case a/c/g/t end segments instead of being scanned.
// blanks_skipped: space, tab and CR are kSkip (FASTA lines) or kInvalid (bare text).
const LetterTable& letter_table(bool mask, bool blanks_skipped);

}  // namespace vok::stream
