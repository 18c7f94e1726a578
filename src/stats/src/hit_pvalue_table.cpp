#include "stats/hit_pvalue_table.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>

#include "stats/exact_tail.hpp"
#include "stats/matrix_statistics.hpp"
#include "stats/sum_grid.hpp"

namespace vok {

struct HitPValueTable::SlowPath {
  std::once_flag once;                     // guards the one construction of stats
  std::unique_ptr<MatrixStatistics> stats;  // the matrix's statistics, built on first need
};

HitPValueTable::~HitPValueTable() = default;
HitPValueTable::HitPValueTable(HitPValueTable&&) noexcept = default;
HitPValueTable& HitPValueTable::operator=(HitPValueTable&&) noexcept = default;

namespace {

// A level's value may be this much above the true tail of any score in it:
// 1% less the float rounding of the values compared.
constexpr double kLevelTolerance = 1.0099;
// The grid starts at this many cells across the window's range and is made
// four times finer while loose levels hold more than kLooseShare of the
// probability of the covered scores (so few hits need an exact count).
constexpr std::size_t kFirstGridCells = std::size_t{1} << 14;
constexpr std::size_t kMaxGridCells = std::size_t{1} << 20;
constexpr double kLooseShare = 1e-4;
// Exact counts of one loose score before the matrix's refined p-value is used:
// branch-and-bound prefixes (few words above the score), then float-sum states.
constexpr std::size_t kRefineNodes = std::size_t{1} << 16;
constexpr std::size_t kRefineStates = std::size_t{1} << 12;
// The index over mss: at most this many times as many cells as levels
// (rounded up to a power of two), made finer until no more than this share
// of the covered scores' probability lands in cells that need a search.
constexpr std::size_t kMostCellsPerLevel = 8;
constexpr double kSearchedShare = 0.01;
constexpr std::size_t kCacheSlots = std::size_t{1} << 12;
constexpr std::size_t kCacheProbes = 16;
constexpr std::uint64_t kEmptySlot = ~std::uint64_t{0};

// A probability rounded up to a float, with a margin for the double sums behind it.
float rounded_up(double probability) {
  const double p = std::min(1.0, probability * (1.0 + 1e-9));
  float value = static_cast<float>(p);
  if (static_cast<double>(value) < p) value = std::nextafter(value, 2.0f);
  return value;
}

std::size_t slot_of(std::uint32_t key) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 40) & (kCacheSlots - 1);
}

}  // namespace

HitPValueTable::HitPValueTable(const WindowSumModel& window, const Background& background, float floor_mss,
                               double cap, std::size_t exact_states)
    : floor_mss_(std::max(floor_mss, std::numeric_limits<float>::denorm_min())),
      cap_(rounded_up(cap)),
      window_(std::make_unique<WindowSumModel>(window)),
      background_(background),
      slow_(std::make_unique<SlowPath>()) {
  const float lowest_sum = window.min_passing_sum(floor_mss_);
  if (const auto atoms = float_sum_atoms(window, background, lowest_sum, exact_states)) {
    build_from_atoms(*atoms);
  } else {
    // Finer grids until few hits land on loose levels, or until refining no
    // longer narrows the bounds where hits are most frequent (its band is
    // down to the float error of the sum, or words differ only by rounding).
    double previous_gap = std::numeric_limits<double>::infinity();
    for (std::size_t cells = kFirstGridCells;; cells *= 4) {
      starts_.clear();
      values_.clear();
      const GridOutcome outcome = build_from_grid(cells);
      loose_share_ = outcome.loose_share;
      if (outcome.loose_share <= kLooseShare || outcome.gap_at_floor > 0.75 * previous_gap ||
          cells * 4 > kMaxGridCells) {
        break;
      }
      previous_gap = outcome.gap_at_floor;
    }
  }
  index_levels();
  if (loose_levels() > 0) {
    cache_ = std::vector<std::atomic<std::uint64_t>>(kCacheSlots);
    for (auto& slot : cache_) slot.store(kEmptySlot, std::memory_order_relaxed);
  }
}

void HitPValueTable::add_level(float start, double tail, bool loose) {
  const float value = std::min(rounded_up(tail), cap_);
  starts_.push_back(start);
  values_.push_back(loose && value > 0.0f ? -value : value);
}

