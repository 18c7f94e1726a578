#include "stream/hit_batch.hpp"

#include <stdexcept>

namespace vok::stream {

void HitColumns::reserve(std::size_t count) {
  sequence.reserve(count);
  start.reserve(count);
  end.reserve(count);
  motif.reserve(count);
  strand.reserve(count);
  css.reserve(count);
  mss.reserve(count);
  core.reserve(count);
  site.reserve(count * site_width);
}

std::string_view HitColumns::site_of(std::size_t hit) const {
  const std::string_view row(site.data() + hit * site_width, site_width);
  return row.substr(0, row.find('\0'));
}

void HitColumns::append(const HitColumns& other, std::int32_t sequence_shift) {
  if (size() == 0) {
    site_width = other.site_width;
  } else if (other.size() > 0 && other.site_width != site_width) {
    throw std::invalid_argument("columns with different site widths");
  }
  for (std::int32_t index : other.sequence) sequence.push_back(index + sequence_shift);
  start.insert(start.end(), other.start.begin(), other.start.end());
  end.insert(end.end(), other.end.begin(), other.end.end());
  motif.insert(motif.end(), other.motif.begin(), other.motif.end());
  strand.insert(strand.end(), other.strand.begin(), other.strand.end());
  css.insert(css.end(), other.css.begin(), other.css.end());
  mss.insert(mss.end(), other.mss.begin(), other.mss.end());
  core.insert(core.end(), other.core.begin(), other.core.end());
  site.insert(site.end(), other.site.begin(), other.site.end());
}

}  // namespace vok::stream
