#include "stream/byte_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "stream/errors.hpp"

namespace vok::stream {
namespace {

constexpr std::size_t kRawBufferSize = 1 << 18;

[[noreturn]] void throw_file_error(int code, const std::string& path, const std::string& name) {
  throw FileError(code, path, name + ": " + std::strerror(code));
}

}  // namespace

struct ByteSource::Inflater {
  z_stream stream{};     // zlib state, gzip wrapper
  bool in_member = false;  // inside a gzip member (its end not yet seen)

  Inflater() {
    if (inflateInit2(&stream, 15 + 16) != Z_OK) throw std::bad_alloc();
  }
  ~Inflater() { inflateEnd(&stream); }
};

ByteSource::ByteSource(const std::string& path, const std::atomic<bool>* stop)
    : path_(path), display_name_(path == "-" ? "<stdin>" : path), stop_(stop), raw_(kRawBufferSize) {
  if (path == "-") {
    fd_ = 0;
  } else {
    // Non-blocking, so that opening a named pipe does not wait for its
    // writer; reads wait in poll() instead, where a stop is noticed.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) throw_file_error(errno, path, path);
    owns_fd_ = true;
  }
  struct stat info {};
  if (::fstat(fd_, &info) != 0) {
    const int code = errno;
    if (owns_fd_) ::close(fd_);
    throw_file_error(code, path_, display_name_);
  }
  if (S_ISDIR(info.st_mode)) {
    if (owns_fd_) ::close(fd_);
    throw_file_error(EISDIR, path_, display_name_);
  }
  waits_ = !S_ISREG(info.st_mode);
  if (!waits_ && owns_fd_) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

ByteSource::~ByteSource() {
  if (owns_fd_) ::close(fd_);
}

// Reads more raw bytes behind the unread ones; false at end of file.
bool ByteSource::refill_raw() {
  if (raw_end_) return false;
  if (raw_begin_ > 0) {
    std::memmove(raw_.data(), raw_.data() + raw_begin_, raw_end_pos_ - raw_begin_);
    raw_end_pos_ -= raw_begin_;
    raw_begin_ = 0;
  }
  while (true) {
    if (waits_) {
      pollfd poll_fd{fd_, POLLIN, 0};
      const int ready = ::poll(&poll_fd, 1, 100);
      if (stop_ != nullptr && stop_->load()) throw ScanInterrupted();
      if (ready == 0) continue;
      if (ready < 0 && errno == EINTR) continue;
    }
    const ssize_t got = ::read(fd_, raw_.data() + raw_end_pos_, raw_.size() - raw_end_pos_);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      throw_file_error(errno, path_, display_name_);
    }
    if (got == 0) {
      raw_end_ = true;
      return false;
    }
    raw_end_pos_ += static_cast<std::size_t>(got);
    raw_bytes_read_ += static_cast<std::uint64_t>(got);
    return true;
  }
}

std::size_t ByteSource::read_raw(char* out, std::size_t size) {
  if (raw_begin_ == raw_end_pos_ && !refill_raw()) return 0;
  const std::size_t count = std::min(size, raw_end_pos_ - raw_begin_);
  std::memcpy(out, raw_.data() + raw_begin_, count);
  raw_begin_ += count;
  return count;
}

std::size_t ByteSource::read(char* out, std::size_t size) {
  if (!detected_) {
    while (raw_end_pos_ - raw_begin_ < 2 && refill_raw()) {
    }
    detected_ = true;
    if (raw_end_pos_ - raw_begin_ >= 2 && static_cast<unsigned char>(raw_[raw_begin_]) == 0x1f &&
        static_cast<unsigned char>(raw_[raw_begin_ + 1]) == 0x8b) {
      inflater_ = std::make_unique<Inflater>();
    }
  }
  if (!inflater_) return read_raw(out, size);

  z_stream& stream = inflater_->stream;
  const uInt capacity = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
  stream.next_out = reinterpret_cast<Bytef*>(out);
  stream.avail_out = capacity;
  while (stream.avail_out == capacity) {
    if (!inflater_->in_member) {
      // Another member may follow (bgzip writes many); it starts with the magic bytes.
      while (raw_end_pos_ - raw_begin_ < 2 && refill_raw()) {
      }
      if (raw_begin_ == raw_end_pos_) break;
      if (raw_end_pos_ - raw_begin_ < 2 || static_cast<unsigned char>(raw_[raw_begin_]) != 0x1f ||
          static_cast<unsigned char>(raw_[raw_begin_ + 1]) != 0x8b) {
        throw InputError(display_name_ + ": data after the end of the gzip stream");
      }
      inflateReset(&stream);
      inflater_->in_member = true;
    }
    if (raw_begin_ == raw_end_pos_ && !refill_raw()) {
      throw InputError(display_name_ + ": gzip data ends early");
    }
    stream.next_in = reinterpret_cast<Bytef*>(raw_.data() + raw_begin_);
    stream.avail_in = static_cast<uInt>(raw_end_pos_ - raw_begin_);
    const int status = inflate(&stream, Z_NO_FLUSH);
    raw_begin_ = raw_end_pos_ - stream.avail_in;
    if (status == Z_STREAM_END) {
      inflater_->in_member = false;
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
      throw InputError(display_name_ + ": invalid gzip data (" +
                       (stream.msg != nullptr ? std::string(stream.msg)
                                              : "zlib error " + std::to_string(status)) +
                       ")");
    }
  }
  return capacity - stream.avail_out;
}

std::optional<std::uint64_t> input_size(const std::string& path) {
  if (path == "-") return std::nullopt;
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw_file_error(errno, path, path);
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace vok::stream
