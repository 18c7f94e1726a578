#pragma once
// Hits as columns, one entry per hit in output order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vok::stream {

struct HitColumns {
  std::vector<std::int32_t> sequence;  // index into HitBatch::sequence_names
  std::vector<std::int64_t> start;     // window start, 0-based, clipped to the segment
  std::vector<std::int64_t> end;       // window end (exclusive), clipped to the segment
  std::vector<std::int32_t> motif;     // index into the motif set
  std::vector<std::int8_t> strand;     // +1 forward, -1 reverse
  std::vector<float> css;              // core similarity score
  std::vector<float> mss;              // matrix similarity score
  std::vector<std::int64_t> core;      // forward index of the core word's leftmost base
  std::size_t site_width = 0;          // letters per hit in `site`; 0: no site column
  std::vector<char> site;              // per hit: the window's letters on its strand, NUL-padded to site_width

  std::size_t size() const { return start.size(); }
  // Bytes of memory the columns take per hit.
  std::size_t bytes_per_hit() const { return 41 + site_width; }
  std::string_view site_of(std::size_t hit) const;
  void reserve(std::size_t count);
  void append(const HitColumns& other, std::int32_t sequence_shift);
};

struct HitBatch {
  std::vector<std::string> sequence_names;  // record names the hits refer to
  std::vector<std::string> region_names;    // by record: its region's name; empty: no regions
  HitColumns columns;                       // the hits in output order

  std::size_t size() const { return columns.size(); }
};

}  // namespace vok::stream
