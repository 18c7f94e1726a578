#pragma once
// Generated code-point range tables (tools/make_unicode_tables.py).
#include <cstddef>

namespace vok::unicode {

// An inclusive run of code points; tables are sorted and non-overlapping.
struct CodepointRange {
  char32_t first;  // first code point of the run
  char32_t last;   // last code point of the run, inclusive
};

extern const CodepointRange kPrintable[];      // printable as str.isprintable() sees it
extern const std::size_t kPrintableCount;      // entries in kPrintable
extern const CodepointRange kGraphemeExtend[]; // combining marks (Grapheme_Extend)
extern const std::size_t kGraphemeExtendCount; // entries in kGraphemeExtend

}  // namespace vok::unicode
