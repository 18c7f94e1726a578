#pragma once
// The failures of the streaming scanner, each with a one-line message.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vok::stream {

// Bad input: a sequence letter, a broken compressed stream, a motif that
// cannot be scored. The message names the file, record, line or motif.
class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message) : std::runtime_error(message) {}
  InputError(const std::string& message, std::string record_name, std::uint64_t record_offset)
      : std::runtime_error(message), record(std::move(record_name)), offset(record_offset) {}

  std::optional<std::string> record;    // record name, for a letter error in a given text
  std::optional<std::uint64_t> offset;  // 0-based record index of the offending letter
};

// A failed system call on a named file (or standard input / output).
class FileError : public std::runtime_error {
 public:
  FileError(int error_number, std::string file_path, const std::string& what)
      : std::runtime_error(what), os_code(error_number), path(std::move(file_path)) {}

  int os_code;       // errno of the failed call
  std::string path;  // the file as the caller named it; empty for standard streams
};

// The caller's interruption check asked a running scan to stop.
class ScanInterrupted : public std::runtime_error {
 public:
  ScanInterrupted() : std::runtime_error("scan interrupted") {}
};

// "invalid character 'x'" for printable ASCII, else "invalid byte 0xHH".
std::string describe_invalid_byte(unsigned char byte);

// Text from the input (a record name, a motif id) as a message quotes it: on
// one line (control characters become '?') and at most kQuoteLimit bytes, a
// longer text cut at a character boundary and ended with "...". A damaged
// file can make a whole sequence line a record's name.
inline constexpr std::size_t kQuoteLimit = 80;
std::string quote_excerpt(std::string_view text);

}  // namespace vok::stream
