#pragma once
// Per-hit p-values of a motif set: for every motif the tail table of its mss
// under the background, one per strand background, so that a hit's p-value
// is one lookup.
#include <cstddef>
#include <cstdint>
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
  // strand-symmetric). Motifs shorter than five positions get p-value 1.
  HitPValues(const MotifSet& motifs, const Background& background, bool complement_minus);

  std::size_t size() const { return plus_.size(); }

  // P(a random full window of the motif scores mss >= the hit's mss), an
  // upper bound (see HitPValueTable).
  float operator()(std::int32_t motif, std::int8_t strand, float mss) const {
    const auto& tables = (strand < 0 && !minus_.empty()) ? minus_ : plus_;
    return tables[static_cast<std::size_t>(motif)](mss);
  }

  // One p-value per hit of `hits`; std::out_of_range for a motif index
  // outside the set.
  void fill(const HitColumns& hits, std::vector<float>& out) const;

 private:
  std::vector<HitPValueTable> plus_;   // by motif: forward-strand (and reversed-strand) hits
  std::vector<HitPValueTable> minus_;  // by motif: minus-strand hits; empty when plus_ serves
};

}  // namespace vok::stream
