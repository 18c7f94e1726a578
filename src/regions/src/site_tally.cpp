#include "regions/site_tally.hpp"

#include <algorithm>
#include <stdexcept>

namespace vok::regions {
namespace {
constexpr std::size_t kBlockValues = std::size_t{1} << 20;
}  // namespace

template <typename T>
void SiteTally::Blocks<T>::push(T value) {
  if (blocks.empty() || blocks.back().size() == kBlockValues) {
    blocks.emplace_back();
    blocks.back().reserve(kBlockValues);
  }
  blocks.back().push_back(value);
}

template <typename T>
std::vector<T> SiteTally::Blocks<T>::take() {
  std::size_t total = 0;
  for (const auto& block : blocks) total += block.size();
  std::vector<T> joined;
  joined.reserve(total);
  for (auto& block : blocks) {
    joined.insert(joined.end(), block.begin(), block.end());
    std::vector<T>().swap(block);
  }
  blocks.clear();
  return joined;
}

SiteTally::SiteTally(const TallySettings& settings)
    : settings_(settings),
      motif_sites_(settings.motif_count, 0),
      motif_records_(settings.motif_count, 0),
      positions_(settings.motif_count * settings.position_bins, 0),
      open_counts_(settings.motif_count, 0),
      open_max_(settings.motif_count, 0.0f) {
  indptr_.push_back(0);
}

void SiteTally::close_record() {
  std::sort(touched_.begin(), touched_.end());
  for (const std::int32_t motif : touched_) {
    const auto m = static_cast<std::size_t>(motif);
    ++motif_records_[m];
    if (settings_.keep_pairs) {
      indices_.push(motif);
      counts_.push(open_counts_[m]);
      if (settings_.keep_max_mss) max_mss_.push(open_max_[m]);
      ++pairs_;
    }
    open_counts_[m] = 0;
  }
  touched_.clear();
  if (settings_.keep_pairs) indptr_.push_back(pairs_);
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
  SparseRows taken;
  taken.indptr = std::move(indptr_);
  taken.indices = indices_.take();
  taken.counts = counts_.take();
  taken.max_mss = max_mss_.take();
  indptr_ = {0};
  pairs_ = 0;
  return taken;
}

}  // namespace vok::regions
