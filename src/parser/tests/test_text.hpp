#pragma once
// Small text helpers shared by the reader tests.
#include <string>
#include <string_view>

#include "text_at_page_end.hpp"

namespace vok::test {

// The same text with every LF written as CR LF.
inline std::string with_crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// True when `part` views the tail of `whole` (same storage, ending at its end).
inline bool is_tail_view(std::string_view whole, std::string_view part) {
  return part.data() >= whole.data() && part.data() <= whole.data() + whole.size() &&
         part.data() + part.size() == whole.data() + whole.size();
}

}  // namespace vok::test
