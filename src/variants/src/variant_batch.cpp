#include "variants/variant_batch.hpp"

#include <algorithm>
#include <stdexcept>

namespace vok::variants {

void check_batch(const VariantBatch& batch) {
  for (std::size_t v = 0; v < batch.variants.size(); ++v) {
    const VariantSlice& slice = batch.variants[v];
    const std::uint64_t size = std::uint64_t{slice.left} + slice.ref_length + slice.alt_length + slice.right;
    if (slice.text > batch.letters.size() || size > batch.letters.size() - slice.text) {
      throw std::invalid_argument("variant " + std::to_string(v) + " of the batch: its letters end past the text");
    }
  }
}

StartRange window_starts(std::uint64_t left, std::uint64_t changed, std::uint64_t size,
                         std::uint64_t length) {
  const auto l = static_cast<std::int64_t>(left);
  const auto w = static_cast<std::int64_t>(length);
  // A window [s, s + w) touching the changed bases: s <= left + changed - 1
  // and s + w >= left + 1; with none changed it must hold left - 1 and left.
  const std::int64_t first = std::max<std::int64_t>(0, l + 1 - w);
  const std::int64_t last_changed = changed > 0 ? l + static_cast<std::int64_t>(changed) - 1 : l - 1;
  const std::int64_t last_fitting = static_cast<std::int64_t>(size) - w;
  const std::int64_t end = std::min(last_changed, last_fitting) + 1;
  return {first, std::max(first, end)};
}

}  // namespace vok::variants
