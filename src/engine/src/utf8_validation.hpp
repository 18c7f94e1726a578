#pragma once
// Strict UTF-8 validation of file contents.
#include <string_view>

namespace vok {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequences.
bool is_valid_utf8(std::string_view bytes);

}  // namespace vok
