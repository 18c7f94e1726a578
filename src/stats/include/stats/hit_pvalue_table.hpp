#pragma once
// The per-hit p-value: P(a random full window scores mss >= the hit's own),
// never below the exact value and within 1% of it, callable from many threads
// at once.
//
// The table covers the scores a motif's hits can have (mss >= a floor, the
// motif's scan threshold) as levels: runs of scores over which one value,
// rounded up to a float, is at least the true tail at every score of the run
// and at most 1% above it. The values come from the exact distribution of the
// scan's float sums where those are few (short matrices, tied rows), else
// from a whole-window grid made fine enough for the matrix. Runs the grid
// cannot settle to 1% (scores whose words differ only by rounding, or the
// sparse top of the range) are marked loose: a score there is counted
// exactly on first use and kept in a lock-free cache.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "stats/background.hpp"
#include "stats/float_sum_tail.hpp"
#include "stats/window_sum.hpp"

namespace vok {

class HitPValueTable {
 public:
  // Values at scores >= floor_mss are capped at `cap`, itself an upper bound
  // on P(mss >= floor_mss) (as the threshold search computed it), so that no
  // hit passing a threshold chosen for a rate shows a p-value above it.
  // The exact distribution of float sums is used while it keeps at most
  // `exact_states` states (0: the grid always, as tests of it want).
  static constexpr std::size_t kExactStates = std::size_t{1} << 16;
  HitPValueTable(const WindowSumModel& window, const Background& background, float floor_mss,
                 double cap = 1.0, std::size_t exact_states = kExactStates);
  HitPValueTable(HitPValueTable&&) noexcept;
  HitPValueTable& operator=(HitPValueTable&&) noexcept;
  ~HitPValueTable();

  // The p-value of a hit scoring `mss`: 1 for NaN or mss <= 0, 0 above every
  // window. Const and safe from several threads: a loose score costs an exact
  // count the first time it is seen.
  float operator()(float mss) const {
    if (!(mss > 0.0f)) return 1.0f;
    const float value = index_.value(mss);
    return value >= 0.0f ? value : searched(mss);
  }

 private:
  // One cell of the uniform index over mss: up to kCellStarts level starts
  // inside it and the values on either side of each, so that most lookups
  // read one cache line and take no branch on the score.
  static constexpr std::size_t kCellStarts = 3;
  struct alignas(32) Cell {
    float boundary[kCellStarts];   // the level starts inside the cell, ascending; +infinity: none
    float value[kCellStarts + 1];  // value[i]: scores at or above i boundaries (NaN: search; negative: loose)
  };

 public:
  // The first step of a lookup, small enough that the indexes of many tables
  // fit side by side in the cache: then a lookup misses it once, at its cell,
  // and that cell can be fetched ahead.
  class Index {
   public:
    // The value of a score > 0; NaN or negative: ask the table's searched().
    float value(float mss) const {
      const Cell& cell = cells_[cell_of(mss)];
      const std::size_t above = static_cast<std::size_t>(mss >= cell.boundary[0]) +
                                static_cast<std::size_t>(mss >= cell.boundary[1]) +
                                static_cast<std::size_t>(mss >= cell.boundary[2]);
      return cell.value[above];
    }
    void prefetch(float mss) const { __builtin_prefetch(cells_ + cell_of(mss)); }

   private:
    friend class HitPValueTable;
    std::size_t cell_of(float mss) const {
      double position = (static_cast<double>(mss) - bottom_) * inverse_width_;
      position = position > 0.0 ? position : 0.0;
      position = position < last_cell_ ? position : last_cell_;
      return static_cast<std::size_t>(position);
    }
    double bottom_ = 0.0;         // mss of the first cell's left edge (the first level's start)
    double inverse_width_ = 0.0;  // cells per unit of mss
    double last_cell_ = 0.0;      // index of the last cell
    const Cell* cells_ = nullptr;  // the table's cells, from bottom_ up
  };
  // Valid as long as the table, moved or not.
  const Index& index() const { return index_; }
  // The p-value of a score > 0 whose index value says to search: loose, or
  // in a cell holding more level starts than it has room for.
  float searched(float mss) const;

  std::size_t levels() const { return starts_.size(); }
  // Levels marked loose (settled per score on first use).
  std::size_t loose_levels() const;
  // The probability share of the covered scores that falls on loose levels:
  // about the share of hits that need an exact count on first sight.
  double loose_share() const { return loose_share_; }
  // Grid cells of the whole window's grid, or 0 when exact float sums were used.
  std::size_t grid_cells() const { return grid_cells_; }
  std::size_t memory_bytes() const;

 private:
  static constexpr std::size_t kNoLevel = ~std::size_t{0};
  struct SlowPath;

  // The last level whose start is <= mss, or kNoLevel below the first.
  std::size_t level_of(float mss) const;
  float refined(float mss, std::size_t level) const;
  void build_from_atoms(const std::vector<FloatSumAtom>& atoms);
  struct GridOutcome {
    double loose_share;   // probability on loose levels / P(mss >= floor)
    double gap_at_floor;  // upper / lower bound - 1 at the floor
  };
  GridOutcome build_from_grid(std::size_t cells);
  void add_level(float start, double tail, bool loose);
  void index_levels();

  Index index_;                         // over cells_
  std::vector<Cell> cells_;             // the index over mss, from its bottom up
  std::vector<float> starts_;           // smallest mss of each level, ascending
  std::vector<float> values_;           // p-value of each level; negative: loose, |value| an upper bound
  float floor_mss_;                     // the lowest score the levels cover
  float cap_;                           // most any score >= floor_mss_ gets, rounded up
  std::size_t grid_cells_ = 0;          // cells of the grid the levels came from; 0: exact
  double loose_share_ = 0.0;            // probability on loose levels / P(mss >= floor)
  std::unique_ptr<WindowSumModel> window_;  // for exact counts of loose scores
  Background background_;                   // the same
  // mss bits << 32 | p-value bits; all ones: empty. Empty without loose levels.
  mutable std::vector<std::atomic<std::uint64_t>> cache_;  // filled by const lookups
  std::unique_ptr<SlowPath> slow_;  // the matrix's statistics for scores exact counts cannot settle
};

}  // namespace vok
