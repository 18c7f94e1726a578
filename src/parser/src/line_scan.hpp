#pragma once
// Character classes and line ends shared by the line-based readers
// (TRANSFAC and profile). A blank is a space or a tab; a line end is LF or
// CR LF; a CR not followed by LF is no line end.
#include <cstddef>
#include <string_view>

namespace vok::line_scan {

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_alnum(char c) {
  return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Index of the first non-blank at or after `from` (text.size() if none).
inline std::size_t skip_blanks(std::string_view text, std::size_t from) {
  while (from < text.size() && is_blank(text[from])) ++from;
  return from;
}

// Index of the first non-alphanumeric at or after `from`.
inline std::size_t skip_alnum(std::string_view text, std::size_t from) {
  while (from < text.size() && is_alnum(text[from])) ++from;
  return from;
}

// Length of the line end starting at `pos`: 1 for LF, 2 for CR LF, else 0.
inline std::size_t line_end_length(std::string_view text, std::size_t pos) {
  if (pos < text.size() && text[pos] == '\n') return 1;
  if (pos + 1 < text.size() && text[pos] == '\r' && text[pos + 1] == '\n') return 2;
  return 0;
}

// Where the line text starting at `from` stops.
struct LineSpan {
  bool valid;              // false when a CR not followed by LF comes first
  std::size_t end;         // index just past the line text (valid only)
  std::size_t end_length;  // 0 at the end of the text, else 1 (LF) or 2 (CR LF)
};

// Finds the end of the line text that starts at `from`.
inline LineSpan find_line(std::string_view text, std::size_t from) {
  for (std::size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') return {true, i, 1};
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') return {true, i, 2};
      return {false, i, 0};
    }
  }
  return {true, text.size(), 0};
}

}  // namespace vok::line_scan
