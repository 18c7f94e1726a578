#include "stream/motif_set.hpp"

#include <algorithm>
#include <variant>

#include "scoring/internal_failure.hpp"
#include "stream/errors.hpp"

namespace vok::stream {

MotifSet::MotifSet(std::vector<MotifSpec> motifs) : specs_(std::move(motifs)) {
  for (std::size_t i = 0; i < specs_.size(); ++i) {
    const MotifSpec& spec = specs_[i];
    max_length_ = std::max(max_length_, spec.matrix.length);
    std::variant<ScoringMatrix, MatrixToShort> built;
    try {
      built = build_scoring_matrix(spec.matrix, spec.thresholds);
    } catch (const InternalFailure& failure) {
      throw InputError("motif '" + quote_excerpt(spec.id) + "': cannot be scored: " + failure.what());
    }
    if (auto* model = std::get_if<ScoringMatrix>(&built)) {
      models_.push_back(std::move(*model));
      motif_of_model_.push_back(i);
    }
  }
  scanner_ = std::make_unique<MultiScanner>(models_);
}

}  // namespace vok::stream
