#pragma once
// Small text helpers shared by the reader tests.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace vok::test {

// The same text with every LF written as CR LF.
inline std::string with_crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

// True when `part` views the tail of `whole` (same storage, ending at its end).
inline bool is_tail_view(std::string_view whole, std::string_view part) {
  return part.data() >= whole.data() && part.data() <= whole.data() + whole.size() &&
         part.data() + part.size() == whole.data() + whole.size();
}

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
