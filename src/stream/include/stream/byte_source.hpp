#pragma once
// The bytes of one input, plain or gzip-compressed (detected by the magic
// bytes, several members such as bgzip blocks read as one stream).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vok::stream {

class ByteSource {
 public:
  // "-" is standard input (not closed at the end). Throws FileError.
  // Opening a named pipe does not wait for its writer. While waiting on a
  // pipe or terminal, `stop` (if given) is checked about every 100 ms; when
  // set the read throws ScanInterrupted.
  ByteSource(const std::string& path, const std::atomic<bool>* stop);
  ~ByteSource();
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // Up to `size` decoded bytes; 0 only at the end of the input.
  // Throws FileError, or InputError for broken compressed data.
  std::size_t read(char* out, std::size_t size);

  const std::string& display_name() const { return display_name_; }
  std::uint64_t raw_bytes_read() const { return raw_bytes_read_; }
  bool compressed() const { return inflater_ != nullptr; }

 private:
  struct Inflater;

  std::size_t read_raw(char* out, std::size_t size);
  bool refill_raw();

  std::string path_;                    // as given
  std::string display_name_;            // path, or "<stdin>"
  int fd_ = -1;                         // open descriptor
  bool owns_fd_ = false;                // false for standard input
  bool waits_ = false;                  // not a regular file: poll before reading
  const std::atomic<bool>* stop_;       // set by the owner to abandon a wait; may be null
  std::uint64_t raw_bytes_read_ = 0;    // bytes read from the descriptor
  bool raw_end_ = false;                // the descriptor reached end of file
  bool detected_ = false;               // the magic bytes were looked at
  std::vector<char> raw_;               // raw input buffer
  std::size_t raw_begin_ = 0;           // unread raw bytes are raw_[raw_begin_, raw_end_pos_)
  std::size_t raw_end_pos_ = 0;         // end of the raw bytes held
  std::unique_ptr<Inflater> inflater_;  // set for gzip input
};

// The size of a regular file, nullopt for standard input and other streams.
// Throws FileError when the path cannot be examined.
std::optional<std::uint64_t> input_size(const std::string& path);

}  // namespace vok::stream
