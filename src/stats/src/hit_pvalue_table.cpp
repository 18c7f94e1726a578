#include "stats/hit_pvalue_table.hpp"

#include <cmath>

#include "stats/sum_grid.hpp"
#include "stats/window_sum.hpp"

namespace vok {

// A window passes mss >= m > 0 only when its float sum s has
// fl(fl(s - min_sum) / d) >= m, so s - min_sum >= m d / (1 + u)^2 with
// u = 2^-24, and its real sum is at least that minus E. The grid's upper tail
// at that real sum, K >= (x - offset) / step - positions, is the table entry.
HitPValueTable::HitPValueTable(const WindowSumModel& window, const SumGrid& whole_window) {
  const double unit = std::ldexp(1.0, -24);
  const double step = whole_window.step();
  const double d = window.denominator();
  const double lowered = d / ((1.0 + unit) * (1.0 + unit)) * (1.0 - 1e-12);
  scale_ = lowered / step;
  shift_ = (static_cast<double>(window.min_sum()) - window.sum_error_bound() - whole_window.offset()) / step -
           static_cast<double>(whole_window.positions()) - 1e-6;
  const auto& tail = whole_window.tail();
  tail_.resize(tail.size());
  for (std::size_t j = 0; j < tail.size(); ++j) {
    const double p = std::fmin(1.0, tail[j] * (1.0 + 1e-9));
    float rounded = static_cast<float>(p);
    if (static_cast<double>(rounded) < p) rounded = std::nextafter(rounded, 2.0f);
    tail_[j] = rounded;
  }
  tail_.front() = 1.0f;
  tail_.back() = 0.0f;
  last_ = static_cast<double>(tail_.size() - 1);
}

}  // namespace vok
