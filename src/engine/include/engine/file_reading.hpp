#pragma once
// Reading a whole file as UTF-8 text, with errors in record notation.
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

// Opens, reads to the end and closes `path`; checks that the bytes are UTF-8.
std::variant<std::string, FileError> read_text_file(std::string_view path);

// "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }" or
// "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }".
std::string format_file_error(const FileError& error);

// ENOENT -> NotFound, EACCES/EPERM -> PermissionDenied, ... , else Uncategorized.
const char* os_error_kind(int code);

}  // namespace vok
