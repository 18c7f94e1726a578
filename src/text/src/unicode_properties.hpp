#pragma once
// Character properties that decide which characters a quoted string escapes.

namespace vok::unicode {

// True for letters, marks, numbers, punctuation, symbols and U+0020; false for
// controls, format characters, surrogates, private use, unassigned code points
// and separators other than the plain space.
bool is_printable(char32_t code_point);

// True for combining marks: categories Mn and Me and the other Grapheme_Extend
// code points (some spacing vowel signs, ZWNJ, tag characters).
bool is_grapheme_extend(char32_t code_point);

}  // namespace vok::unicode
