#pragma once
// Quoted strings of the error record notation.
#include <string>
#include <string_view>

namespace vok {

// '"' + text with \0 \t \r \n \\ \" escapes, non-printable characters and
// combining marks as \u{hex}, everything else unchanged + '"'. `text` is UTF-8.
std::string quoted_string(std::string_view text);

}  // namespace vok
