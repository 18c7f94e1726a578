#pragma once
// Variants as the effect scan takes them: each one's changed bases on both
// alleles with the genome context around them, and the windows of a motif
// that the variant touches on each allele.
#include <cstdint>
#include <string>
#include <vector>

namespace vok::variants {

// One variant (one ALT allele of a record), its shared leading and trailing
// bases trimmed: the alleles are left + ref_changed + right and
// left + alt_changed + right. Its letters lie in VariantBatch::letters in
// the order left context, REF's changed bases, ALT's changed bases, right context.
struct VariantSlice {
  std::uint64_t text = 0;        // offset of the variant's letters in VariantBatch::letters
  std::uint32_t left = 0;        // context bases before the changed bases
  std::uint32_t ref_length = 0;  // changed bases of REF (0: an insertion)
  std::uint32_t alt_length = 0;  // changed bases of ALT (0: a deletion)
  std::uint32_t right = 0;       // context bases after the changed bases
  std::int64_t lead = 0;         // first changed base relative to the variant's first reference base
};

struct VariantBatch {
  std::string letters;                 // every variant's letters, one after the other
  std::vector<VariantSlice> variants;  // in output order
};

// The letters a batch needs, checked: std::invalid_argument naming the
// variant when one's letters run past the end of `letters`.
void check_batch(const VariantBatch& batch);

// Window starts first .. end-1 (allele coordinates) to score on an allele of
// `size` bases whose changed bases are [left, left + changed), for a motif of
// `length` positions: the windows that hold a changed base or, with nothing
// changed (a deletion's junction on ALT, an insertion point on REF), both
// bases next to the junction. Empty (first >= end) when none fits.
struct StartRange {
  std::int64_t first = 0;  // leftmost window start
  std::int64_t end = 0;    // one past the rightmost window start
};
StartRange window_starts(std::uint64_t left, std::uint64_t changed, std::uint64_t size,
                         std::uint64_t length);

}  // namespace vok::variants
