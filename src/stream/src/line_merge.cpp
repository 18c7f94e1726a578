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
  const auto mismatch = [] { return std::invalid_argument("merge_sorted_lines: each line needs one key"); };
  std::vector<Cursor> cursors;
  std::size_t total = 0;
  for (const KeyedLines& run : runs) {
    total += run.text.size();
    if (!run.keys.empty()) cursors.push_back({run.text, run.keys});
    else if (!run.text.empty()) throw mismatch();
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
    const std::size_t line_end = cursor.rest.find('\n');
    if (line_end == std::string_view::npos) throw mismatch();
    out.append(cursor.rest.substr(0, line_end + 1));
    cursor.rest.remove_prefix(line_end + 1);
    cursor.keys = cursor.keys.subspan(1);
    if (cursor.keys.empty()) {
      if (!cursor.rest.empty()) throw mismatch();  // lines left without keys
      cursors.erase(cursors.begin() + static_cast<std::ptrdiff_t>(best));
    }
  }
  return out;
}

}  // namespace vok::stream
