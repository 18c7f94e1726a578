#include "engine/file_reading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "text/quoted_string.hpp"
#include "utf8_validation.hpp"

namespace vok {
namespace {

constexpr std::size_t kMinimumGrowth = 8192;  // bytes added when the size hint runs out

FileError os_failure(int code) { return FileError{code, os_error_kind(code), {}}; }

// Closes the descriptor on every path out of read_text_file.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;  // an open descriptor
};

// glibc offers the GNU strerror_r (returns the text) or the XSI one (fills
// the buffer); these overloads accept whichever is declared.
[[maybe_unused]] std::string strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] std::string strerror_result(int status, const char* buffer) {
  return status == 0 ? std::string(buffer) : std::string("Unknown error");
}

std::string system_message(int code) {
  char buffer[256] = {};
  return strerror_result(::strerror_r(code, buffer, sizeof buffer), buffer);
}

// Called when a signal interrupted a system call: retry, or stop if asked to.
void retry_or_stop(const std::function<bool()>& interrupted) {
  if (interrupted && interrupted()) throw ReadInterrupted();
}

// read(2) retried when a signal interrupts it; -1 with errno set on failure.
ssize_t read_some(int fd, char* into, std::size_t capacity,
                  const std::function<bool()>& interrupted) {
  for (;;) {
    const ssize_t count = ::read(fd, into, capacity);
    if (count >= 0 || errno != EINTR) return count;
    retry_or_stop(interrupted);
  }
}

// Reads to the end of `fd` into one buffer sized by the hint. Once the hint
// is used up, a small probe read checks for the end so that a regular file is
// never reallocated; files that grew or report no size keep growing it.
int read_all(int fd, std::size_t size_hint, std::string& contents,
             const std::function<bool()>& interrupted) {
  contents.resize(size_hint);
  std::size_t filled = 0;
  for (;;) {
    if (filled == contents.size()) {
      char probe[512];
      const ssize_t count = read_some(fd, probe, sizeof probe, interrupted);
      if (count < 0) return errno;
      if (count == 0) break;
      contents.resize(filled + std::max(filled, kMinimumGrowth));
      std::memcpy(contents.data() + filled, probe, static_cast<std::size_t>(count));
      filled += static_cast<std::size_t>(count);
      continue;
    }
    const ssize_t count = read_some(fd, contents.data() + filled, contents.size() - filled, interrupted);
    if (count < 0) return errno;
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  contents.resize(filled);
  return 0;
}

}  // namespace

std::variant<std::string, FileError> read_text_file(std::string_view path,
                                                    const std::function<bool()>& interrupted) {
  if (path.find('\0') != std::string_view::npos) {
    return FileError{0, "InvalidInput", "data provided contains a nul byte"};
  }
  const std::string terminated_path(path);
  int fd;
  for (;;) {
    fd = ::open(terminated_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
    retry_or_stop(interrupted);
  }
  if (fd < 0) return os_failure(errno);
  const FileDescriptor file(fd);

  struct stat status {};
  std::size_t size_hint = 0;
  if (::fstat(file.get(), &status) == 0 && status.st_size > 0) {
    size_hint = static_cast<std::size_t>(status.st_size);
  }
  std::string contents;
  if (const int code = read_all(file.get(), size_hint, contents, interrupted); code != 0) {
    return os_failure(code);
  }
  if (!is_valid_utf8(contents)) {
    return FileError{0, "InvalidData", "stream did not contain valid UTF-8"};
  }
  return contents;
}

std::string format_file_error(const FileError& error) {
  if (error.from_os()) {
    return "Os { code: " + std::to_string(error.os_code) + ", kind: " + error.kind +
           ", message: " + quoted_string(system_message(error.os_code)) + " }";
  }
  return "Error { kind: " + error.kind + ", message: " + quoted_string(error.message) + " }";
}

}  // namespace vok
