#include "stream/errors.hpp"

namespace vok::stream {

std::string describe_invalid_byte(unsigned char byte) {
  if (byte >= 0x20 && byte < 0x7f) return std::string("invalid character '") + char(byte) + "'";
  static const char digits[] = "0123456789ABCDEF";
  return std::string("invalid byte 0x") + digits[byte >> 4] + digits[byte & 15];
}

}  // namespace vok::stream
