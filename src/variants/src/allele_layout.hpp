#pragma once
// The alleles of a chunk of variants laid end to end as base codes: whole,
// for scoring windows, and cut to a length group's context, for its scan.
#include <cstdint>
#include <vector>

#include "scoring/base_codes.hpp"
#include "stream/block_scan.hpp"
#include "variants/best_window.hpp"
#include "variants/variant_batch.hpp"

namespace vok::variants {

// Both alleles of each variant of a chunk, end to end: allele 2i is REF of
// the chunk's i-th variant, allele 2i + 1 its ALT.
struct ChunkAlleles {
  std::vector<BaseCode> forward;       // codes 0..3 (a break reads as A; `breaks` tells)
  std::vector<BaseCode> other;         // the other strand of all of `forward`
  std::vector<std::uint32_t> breaks;   // breaks[i]: breaks among forward[0, i)
  std::vector<std::uint64_t> starts;   // allele a is forward[starts[a], starts[a + 1])
  std::vector<std::uint64_t> left;     // context bases before allele a's changed bases
  std::vector<std::uint64_t> changed;  // changed bases of allele a

  std::uint64_t size() const { return forward.size(); }
  AlleleCodes allele(std::size_t a, bool both_strands) const {
    const std::uint64_t begin = starts[a], end = starts[a + 1];
    const std::span<const BaseCode> reverse =
        other.empty() ? std::span<const BaseCode>{} : std::span(other).subspan(size() - end, end - begin);
    return {std::span(forward).subspan(begin, end - begin), reverse, std::span(breaks).subspan(begin, end - begin + 1),
            both_strands};
  }
};

// The other strand of `forward` (empty when only the forward strand is scanned).
std::vector<BaseCode> other_strand(const std::vector<BaseCode>& forward, stream::Strand strand);

// Both alleles of variants [first, end) of the batch; `mask`: lower-case letters are breaks.
ChunkAlleles lay_out(const VariantBatch& batch, std::size_t first, std::size_t end, bool mask, stream::Strand strand);

// The alleles of a chunk with at most `context` bases on each side of the
// changed ones, end to end: what the scan of one length group visits.
struct GroupLayout {
  std::vector<BaseCode> forward;     // codes 0..3
  std::vector<BaseCode> other;       // the other strand of all of `forward`
  std::vector<std::uint64_t> starts;  // allele a is forward[starts[a], starts[a + 1])
  std::vector<std::uint64_t> cut;     // bases allele a lost on its left

  GroupLayout(const ChunkAlleles& alleles, std::uint64_t context, stream::Strand strand);
};

}  // namespace vok::variants
