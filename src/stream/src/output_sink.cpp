#include "stream/output_sink.hpp"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

#include "stream/errors.hpp"

namespace vok::stream {
namespace {

constexpr std::size_t kCompressedBuffer = 1 << 18;
constexpr int kCompressionLevel = 6;

[[noreturn]] void throw_file_error(int code, const std::optional<std::string>& path,
                                   const std::string& name) {
  throw FileError(code, path.value_or(""), name + ": " + std::strerror(code));
}

}  // namespace

struct OutputSink::Deflater {
  z_stream stream{};  // zlib state, gzip wrapper

  Deflater() {
    if (deflateInit2(&stream, kCompressionLevel, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::bad_alloc();
    }
  }
  ~Deflater() { deflateEnd(&stream); }
};

OutputSink::OutputSink(const std::optional<std::string>& path, bool compress)
    : name_(path.value_or("<stdout>")), path_(path) {
  if (path) {
    fd_ = ::open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw_file_error(errno, path_, name_);
    owns_fd_ = true;
  } else {
    fd_ = 1;
  }
  if (compress) {
    deflater_ = std::make_unique<Deflater>();
    compressed_.resize(kCompressedBuffer);
  }
}

OutputSink::~OutputSink() {
  if (owns_fd_ && fd_ >= 0) ::close(fd_);
}

void OutputSink::write_fd(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw_file_error(errno, path_, name_);
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void OutputSink::deflate_some(std::string_view data, bool finish) {
  z_stream& stream = deflater_->stream;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  while (true) {
    stream.next_out = reinterpret_cast<Bytef*>(compressed_.data());
    stream.avail_out = static_cast<uInt>(compressed_.size());
    const int status = deflate(&stream, finish ? Z_FINISH : Z_NO_FLUSH);
    write_fd(compressed_.data(), compressed_.size() - stream.avail_out);
    if (finish ? status == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out != 0) break;
  }
}

void OutputSink::write(std::string_view data) {
  if (fd_ < 0) throw FileError(EBADF, path_.value_or(""), name_ + ": the output is closed");
  if (!deflater_) {
    write_fd(data.data(), data.size());
    return;
  }
  // zlib counts input in 32-bit units.
  constexpr std::size_t kSlice = 1u << 30;
  for (std::size_t at = 0; at < data.size(); at += kSlice) {
    deflate_some(data.substr(at, kSlice), false);
  }
}

void OutputSink::close() {
  if (fd_ < 0) return;
  const int fd = fd_;
  if (deflater_) {
    try {
      deflate_some({}, true);
    } catch (...) {
      if (owns_fd_) ::close(fd);
      fd_ = -1;
      throw;
    }
  }
  fd_ = -1;
  if (owns_fd_ && ::close(fd) != 0) throw_file_error(errno, path_, name_);
}

}  // namespace vok::stream
