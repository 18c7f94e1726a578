#pragma once
// Bytes to a file or to standard output, optionally gzip-compressed.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vok::stream {

class OutputSink {
 public:
  // path: the file to create (truncated if it exists); nullopt: standard
  // output (descriptor 1, never closed here). Throws FileError.
  OutputSink(const std::optional<std::string>& path, bool compress);
  ~OutputSink();
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  // Throws FileError (errno EPIPE for a closed pipe).
  void write(std::string_view data);
  // Finishes the compressed stream and closes the file; later calls do nothing.
  void close();
  bool closed() const { return fd_ < 0; }

 private:
  struct Deflater;

  void write_fd(const char* data, std::size_t size);
  void deflate_some(std::string_view data, bool finish);

  std::string name_;                    // path, or "<stdout>", for messages
  std::optional<std::string> path_;     // as given
  int fd_ = -1;                         // the open descriptor; -1 once closed
  bool owns_fd_ = false;                // false for standard output
  std::unique_ptr<Deflater> deflater_;  // set for compressed output
  std::vector<char> compressed_;        // deflate output buffer
};

}  // namespace vok::stream
