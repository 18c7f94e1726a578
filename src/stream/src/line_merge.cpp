#include "stream/line_merge.hpp"

#include <stdexcept>
#include <vector>

namespace vok::stream {
namespace {

struct Cursor {
  std::string_view rest;                // lines not yet taken
  std::span<const std::uint64_t> keys;  // their keys
};

}  // namespace

std::string merge_sorted_lines(std::span<const KeyedLines> runs) {
  std::vector<Cursor> cursors;
  std::size_t total = 0;
  for (const KeyedLines& run : runs) {
    std::size_t lines = 0;
    for (const char c : run.text) lines += c == '\n';
    if (lines != run.keys.size() || (!run.text.empty() && run.text.back() != '\n')) {
      throw std::invalid_argument("merge_sorted_lines: each line needs one key");
    }
    total += run.text.size();
    if (!run.text.empty()) cursors.push_back({run.text, run.keys});
  }
  std::string out;
  out.reserve(total);
  // Few runs (motif groups of one block): a linear pick of the smallest key.
  while (!cursors.empty()) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < cursors.size(); ++i) {
      if (cursors[i].keys.front() < cursors[best].keys.front()) best = i;
    }
    Cursor& cursor = cursors[best];
    const std::size_t length = cursor.rest.find('\n') + 1;
    out.append(cursor.rest.substr(0, length));
    cursor.rest.remove_prefix(length);
    cursor.keys = cursor.keys.subspan(1);
    if (cursor.keys.empty()) cursors.erase(cursors.begin() + static_cast<std::ptrdiff_t>(best));
  }
  return out;
}

}  // namespace vok::stream
