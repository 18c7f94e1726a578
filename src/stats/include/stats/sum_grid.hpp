#pragma once
// The distribution of a sum of per-position terms over random words, by
// dynamic programming on a grid. Each term v is stored as lo + step * k with
// k = floor((v - lo) / step), lo the row's smallest term, so that for every
// word the real sum S and the grid index K (sum of the k) satisfy
//     offset + step * K  <=  S  <=  offset + step * (K + positions)
// (offset = sum of the rows' lo). That band turns the grid distribution into
// a lower and an upper bound on every real tail probability.
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "stats/background.hpp"

namespace vok {

// The tail P(K >= j) of a finished grid distribution, and bounds on real tails.
class SumGrid {
 public:
  SumGrid() = default;

  // Bounds on P(real sum >= x): lower_tail(x) <= P <= upper_tail(x).
  double upper_tail(double x) const {
    // S >= x needs offset + step * (K + positions) >= x.
    if (x > max_real_sum_ + std::fabs(max_real_sum_) * 1e-12 + 1e-300) return 0.0;
    return tail_at((x - offset_) * inverse_step_ - static_cast<double>(positions_) - kSlack);
  }
  double lower_tail(double x) const {
    // offset + step * K >= x guarantees S >= x.
    return tail_at((x - offset_) * inverse_step_ + kSlack);
  }

  double step() const { return step_; }
  double offset() const { return offset_; }
  std::size_t positions() const { return positions_; }
  double max_real_sum() const { return max_real_sum_; }
  // tail()[j] = P(K >= j), j = 0 .. last index (where it is 0).
  const std::vector<double>& tail() const { return tail_; }

 private:
  friend class SumDistribution;
  // Slack in grid steps for the double rounding of offsets and quotients: far
  // above their size (about 1e-9 steps) and far below one step.
  static constexpr double kSlack = 1e-6;

  // tail_[ceil(cells)], clamped to the table.
  double tail_at(double cells) const {
    const double index = std::ceil(cells);
    if (!(index > 0.0)) return tail_.front();
    const double last = static_cast<double>(tail_.size() - 1);
    if (index >= last) return tail_.back();
    return tail_[static_cast<std::size_t>(index)];
  }

  double step_ = 1.0;          // grid step, in units of the sum
  double inverse_step_ = 1.0;  // 1 / step_
  double offset_ = 0.0;        // sum of the rows' smallest terms (bases that occur)
  std::size_t positions_ = 0;  // rows added: the band width in steps
  double max_real_sum_ = 0.0;  // sum of the rows' largest terms (bases that occur)
  std::vector<double> tail_;   // P(K >= j); the last entry is 0
};

// The running distribution: rows are added one by one. Its working buffers
// come from, and go back to, buffers that earlier distributions used.
class SumDistribution {
 public:
  explicit SumDistribution(double step);
  ~SumDistribution();
  SumDistribution(const SumDistribution&) = delete;
  SumDistribution& operator=(const SumDistribution&) = delete;

  // Adds one row: the term of each base (as the real number of the float
  // term) and the background's base probabilities. Bases of probability 0
  // never occur and do not widen the grid.
  void add_row(const std::array<double, 4>& terms, const Background& background);

  // Room for `cells` grid cells, so that rows added up to that width
  // allocate nothing more.
  void reserve(std::size_t cells);

  // Forgets the mass below grid index `index`: tails at indices >= the
  // lowest index ever dropped below stay exact, those below it do not.
  void drop_below(std::size_t index);

  // P(K >= j) for j = first, first + 1, ... up to the last index (where it
  // is 0); exact for j at or above every index dropped below.
  std::vector<double> tail_from(std::size_t first) const;

  double step() const { return step_; }
  double offset() const { return offset_; }
  std::size_t positions() const { return positions_; }

  // The finished distribution; std::logic_error after drop_below().
  SumGrid grid() const;

 private:
  double step_;                // grid step, in units of the sum
  double offset_ = 0.0;        // sum of the rows' smallest terms
  double max_real_sum_ = 0.0;  // sum of the rows' largest terms
  std::size_t positions_ = 0;  // rows added
  std::size_t first_ = 0;      // grid index of mass_[0]
  std::vector<double> mass_;   // mass_[K - first_] = P(grid index K)
  std::vector<double> next_;   // scratch for the next row
};

// Grid buffers are kept between distributions, up to this many bytes in
// all; release_grid_buffers() frees them (after a batch of statistics).
inline constexpr std::size_t kKeptGridBufferBytes = std::size_t{64} << 20;
void release_grid_buffers();

}  // namespace vok