void HitPValueTable::build_from_atoms(const std::vector<FloatSumAtom>& atoms) {
  // The scan's mss of each float sum (monotone in the sum), equal ones merged.
  std::vector<float> mss;
  std::vector<double> tail;
  for (const FloatSumAtom& atom : atoms) {
    const float score = window_->mss_of_sum(atom.sum);
    if (!mss.empty() && mss.back() == score) {
      tail.back() += atom.probability;
    } else {
      mss.push_back(score);
      tail.push_back(atom.probability);
    }
  }
  for (std::size_t i = tail.size(); i-- > 1;) tail[i - 1] += tail[i];
  // Scores in (mss[i-1], mss[i]] have the tail of atom i; one level covers
  // atoms while its value stays within the tolerance of their tails.
  for (std::size_t i = 0; i < mss.size();) {
    const float start = i == 0 ? floor_mss_ : std::nextafter(mss[i - 1], 2.0f);
    add_level(start, tail[i], false);
    const double limit = static_cast<double>(std::fabs(values_.back()));
    std::size_t next = i + 1;
    while (next < mss.size() && limit <= kLevelTolerance * tail[next]) ++next;
    i = next;
  }
  add_level(mss.empty() ? floor_mss_ : std::nextafter(mss.back(), 2.0f), 0.0, false);
}

HitPValueTable::GridOutcome HitPValueTable::build_from_grid(std::size_t cells) {
  const WindowSumModel& window = *window_;
  const auto& p = background_.probability;
  const std::size_t rows = window.length();
  // Each row's terms, lowest term and widest shift in grid steps (bases that occur).
  double range = 0.0;
  std::vector<double> low(rows), high(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    low[i] = std::numeric_limits<double>::infinity();
    high[i] = -std::numeric_limits<double>::infinity();
    for (std::size_t b = 0; b < 4; ++b) {
      if (!(p[b] > 0.0)) continue;
      low[i] = std::min(low[i], static_cast<double>(window.term(i, b)));
      high[i] = std::max(high[i], static_cast<double>(window.term(i, b)));
    }
    range += high[i] - low[i];
  }
  if (!(range > 0.0)) range = 1.0;
  const double step = range / static_cast<double>(cells);
  double offset = 0.0;  // as SumDistribution sums it, row by row
  for (std::size_t i = 0; i < rows; ++i) offset += low[i];
  std::vector<double> widest_after(rows + 1, 0.0);
  for (std::size_t i = rows; i-- > 0;) widest_after[i] = widest_after[i + 1] + std::floor((high[i] - low[i]) / step);

  // A window passing mss >= m has a float sum s with s - min_sum >= m d / (1 + u)^2,
  // a real sum at least that less E, so grid index K >= iu(m) (the upper bound's
  // index); one whose real sum reaches the largest float s*(m) can need,
  // min_sum + m d / (1 - u)^2 plus an ulp, plus E, surely passes: K >= il(m)
  // (the lower bound's index).
  const double unit = std::ldexp(1.0, -24);
  const double d = window.denominator();
  const double error = window.sum_error_bound();
  const double ulp = std::ldexp(std::max(std::fabs(window.max_window_sum()), std::fabs(window.min_window_sum())), -23);
  const double scale = d / ((1.0 + unit) * (1.0 + unit)) * (1.0 - 1e-12) / step;
  const double shift = (static_cast<double>(window.min_sum()) - error - offset) / step -
                       static_cast<double>(rows) - 1e-6;
  const double scale_high = d / ((1.0 - unit) * (1.0 - unit)) * (1.0 + 1e-12) / step;
  const double shift_high = (static_cast<double>(window.min_sum()) + ulp + error - offset) / step + 1e-6;
  const auto index_of = [](double cells_value) { return std::max(0.0, std::ceil(cells_value)); };
  const auto upper_index = [&](float m) { return index_of(static_cast<double>(m) * scale + shift); };
  const double band = std::ceil(std::max(
      static_cast<double>(floor_mss_) * (scale_high - scale) + shift_high - shift, (scale_high - scale) + shift_high - shift)) + 1.0;

  const auto first = static_cast<std::size_t>(upper_index(floor_mss_));
  SumDistribution distribution(step);
  distribution.reserve(static_cast<std::size_t>(widest_after[0]) + 1);
  for (std::size_t i = 0; i < rows; ++i) {
    distribution.add_row({window.term(i, 0), window.term(i, 1), window.term(i, 2), window.term(i, 3)}, background_);
    // Mass that cannot reach `first` even with the largest terms of the rows left.
    const double reach = static_cast<double>(first) - widest_after[i + 1];
    if (reach > 0.0) distribution.drop_below(static_cast<std::size_t>(reach));
  }
  const std::vector<double> tail = distribution.tail_from(first);  // tail[k] = P(K >= first + k)
  const std::size_t last = tail.size() - 1;
  const auto band_cells = static_cast<std::size_t>(band);
  const auto lower_at = [&](std::size_t k) { return tail[std::min(k + band_cells, last)]; };
  // The smallest float mss whose upper index reaches first + k.
  const auto start_of = [&](std::size_t k) {
    if (k == 0) return floor_mss_;
    const double target = static_cast<double>(first + k);
    float m = static_cast<float>((target - 1.0 - shift) / scale);
    while (m > floor_mss_ && upper_index(m) >= target) m = std::nextafter(m, -1.0f);
    while (upper_index(m) < target) m = std::nextafter(m, 2.0f);
    return std::max(m, floor_mss_);
  };
  double loose = 0.0;
  for (std::size_t k = 0; k <= last;) {
    const double value = static_cast<double>(rounded_up(tail[k]));
    std::size_t next = k + 1;
    const bool is_loose = value > kLevelTolerance * lower_at(k);
    if (is_loose) {
      while (next <= last && static_cast<double>(rounded_up(tail[next])) > kLevelTolerance * lower_at(next)) ++next;
      loose += tail[k] - (next <= last ? tail[next] : 0.0);
    } else {
      while (next <= last && value <= kLevelTolerance * lower_at(next)) ++next;
    }
    add_level(start_of(k), tail[k], is_loose);
    k = next;
  }
  grid_cells_ = cells;
  if (!(tail[0] > 0.0)) return {0.0, 0.0};
  return {loose / tail[0], lower_at(0) > 0.0 ? tail[0] / lower_at(0) - 1.0 : std::numeric_limits<double>::infinity()};
}

