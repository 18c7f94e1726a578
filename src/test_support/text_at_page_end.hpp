#pragma once
// Test support shared by the libraries' unit tests.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string_view>

namespace vok::test {

// A copy of a text that ends where readable memory ends: a reader that reads
// even one byte past the text faults at once, instead of reading a NUL.
class TextAtPageEnd {
 public:
  explicit TextAtPageEnd(std::string_view text)
      : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))),
        size_((text.size() / page_ + 2) * page_) {
    void* memory = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<char*>(memory);
    char* guard = base_ + size_ - page_;
    if (mprotect(guard, page_, PROT_NONE) != 0) {
      munmap(base_, size_);
      throw std::bad_alloc();
    }
    char* start = guard - text.size();
    if (!text.empty()) std::memcpy(start, text.data(), text.size());
    view_ = std::string_view(start, text.size());
  }
  ~TextAtPageEnd() { munmap(base_, size_); }
  TextAtPageEnd(const TextAtPageEnd&) = delete;
  TextAtPageEnd& operator=(const TextAtPageEnd&) = delete;

  std::string_view view() const { return view_; }

 private:
  std::size_t page_;
  std::size_t size_;
  char* base_ = nullptr;
  std::string_view view_;
};

}  // namespace vok::test
