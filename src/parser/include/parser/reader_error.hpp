#pragma once
// The message of a load that did not succeed as a whole.
#include <string>
#include <string_view>
#include <variant>

namespace vok {

struct ReaderError {
  std::string message;  // e.g. "Could not parse completly. " + remainder, "NoId", "NoRows"
};

// Either everything a load produced, or the one message that refused it.
template <class T>
using LoadResult = std::variant<T, ReaderError>;

// The message of a grammar stage that left `remainder` unread.
std::string incomplete_parse_message(std::string_view remainder);

}  // namespace vok