void HitPValueTable::index_levels() {
  const double bottom = starts_.front();
  const double width = static_cast<double>(starts_.back()) - bottom;
  const auto cell_of = [&](float mss, double inverse_width, std::size_t count) {
    double position = (static_cast<double>(mss) - bottom) * inverse_width;
    position = position > 0.0 ? position : 0.0;
    return static_cast<std::size_t>(std::min(position, static_cast<double>(count - 1)));
  };
  // Level starts cluster where words' sums nearly tie, so the index is made
  // finer while the hits that would land in cells with more starts than a
  // cell holds (and need a search) carry more than kSearchedShare of the
  // probability of the covered scores.
  const std::size_t fewest = std::bit_ceil(std::max<std::size_t>(starts_.size(), 1));
  std::vector<std::uint32_t> starts_in;
  const auto count_starts = [&](std::size_t count) {
    const double inverse_width = width > 0.0 ? static_cast<double>(count) / width : 0.0;
    starts_in.assign(count, 0);
    for (const float start : starts_) ++starts_in[cell_of(start, inverse_width, count)];
    return inverse_width;
  };
  const auto searched_share = [&](std::size_t count) {
    const double inverse_width = count_starts(count);
    double searched = 0.0;
    for (std::size_t k = 0; k < starts_.size(); ++k) {
      if (starts_in[cell_of(starts_[k], inverse_width, count)] <= kCellStarts) continue;
      const double next = k + 1 < values_.size() ? std::fabs(values_[k + 1]) : 0.0;
      searched += std::max(0.0, std::fabs(values_[k]) - next);
    }
    const double total = std::fabs(values_.front());
    return total > 0.0 ? searched / total : 0.0;
  };
  std::size_t count = fewest;
  while (count < kMostCellsPerLevel * fewest && searched_share(count) > kSearchedShare) count *= 2;
  index_.bottom_ = bottom;
  index_.inverse_width_ = count_starts(count);
  index_.last_cell_ = static_cast<double>(count - 1);

  constexpr float kSearch = std::numeric_limits<float>::quiet_NaN();
  constexpr float kNone = std::numeric_limits<float>::infinity();
  cells_.assign(count, Cell{{kNone, kNone, kNone}, {kSearch, kSearch, kSearch, kSearch}});
  std::size_t k = 0;          // the first level starting in or after the cell
  float carried = kSearch;    // the value of the level before the cell
  for (std::size_t c = 0; c < count; ++c) {
    Cell& cell = cells_[c];
    const std::size_t starts = starts_in[c];
    if (starts <= kCellStarts) {
      std::fill(std::begin(cell.value), std::end(cell.value), carried);
      for (std::size_t j = 0; j < starts; ++j) {
        cell.boundary[j] = starts_[k + j];
        std::fill(std::begin(cell.value) + static_cast<std::ptrdiff_t>(j) + 1, std::end(cell.value), values_[k + j]);
      }
    }  // else every score of the cell searches
    k += starts;
    if (starts > 0) carried = values_[k - 1];
  }
  index_.cells_ = cells_.data();
}

