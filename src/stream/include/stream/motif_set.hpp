#pragma once
// The motifs of one run: their identities, their scoring models (built once)
// and the multi-model scanner over them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/multi_scan.hpp"
#include "scoring/pwm_matrix.hpp"
#include "scoring/scoring_matrix.hpp"
#include "scoring/thresholds.hpp"

namespace vok::stream {

struct MotifSpec {
  std::string id;          // matrix identifier, written as the motif id
  std::string name;        // factor name; may be empty
  PwmMatrix matrix;        // raw values as given (counts or frequencies)
  Thresholds thresholds;   // css and mss cut-offs of this motif
};

class MotifSet {
 public:
  // Builds every model; a motif whose build fails (a NaN) is an InputError
  // naming it. Motifs shorter than five positions are kept but never scanned.
  explicit MotifSet(std::vector<MotifSpec> motifs);
  MotifSet(const MotifSet&) = delete;
  MotifSet& operator=(const MotifSet&) = delete;

  std::size_t size() const { return specs_.size(); }
  const MotifSpec& spec(std::size_t motif) const { return specs_[motif]; }
  std::size_t max_length() const { return max_length_; }

  // Context a block part needs beyond its owned range on each side.
  std::size_t context() const { return max_length_ > 5 ? max_length_ - 1 : 4; }

  // The models that are scanned, and for each the motif index it belongs to.
  const MultiScanner& scanner() const { return *scanner_; }
  std::size_t scanned_count() const { return models_.size(); }
  std::size_t motif_of(std::size_t model) const { return motif_of_model_[model]; }
  const ScoringMatrix& model(std::size_t model) const { return models_[model]; }

 private:
  std::vector<MotifSpec> specs_;                 // every motif, in the caller's order
  std::vector<ScoringMatrix> models_;            // models of the motifs with L >= 5
  std::vector<std::size_t> motif_of_model_;      // models_[i] belongs to specs_[motif_of_model_[i]]
  std::unique_ptr<MultiScanner> scanner_;        // refers to models_
  std::size_t max_length_ = 0;                   // longest L of all motifs
};

}  // namespace vok::stream
