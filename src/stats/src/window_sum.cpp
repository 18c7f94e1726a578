#include "stats/window_sum.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace vok {
namespace {

// Floats other than NaN mapped to unsigned keys in the same order.
std::uint32_t order_key(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

float from_order_key(std::uint32_t key) {
  const std::uint32_t bits = (key & 0x80000000u) ? (key & 0x7fffffffu) : ~key;
  return std::bit_cast<float>(bits);
}

}  // namespace

WindowSumModel::WindowSumModel(const ScoringMatrix& model)
    : length_(model.length),
      core_start_(model.core_start),
      terms_(model.length * 4),
      core_scores_(model.core_scores),
      min_sum_(model.min_sum),
      denominator_(model.max_sum - model.min_sum) {
  if (!(denominator_ > 0.0f) || !std::isfinite(denominator_)) {
    throw std::invalid_argument("matrix '" + model.name + "' has no score range (max_sum - min_sum = " +
                                std::to_string(denominator_) + ")");
  }
  double largest_magnitudes = 0.0;
  float max_sum = 0.0f;
  float min_sum = 0.0f;
  for (std::size_t i = 0; i < length_; ++i) {
    float largest = -std::numeric_limits<float>::infinity();
    float smallest = std::numeric_limits<float>::infinity();
    double magnitude = 0.0;
    for (std::size_t b = 0; b < 4; ++b) {
      const float t = model.frequency(i, b) * model.information[i];
      terms_[4 * i + b] = t;
      largest = t > largest ? t : largest;
      smallest = t < smallest ? t : smallest;
      magnitude = std::fmax(magnitude, std::fabs(static_cast<double>(t)));
    }
    max_sum += largest;
    min_sum += smallest;
    largest_magnitudes += magnitude;
  }
  max_window_sum_ = max_sum;
  min_window_sum_ = min_sum;
  const double unit = std::ldexp(1.0, -24);
  const double roundings = length_ > 0 ? static_cast<double>(length_ - 1) : 0.0;
  const double gamma = roundings * unit / (1.0 - roundings * unit);
  sum_error_bound_ = gamma * largest_magnitudes * (1.0 + 1e-6) + 1e-300;
}

float WindowSumModel::min_passing_sum(float mss_threshold) const {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (std::isnan(mss_threshold)) return kInf;
  // Lowest key whose float passes; +infinity always passes a non-NaN threshold.
  std::uint32_t low = order_key(-kInf);
  std::uint32_t high = order_key(kInf);
  if (mss_of_sum(-kInf) >= mss_threshold) return -kInf;
  while (high - low > 1) {
    const std::uint32_t middle = low + (high - low) / 2;
    if (mss_of_sum(from_order_key(middle)) >= mss_threshold) {
      high = middle;
    } else {
      low = middle;
    }
  }
  return from_order_key(high);
}

}  // namespace vok
