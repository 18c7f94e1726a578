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
  HitPValues(const MotifSet& motifs, const Background& background, bool complement_minus,
             std::size_t threads = 1, const std::function<bool()>& interrupted = {});

  std::size_t size() const { return motifs_; }

  // P(a random full window of the motif scores mss >= the hit's mss): never
  // below the exact value, within 1% of it. Const and safe to call from
  // several threads at once (see HitPValueTable).
  float operator()(std::int32_t motif, std::int8_t strand, float mss) const {
    const std::int32_t table = table_of_[2 * static_cast<std::size_t>(motif) + (strand < 0 ? 1 : 0)];
    return table < 0 ? 1.0f : tables_[static_cast<std::size_t>(table)](mss);
  }

  // One p-value per hit of `hits`; std::out_of_range for a motif index
  // outside the set.
  void fill(const HitColumns& hits, std::vector<float>& out) const;

  // Bytes held by the tables.
  std::size_t memory_bytes() const;
  // The mean over tables of HitPValueTable::loose_share().
  double loose_share() const;

 private:
  std::size_t motifs_;                   // motifs of the set, scanned or not
  std::vector<HitPValueTable> tables_;   // one per scanned motif and strand background
  std::vector<std::int32_t> table_of_;   // [2 * motif + minus]: index into tables_, -1: p-value 1
};

}  // namespace vok::stream
