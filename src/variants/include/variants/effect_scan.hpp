#pragma once
// Which binding sites a batch of variants creates or breaks: for every
// variant and motif, the best window of each allele and whether it passes.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "stream/block_scan.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/motif_set.hpp"
#include "variants/variant_batch.hpp"

namespace vok::variants {

enum class Effect : std::int8_t {
  kNone = 0,  // neither allele's best window passes (rows of `all` only)
  kGain = 1,  // only ALT's passes
  kLoss = 2,  // only REF's passes
  kBoth = 3,  // both pass
};

// The best window of one allele per row.
struct AlleleColumns {
  std::vector<std::int8_t> strand;   // +1, -1; 0: the allele has no window for the motif
  std::vector<std::int64_t> offset;  // window start relative to the variant's first reference base
  std::vector<float> css;            // core similarity score
  std::vector<float> mss;            // matrix similarity score
  std::vector<float> pvalue;         // P(a random window's mss >= this mss)

  void append(const AlleleColumns& other);
};

struct EffectRows {
  std::vector<std::uint32_t> variant;  // index into the batch
  std::vector<std::uint32_t> motif;    // index into the motif set
  AlleleColumns ref;                   // REF's best window
  AlleleColumns alt;                   // ALT's best window
  std::vector<float> delta_mss;        // alt mss - ref mss; NaN without both windows
  std::vector<float> log10_ratio;      // log10(ref p-value / alt p-value); NaN without both windows
  std::vector<Effect> effect;          // which alleles pass

  std::size_t size() const { return variant.size(); }
  void append(const EffectRows& other);
};

struct EffectOptions {
  stream::Strand strand = stream::Strand::kBoth;  // strands scored
  bool mask = false;          // lower-case letters are breaks
  bool all = false;           // a row for every variant and motif, passing or not
  std::size_t threads = 0;    // 0: the shared worker pool; else a private pool of this many
  std::size_t chunk = 512;    // variants per task
};

// The rows of a batch in variant order, then motif order: those where either
// allele's best window passes (every pair with `all`). Windows are found by
// the multi-motif scan of all alleles at once; only the pairs it finds are
// scored window by window. Scores and p-values are the scanner's for the
// same window. `pvalues` must belong to `motifs`. `interrupted` is called
// while waiting; a true answer throws ScanInterrupted.
EffectRows scan_effects(const stream::MotifSet& motifs, const stream::HitPValues& pvalues,
                        const VariantBatch& batch, const EffectOptions& options,
                        const std::function<bool()>& interrupted);

}  // namespace vok::variants
