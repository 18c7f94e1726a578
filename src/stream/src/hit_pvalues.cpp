#include "stream/hit_pvalues.hpp"

#include <stdexcept>

#include "stats/matrix_statistics.hpp"

namespace vok::stream {

HitPValues::HitPValues(const MotifSet& motifs, const Background& background, bool complement_minus)
    : plus_(motifs.size()) {
  const Background opposite = complement(background);
  const bool separate = complement_minus && !background.strand_symmetric();
  if (separate) minus_.resize(motifs.size());
  for (std::size_t k = 0; k < motifs.scanned_count(); ++k) {
    const ScoringMatrix& model = motifs.model(k);
    const std::size_t motif = motifs.motif_of(k);
    plus_[motif] = MatrixStatistics(model, background).hit_table();
    if (separate) minus_[motif] = MatrixStatistics(model, opposite).hit_table();
  }
}

void HitPValues::fill(const HitColumns& hits, std::vector<float>& out) const {
  const std::size_t count = hits.size();
  out.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (hits.motif[i] < 0 || static_cast<std::size_t>(hits.motif[i]) >= plus_.size()) {
      throw std::out_of_range("a hit refers to a motif that does not exist");
    }
    out[i] = (*this)(hits.motif[i], hits.strand[i], hits.mss[i]);
  }
}

}  // namespace vok::stream
