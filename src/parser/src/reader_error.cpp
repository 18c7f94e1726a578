#include "parser/reader_error.hpp"

namespace vok {

std::string incomplete_parse_message(std::string_view remainder) {
  static constexpr std::string_view kPrefix = "Could not parse completly. ";
  std::string message;
  message.reserve(kPrefix.size() + remainder.size());
  message.append(kPrefix);
  message.append(remainder);
  return message;
}

}  // namespace vok
