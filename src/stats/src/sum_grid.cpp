#include "stats/sum_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "grid_buffers.hpp"

namespace vok {

SumDistribution::SumDistribution(double step) : step_(step) {
  if (!(step > 0.0) || !std::isfinite(step)) throw std::invalid_argument("grid step must be positive");
  mass_ = grid_buffers::take();
  next_ = grid_buffers::take();
  mass_.push_back(1.0);
}

SumDistribution::~SumDistribution() {
  grid_buffers::give_back(std::move(mass_));
  grid_buffers::give_back(std::move(next_));
}

void SumDistribution::add_row(const std::array<double, 4>& terms, const Background& background) {
  const auto& p = background.probability;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
  for (std::size_t b = 0; b < 4; ++b) {
    if (p[b] > 0.0) {
      low = std::min(low, terms[b]);
      high = std::max(high, terms[b]);
    }
  }
  std::array<std::size_t, 4> shift{};
  std::size_t widest = 0;
  for (std::size_t b = 0; b < 4; ++b) {
    if (p[b] > 0.0) {
      shift[b] = static_cast<std::size_t>(std::floor((terms[b] - low) / step_));
      widest = std::max(widest, shift[b]);
    }
  }
  const std::size_t size = mass_.size();
  next_.assign(size + widest, 0.0);
  for (std::size_t b = 0; b < 4; ++b) {
    if (!(p[b] > 0.0)) continue;
    const double weight = p[b];
    const double* source = mass_.data();
    double* target = next_.data() + shift[b];
    for (std::size_t j = 0; j < size; ++j) target[j] += weight * source[j];
  }
  mass_.swap(next_);
  offset_ += low;
  max_real_sum_ += high;
  ++positions_;
}

void SumDistribution::reserve(std::size_t cells) {
  mass_.reserve(cells);
  next_.reserve(cells);
}

void SumDistribution::drop_below(std::size_t index) {
  if (index <= first_) return;
  const std::size_t dropped = std::min(index - first_, mass_.size());
  mass_.erase(mass_.begin(), mass_.begin() + static_cast<std::ptrdiff_t>(dropped));
  first_ += dropped;
  if (mass_.empty()) mass_.push_back(0.0);  // keeps the grid's top index
}

std::vector<double> SumDistribution::tail_from(std::size_t first) const {
  const std::size_t end = first_ + mass_.size();  // one past the last index; the tail there is 0
  std::vector<double> tail(end >= first ? end - first + 1 : 1, 0.0);
  double running = 0.0;
  for (std::size_t j = end; j-- > first;) {
    if (j >= first_) running += mass_[j - first_];
    tail[j - first] = std::min(running, 1.0);
  }
  return tail;
}

SumGrid SumDistribution::grid() const {
  if (first_ != 0) throw std::logic_error("SumDistribution::grid after drop_below");
  SumGrid grid;
  grid.step_ = step_;
  grid.inverse_step_ = 1.0 / step_;
  grid.offset_ = offset_;
  grid.positions_ = positions_;
  grid.max_real_sum_ = max_real_sum_;
  grid.tail_.assign(mass_.size() + 1, 0.0);
  double running = 0.0;
  for (std::size_t j = mass_.size(); j-- > 0;) {
    running += mass_[j];
    grid.tail_[j] = std::min(running, 1.0);  // a probability, whatever the rounding
  }
  return grid;
}

}  // namespace vok