std::size_t HitPValueTable::level_of(float mss) const {
  const auto after = std::upper_bound(starts_.begin(), starts_.end(), mss);
  return after == starts_.begin() ? kNoLevel : static_cast<std::size_t>(after - starts_.begin()) - 1;
}

float HitPValueTable::searched(float mss) const {
  const std::size_t level = level_of(mss);
  if (level == kNoLevel || !(values_[level] >= 0.0f)) return refined(mss, level);
  return values_[level];
}

std::size_t HitPValueTable::loose_levels() const {
  return static_cast<std::size_t>(std::count_if(values_.begin(), values_.end(), [](float v) { return v < 0.0f; }));
}

std::size_t HitPValueTable::memory_bytes() const {
  return starts_.size() * sizeof(float) + values_.size() * sizeof(float) + cells_.size() * sizeof(Cell) +
         cache_.size() * sizeof(std::uint64_t);
}

float HitPValueTable::refined(float mss, std::size_t level) const {
  const auto key = std::bit_cast<std::uint32_t>(mss);
  const std::size_t home = slot_of(key);
  if (!cache_.empty()) {
    for (std::size_t probe = 0; probe < kCacheProbes; ++probe) {
      const std::uint64_t entry = cache_[(home + probe) & (kCacheSlots - 1)].load(std::memory_order_acquire);
      if (entry == kEmptySlot) break;
      if (static_cast<std::uint32_t>(entry >> 32) == key) return std::bit_cast<float>(static_cast<std::uint32_t>(entry));
    }
  }
  constexpr float kAnyCss = -std::numeric_limits<float>::infinity();
  const float passing_sum = window_->min_passing_sum(mss);
  double exact = 0.0;
  if (const auto searched = exact_tail(*window_, background_, kAnyCss, mss, kRefineNodes)) {
    exact = *searched;
  } else if (const auto counted = float_sum_tail(*window_, background_, kAnyCss, passing_sum, kRefineStates)) {
    exact = *counted;
  } else {
    // Built once per table, its finer grids kept for the scores after.
    std::call_once(slow_->once, [this] { slow_->stats = std::make_unique<MatrixStatistics>(*window_, background_); });
    exact = slow_->stats->pvalue(kAnyCss, mss);
  }
  float value = rounded_up(exact);
  if (level != kNoLevel) value = std::min(value, std::fabs(values_[level]));
  if (mss >= floor_mss_) value = std::min(value, cap_);
  if (!cache_.empty()) {
    const std::uint64_t entry = (static_cast<std::uint64_t>(key) << 32) | std::bit_cast<std::uint32_t>(value);
    for (std::size_t probe = 0; probe < kCacheProbes; ++probe) {
      std::uint64_t expected = kEmptySlot;
      auto& slot = cache_[(home + probe) & (kCacheSlots - 1)];
      if (slot.compare_exchange_strong(expected, entry, std::memory_order_acq_rel) ||
          static_cast<std::uint32_t>(expected >> 32) == key) {
        break;
      }
    }
  }
  return value;
}

}  // namespace vok
