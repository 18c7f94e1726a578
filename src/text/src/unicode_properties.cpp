#include "unicode_properties.hpp"

#include <algorithm>

#include "unicode_tables.hpp"

namespace vok::unicode {
namespace {

bool in_ranges(const CodepointRange* table, std::size_t count, char32_t code_point) {
  const CodepointRange* end = table + count;
  // First run whose last code point is not below the one looked up.
  const CodepointRange* run = std::lower_bound(
      table, end, code_point,
      [](const CodepointRange& range, char32_t value) { return range.last < value; });
  return run != end && run->first <= code_point;
}

}  // namespace

bool is_printable(char32_t code_point) {
  return in_ranges(kPrintable, kPrintableCount, code_point);
}

bool is_grapheme_extend(char32_t code_point) {
  return in_ranges(kGraphemeExtend, kGraphemeExtendCount, code_point);
}

}  // namespace vok::unicode
