#include "stream/line_sink.hpp"

#include <algorithm>
#include <string>

namespace vok::stream {

void LineSink::add(const Block& block, const BlockPart& part, std::span<const PendingHit> hits) {
  if (hits.empty()) return;
  const std::string_view name = format_.written_name(block.names[part.sequence], name_copy_, notes_);
  const std::size_t longest_line = format_.longest_line(name.size());
  std::string site;
  constexpr std::size_t kSlice = 1024;  // lines per room reserved, so it stays in cache
  pvalues_.resize(kSlice, 1.0f);
  for (std::size_t first = 0; first < hits.size(); first += kSlice) {
    const std::size_t last = std::min(hits.size(), first + kSlice);
    if (format_.has_pvalue()) {
      format_.pvalues().look_up(
          last - first, [&](std::size_t i) -> const PendingHit& { return hits[first + i]; }, pvalues_.data());
    }
    char* at = out_.room((last - first) * longest_line);
    for (std::size_t i = first; i < last; ++i) {
      const PendingHit& hit = hits[i];
      if (format_.has_site()) {
        site.resize(hit.end - hit.start);
        site_letters(block, part, hit, strand_, site.data());
      }
      at = format_.put(at, {name, {}, static_cast<std::int64_t>(hit.start), static_cast<std::int64_t>(hit.end),
                            static_cast<std::int64_t>(hit.core), static_cast<std::int32_t>(hit.motif),
                            hit.strand, hit.css, hit.mss, site, pvalues_[i - first]});
    }
    out_.commit(at);
  }
  hits_ += hits.size();
}

}  // namespace vok::stream
