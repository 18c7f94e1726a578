#include "stats/background.hpp"

#include <cmath>
#include <string>

namespace vok {

Background uniform_background() { return Background{}; }

Background background_from_frequencies(std::span<const double> frequencies) {
  if (frequencies.size() != 4) {
    throw BackgroundError("a background needs four frequencies (A, C, G, T), got " +
                          std::to_string(frequencies.size()));
  }
  double total = 0.0;
  for (std::size_t b = 0; b < 4; ++b) {
    const double value = frequencies[b];
    if (!std::isfinite(value) || value < 0.0) {
      throw BackgroundError(std::string("background frequency of ") + kBaseLetters[b] +
                            " must be a finite number >= 0");
    }
    total += value;
  }
  if (!(total > 0.0) || !std::isfinite(total)) {
    throw BackgroundError("background frequencies must not all be zero");
  }
  Background background;
  for (std::size_t b = 0; b < 4; ++b) background.probability[b] = frequencies[b] / total;
  return background;
}

Background complement(const Background& background) {
  const auto& p = background.probability;
  return Background{{p[3], p[2], p[1], p[0]}};
}

Background BaseCounts::background(bool both_strands) const {
  std::array<double, 4> values{};
  for (std::size_t b = 0; b < 4; ++b) {
    values[b] = static_cast<double>(count[b]);
    if (both_strands) values[b] += static_cast<double>(count[3 - b]);
  }
  if (values[0] + values[1] + values[2] + values[3] == 0.0) {
    throw BackgroundError("no A, C, G or T found to estimate the background from");
  }
  return background_from_frequencies(values);
}

}  // namespace vok
