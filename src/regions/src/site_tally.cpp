#include "regions/site_tally.hpp"

#include <algorithm>
#include <stdexcept>

namespace vok::regions {

SiteTally::SiteTally(const TallySettings& settings)
    : settings_(settings),
      motif_sites_(settings.motif_count, 0),
      motif_records_(settings.motif_count, 0),
      positions_(settings.motif_count * settings.position_bins, 0),
      open_counts_(settings.motif_count, 0),
      open_max_(settings.motif_count, 0.0f) {
  rows_.indptr.push_back(0);
}

void SiteTally::close_record() {
  std::sort(touched_.begin(), touched_.end());
  for (const std::int32_t motif : touched_) {
    const auto m = static_cast<std::size_t>(motif);
    ++motif_records_[m];
    if (settings_.keep_pairs) {
      rows_.indices.push_back(motif);
      rows_.counts.push_back(open_counts_[m]);
      if (settings_.keep_max_mss) rows_.max_mss.push_back(open_max_[m]);
    }
    open_counts_[m] = 0;
  }
  touched_.clear();
  if (settings_.keep_pairs) rows_.indptr.push_back(static_cast<std::int64_t>(rows_.indices.size()));
  ++records_;
}

void SiteTally::add(const stream::HitBatch& batch, std::size_t record_count, const std::uint64_t* starts,
                    const std::uint64_t* ends) {
  const stream::HitColumns& hits = batch.columns;
  const bool with_positions = settings_.position_bins > 0 && starts != nullptr && ends != nullptr;
  // Checked first, so that a refused batch adds nothing.
  std::int32_t previous = 0;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    if (hits.sequence[i] < previous || static_cast<std::size_t>(hits.sequence[i]) >= record_count ||
        hits.motif[i] < 0 || static_cast<std::size_t>(hits.motif[i]) >= settings_.motif_count) {
      throw std::invalid_argument("hits must refer to the batch's records in rising order and to known motifs");
    }
    previous = hits.sequence[i];
  }
  std::size_t record = 0;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const auto hit_record = static_cast<std::size_t>(hits.sequence[i]);
    for (; record < hit_record; ++record) close_record();
    const auto motif = static_cast<std::size_t>(hits.motif[i]);
    if (open_counts_[motif]++ == 0) {
      touched_.push_back(static_cast<std::int32_t>(motif));
      open_max_[motif] = hits.mss[i];
    } else {
      open_max_[motif] = std::max(open_max_[motif], hits.mss[i]);
    }
    ++motif_sites_[motif];
    if (with_positions) {
      // The site's centre against the record's, in bins over the record:
      // (start + end) / 2 - rs over re - rs, in integers.
      const std::uint64_t rs = starts[record], re = ends[record];
      if (re > rs) {
        const std::uint64_t twice_centre = static_cast<std::uint64_t>(hits.start[i] + hits.end[i]);
        const std::uint64_t offset = twice_centre > 2 * rs ? twice_centre - 2 * rs : 0;
        const std::uint64_t bins = settings_.position_bins;
        const std::uint64_t bin = std::min<std::uint64_t>(bins - 1, offset * bins / (2 * (re - rs)));
        ++positions_[motif * settings_.position_bins + bin];
      }
    }
  }
  for (; record < record_count; ++record) close_record();
}

SparseRows SiteTally::take_rows() {
  SparseRows taken = std::move(rows_);
  rows_ = SparseRows{};
  rows_.indptr.push_back(0);
  return taken;
}

}  // namespace vok::regions
