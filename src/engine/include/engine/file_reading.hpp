#pragma once
// Reading a whole file as UTF-8 text, with errors in record notation.
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace vok {

// A failure to read a file: an operating-system error number, or one the file
// layer detected itself (invalid UTF-8, NUL in the path).
struct FileError {
  int os_code = 0;            // errno, when the failure came from the system
  std::string kind;           // InvalidData / InvalidInput for the file layer's own errors
  std::string message;        // the file layer's own text
  bool from_os() const { return os_code != 0; }
};

// Thrown by read_text_file when `interrupted` asked it to stop.
class ReadInterrupted : public std::runtime_error {
 public:
  ReadInterrupted() : std::runtime_error("file reading interrupted") {}
};

// Opens, reads to the end and closes `path`; checks that the bytes are UTF-8.
// Opening or reading may wait for ever (a FIFO with no writer): whenever a
// signal interrupts the wait, `interrupted` (if set) is asked whether to give
// up, and a true answer throws ReadInterrupted.
std::variant<std::string, FileError> read_text_file(std::string_view path,
                                                    const std::function<bool()>& interrupted = {});

// "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }" or
// "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }".
std::string format_file_error(const FileError& error);

// ENOENT -> NotFound, EACCES/EPERM -> PermissionDenied, ... , else Uncategorized.
const char* os_error_kind(int code);

}  // namespace vok
