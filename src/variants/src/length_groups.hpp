#pragma once
// The scanned models of a motif set split by length into a few groups, each
// scanned over alleles cut to the context its longest motif needs: short
// motifs then visit far fewer positions than with the longest one's context.
#include <cstddef>
#include <vector>

#include "stream/motif_set.hpp"

namespace vok::variants {

struct LengthGroup {
  std::size_t longest = 0;          // longest motif of the group
  std::vector<std::size_t> models;  // the group's models (indexes into the scanned models)
};

// At most `most` groups of consecutive lengths, chosen to scan the fewest
// model-positions per allele (a group of longest L visits 2L - 1 positions
// per model, plus a fixed cost per group).
std::vector<LengthGroup> length_groups(const stream::MotifSet& motifs, std::size_t most = 3);

}  // namespace vok::variants
