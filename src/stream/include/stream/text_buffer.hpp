#pragma once
// A growable byte buffer for output lines. Unlike std::string it does not
// zero the room reserved for text about to be written over.
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace vok::stream {

class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(TextBuffer&& other) noexcept { *this = std::move(other); }
  TextBuffer& operator=(TextBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = other.size_;
    capacity_ = other.capacity_;
    other.size_ = other.capacity_ = 0;
    return *this;
  }

  // At least `bytes` writable bytes after the text; write, then commit().
  char* room(std::size_t bytes) {
    if (capacity_ - size_ < bytes) grow(size_ + bytes);
    return data_.get() + size_;
  }
  // The text now ends at `end` (a pointer into the last room()).
  void commit(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }

  void append(std::string_view text) {
    if (!text.empty()) commit(static_cast<char*>(std::memcpy(room(text.size()), text.data(), text.size())) + text.size());
  }
  void reserve(std::size_t bytes) {
    if (bytes > capacity_) grow(bytes);
  }
  void clear() { size_ = 0; }

  std::string_view view() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

 private:
  void grow(std::size_t needed) {
    std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity < needed) capacity *= 2;
    std::unique_ptr<char[]> data(new char[capacity]);
    if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;  // capacity_ bytes, the first size_ of them text
  std::size_t size_ = 0;          // bytes of text
  std::size_t capacity_ = 0;      // bytes allocated
};

}  // namespace vok::stream
