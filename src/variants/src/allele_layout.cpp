#include "allele_layout.hpp"

#include <algorithm>

#include "stream/letter_table.hpp"

namespace vok::variants {
namespace {

void add_letters(ChunkAlleles& alleles, const char* letters, std::size_t count, const stream::LetterTable& table) {
  for (std::size_t i = 0; i < count; ++i) {
    const BaseCode code = table[static_cast<unsigned char>(letters[i])];
    const bool is_break = code > kBaseT;
    alleles.forward.push_back(is_break ? kBaseA : code);
    alleles.breaks.push_back(alleles.breaks.back() + (is_break ? 1 : 0));
  }
}

}  // namespace

std::vector<BaseCode> other_strand(const std::vector<BaseCode>& forward, stream::Strand strand) {
  if (strand == stream::Strand::kForward) return {};
  const BaseCode flip = strand == stream::Strand::kBoth ? 3 : 0;  // b ^ 3 complements
  std::vector<BaseCode> other(forward.size());
  for (std::size_t i = 0; i < forward.size(); ++i) other[forward.size() - 1 - i] = forward[i] ^ flip;
  return other;
}

ChunkAlleles lay_out(const VariantBatch& batch, std::size_t first, std::size_t end, bool mask,
                     stream::Strand strand) {
  const stream::LetterTable& table = stream::letter_table(mask, false);
  ChunkAlleles alleles;
  alleles.breaks.push_back(0);
  for (std::size_t v = first; v < end; ++v) {
    const VariantSlice& slice = batch.variants[v];
    const char* left = batch.letters.data() + slice.text;
    const char* ref = left + slice.left;
    const char* alt = ref + slice.ref_length;
    const char* right = alt + slice.alt_length;
    for (const auto& [changed, length] : {std::pair{ref, slice.ref_length}, std::pair{alt, slice.alt_length}}) {
      alleles.starts.push_back(alleles.size());
      alleles.left.push_back(slice.left);
      alleles.changed.push_back(length);
      add_letters(alleles, left, slice.left, table);
      add_letters(alleles, changed, length, table);
      add_letters(alleles, right, slice.right, table);
    }
  }
  alleles.starts.push_back(alleles.size());
  alleles.other = other_strand(alleles.forward, strand);
  return alleles;
}

GroupLayout::GroupLayout(const ChunkAlleles& alleles, std::uint64_t context, stream::Strand strand) {
  for (std::size_t a = 0; a + 1 < alleles.starts.size(); ++a) {
    const std::uint64_t begin = alleles.starts[a], left = alleles.left[a], changed = alleles.changed[a];
    const std::uint64_t right = alleles.starts[a + 1] - begin - left - changed;
    const std::uint64_t kept_left = std::min(left, context);
    starts.push_back(forward.size());
    cut.push_back(left - kept_left);
    const auto from = alleles.forward.begin() + static_cast<std::ptrdiff_t>(begin + left - kept_left);
    const auto to = alleles.forward.begin() + static_cast<std::ptrdiff_t>(begin + left + changed + std::min(right, context));
    forward.insert(forward.end(), from, to);
  }
  starts.push_back(forward.size());
  other = other_strand(forward, strand);
}

}  // namespace vok::variants
