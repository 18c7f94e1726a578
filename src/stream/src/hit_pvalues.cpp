#include "stream/hit_pvalues.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>

#include "stats/matrix_statistics.hpp"
#include "stats/sum_grid.hpp"
#include "stream/errors.hpp"
#include "stream/workers.hpp"

namespace vok::stream {
namespace {

// `known_cap`: the threshold's p-value, or NaN to compute it here.
HitPValueTable table_for(const ScoringMatrix& model, const Background& background, double known_cap) {
  const WindowSumModel window(model);
  const float floor = model.thresholds.mss;
  // The threshold's own p-value, as the threshold search computed it.
  double cap = 1.0;
  if (floor > 0.0f) {
    cap = !std::isnan(known_cap) ? known_cap
                                 : MatrixStatistics(window, background)
                                       .pvalue(-std::numeric_limits<float>::infinity(), floor);
  }
  return HitPValueTable(window, background, floor, cap);
}

}  // namespace

HitPValues::HitPValues(const MotifSet& motifs, const Background& background, bool complement_minus,
                       std::size_t threads, const std::function<bool()>& interrupted,
                       const std::vector<double>& threshold_pvalues)
    : motifs_(motifs.size()), entries_(2 * motifs.size()) {
  if (!threshold_pvalues.empty()) {
    if (threshold_pvalues.size() != 2 * motifs.size()) {
      throw std::invalid_argument("threshold p-values: two per motif (plus and minus strand)");
    }
    for (const double value : threshold_pvalues) {
      if (!std::isnan(value) && !(value >= 0.0 && value <= 1.0)) {
        throw std::invalid_argument("a threshold p-value must be in [0, 1]");
      }
    }
  }
  const auto known = [&](std::size_t k, bool minus) {
    return threshold_pvalues.empty() ? std::numeric_limits<double>::quiet_NaN()
                                     : threshold_pvalues[2 * motifs.motif_of(k) + (minus ? 1 : 0)];
  };
  const Background opposite = complement(background);
  const bool separate = complement_minus && !background.strand_symmetric();
  const std::size_t per_model = separate ? 2 : 1;
  const std::size_t models = motifs.scanned_count();
  // Each model's tables in their own slots: the order of tables_ does not
  // depend on which worker built what.
  std::vector<std::optional<HitPValueTable>> built(models * per_model);
  const auto build = [&](std::size_t k) {
    built[k * per_model] = table_for(motifs.model(k), background, known(k, false));
    if (separate) built[k * per_model + 1] = table_for(motifs.model(k), opposite, known(k, true));
  };
  if (threads == 1 || models < 2) {
    for (std::size_t k = 0; k < models; ++k) build(k);
  } else {
    run_on_workers(models, threads, build, interrupted);
  }
  tables_.reserve(built.size());
  for (auto& table : built) tables_.push_back(std::move(*table));
  for (std::size_t k = 0; k < models; ++k) {
    const std::size_t motif = motifs.motif_of(k);
    const HitPValueTable& plus = tables_[k * per_model];
    const HitPValueTable& minus = tables_[k * per_model + per_model - 1];
    entries_[2 * motif] = {plus.index(), &plus};
    entries_[2 * motif + 1] = {minus.index(), &minus};
  }
  release_grid_buffers();  // the tables are built: the grids' memory goes back
}

void HitPValues::fill(const HitColumns& hits, std::vector<float>& out) const {
  const std::size_t count = hits.size();
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (hits.motif[i] < 0 || static_cast<std::size_t>(hits.motif[i]) >= motifs_) {
      throw std::out_of_range("a hit refers to a motif that does not exist");
    }
  }
  look_up(hits, 0, count, out.data());
}

void HitPValues::look_up(const HitColumns& hits, std::size_t first, std::size_t count, float* out) const {
  struct Key {
    std::int32_t motif;
    std::int8_t strand;
    float mss;
  };
  look_up(
      count, [&](std::size_t i) { return Key{hits.motif[first + i], hits.strand[first + i], hits.mss[first + i]}; },
      out);
}

std::size_t HitPValues::memory_bytes() const {
  std::size_t bytes = entries_.size() * sizeof(Entry);
  for (const HitPValueTable& table : tables_) bytes += table.memory_bytes();
  return bytes;
}

}  // namespace vok::stream

namespace vok::stream {

double HitPValues::loose_share() const {
  double total = 0.0;
  for (const HitPValueTable& table : tables_) total += table.loose_share();
  return tables_.empty() ? 0.0 : total / static_cast<double>(tables_.size());
}

}  // namespace vok::stream
