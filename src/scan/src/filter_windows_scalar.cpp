// The deficit filter one window at a time: the vector kernel's arithmetic
// without saturation, which keeps the same windows (deficits only grow).
#include "deficit_filter.hpp"
#include "window_sums.hpp"

namespace vok::detail {

void pair_codes_scalar(const std::uint8_t* bases, std::size_t count, std::uint8_t* codes) {
  for (std::size_t x = 0; x < count; ++x) {
    codes[x] = static_cast<std::uint8_t>(((bases[x] & 3) << 2) | (bases[x + 1] & 3));
  }
}

std::size_t filter_windows_scalar(const FilterBatch& batch, std::uint32_t lo, std::uint32_t hi,
                                  std::uint32_t* out) {
  std::size_t found = 0;
  for (std::uint32_t q = lo; q < hi; ++q) {
    std::uint32_t units = 0;
    for (std::uint32_t j = 0; j < batch.pairs; ++j) units += batch.tables[16 * j + batch.codes[q + batch.rows[j]]];
    out[found] = q;
    found += units <= kFilterBudget;
  }
  return found;
}

}  // namespace vok::detail
