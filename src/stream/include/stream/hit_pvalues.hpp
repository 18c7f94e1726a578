#pragma once
// Per-hit p-values of a motif set: for every scanned motif a HitPValueTable
// of its mss under the background, one per strand background, covering the
// scores from the motif's mss threshold up.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "stats/background.hpp"
#include "stats/hit_pvalue_table.hpp"
#include "stream/hit_batch.hpp"
#include "stream/motif_set.hpp"

namespace vok::stream {

class HitPValues {
 public:
  // Minus-strand hits of a scan of both strands are reverse complements of
  // random sequence: with `complement_minus` they are looked up under the
  // complemented background (the same table when the background is
  // strand-symmetric). Motifs shorter than five positions get p-value 1. A
  // hit at or above its motif's mss threshold never gets more than the
  // p-value of that threshold (MatrixStatistics::pvalue with any css).
  //
  // The tables are built on `threads` workers: 1 builds them on the calling
  // thread, 0 on the shared worker pool, more on a private pool of that
  // size. While workers build, `interrupted` (if set) is asked about every
  // 20 ms; a true answer throws ScanInterrupted. The tables are the same
  // whatever the workers.
  //
  // `threshold_pvalues`, when not empty, holds for every motif the p-value
  // of its mss threshold under the plus and the minus strand's background
  // (2 * motif + minus; NaN: not known), as MatrixStatistics::pvalue with any
  // css gives it: the search that chose the thresholds has it at hand, and
  // computing it again costs a third of the build. std::invalid_argument
  // for a wrong length or a value outside [0, 1].
  HitPValues(const MotifSet& motifs, const Background& background, bool complement_minus,
             std::size_t threads = 1, const std::function<bool()>& interrupted = {},
             const std::vector<double>& threshold_pvalues = {});

  // Not copied: the lookup entries point into the tables (a move keeps them).
  HitPValues(const HitPValues&) = delete;
  HitPValues& operator=(const HitPValues&) = delete;
  HitPValues(HitPValues&&) noexcept = default;
  HitPValues& operator=(HitPValues&&) noexcept = default;

  std::size_t size() const { return motifs_; }

  // P(a random full window of the motif scores mss >= the hit's mss): never
  // below the exact value, within 1% of it. Const and safe to call from
  // several threads at once (see HitPValueTable).
  float operator()(std::int32_t motif, std::int8_t strand, float mss) const {
    const Entry& entry = entry_of(motif, strand);
    if (entry.table == nullptr || !(mss > 0.0f)) return 1.0f;
    const float value = entry.index.value(mss);
    return value >= 0.0f ? value : entry.table->searched(mss);
  }

  // The p-values of `count` hits, hit_at(i) giving a hit with motif, strand
  // and mss: what operator() gives, faster, since each lookup's cell is
  // fetched while the lookups before it run.
  template <class HitAt>
  void look_up(std::size_t count, const HitAt& hit_at, float* out) const {
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kAhead < count) {
        const auto& next = hit_at(i + kAhead);
        const Entry& entry = entry_of(next.motif, next.strand);
        if (entry.table != nullptr) entry.index.prefetch(next.mss);
      }
      const auto& hit = hit_at(i);
      out[i] = (*this)(static_cast<std::int32_t>(hit.motif), hit.strand, hit.mss);
    }
  }
  // The same for the hits first .. first + count - 1 of `hits`.
  void look_up(const HitColumns& hits, std::size_t first, std::size_t count, float* out) const;

  // One p-value per hit of `hits`; std::out_of_range for a motif index
  // outside the set.
  void fill(const HitColumns& hits, std::vector<float>& out) const;

  // Bytes held by the tables.
  std::size_t memory_bytes() const;
  // The mean over tables of HitPValueTable::loose_share().
  double loose_share() const;

 private:
  std::size_t motifs_;                   // motifs of the set, scanned or not
  // What a lookup reads first, side by side for all motifs, so that it misses
  // the cache only at the table's cell.
  struct Entry {
    HitPValueTable::Index index;
    const HitPValueTable* table = nullptr;  // null: p-value 1
  };
  const Entry& entry_of(std::size_t motif, std::int8_t strand) const {
    return entries_[2 * motif + (strand < 0 ? 1 : 0)];
  }

  std::vector<HitPValueTable> tables_;  // one per scanned motif and strand background
  std::vector<Entry> entries_;          // [2 * motif + minus]
};

}  // namespace vok::stream
