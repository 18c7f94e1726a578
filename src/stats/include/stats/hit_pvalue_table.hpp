#pragma once
// The per-hit p-value: P(a random full window scores mss >= the hit's own),
// as one table lookup.
#include <cmath>
#include <cstddef>
#include <vector>

namespace vok {

class SumGrid;
class WindowSumModel;

class HitPValueTable {
 public:
  HitPValueTable() = default;

  // From the grid distribution of the whole window's sum.
  HitPValueTable(const WindowSumModel& window, const SumGrid& whole_window);

  // An upper bound on P(mss >= value) for a random full window; 1 for a NaN
  // or non-positive value. Costs one multiply-add, a rounding and a load.
  float operator()(float mss) const {
    double cells = std::ceil(static_cast<double>(mss) * scale_ + shift_);
    cells = (mss > 0.0f && cells > 0.0) ? cells : 0.0;  // NaN lands here too
    cells = cells < last_ ? cells : last_;
    return tail_[static_cast<std::size_t>(cells)];
  }

  std::size_t size() const { return tail_.size(); }

 private:
  double scale_ = 0.0;      // grid steps per unit of mss (lowered for rounding)
  double shift_ = 0.0;      // grid index of mss 0, minus the band and the float error
  double last_ = 0.0;       // index of the last entry (probability 0)
  std::vector<float> tail_{1.0f};  // P(K >= j), each rounded up to a float
};

}  // namespace vok
