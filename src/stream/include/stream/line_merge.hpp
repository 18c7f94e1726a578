#pragma once
// Text of several sorted runs of lines merged into one sorted text: the
// cluster scan formats each motif group's hits where they were found and the
// client only interleaves the lines.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vok::stream {

// One run: lines, each ending in '\n', and one key per line, ascending.
struct KeyedLines {
  std::string_view text;                // the lines
  std::span<const std::uint64_t> keys;  // the sort key of each line, in line order
};

// The lines of all runs in ascending key order; of equal keys, the earlier
// run's line comes first. Throws std::invalid_argument when a run's line
// count differs from its key count or its text does not end a line.
std::string merge_sorted_lines(std::span<const KeyedLines> runs);

}  // namespace vok::stream
