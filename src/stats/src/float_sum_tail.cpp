#include "stats/float_sum_tail.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

namespace vok {
namespace {

// Floats other than NaN as unsigned keys in the same order.
std::uint32_t order_key(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value + 0.0f);  // -0 and +0 are one sum
  return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

struct State {
  std::uint64_t key;   // order key of the float sum above 10 bits of core word
  float sum;           // the scan's running float sum
  std::uint16_t core;  // core bases read so far, two bits each
  double probability;  // P(this sum and core prefix)
};

std::uint64_t key_of(float sum, std::uint16_t core) {
  return (static_cast<std::uint64_t>(order_key(sum)) << kCoreLength * 2) | core;
}

struct FloatSumSearch {
  const WindowSumModel& window;  // terms and float error of the scan
  const Background& background;  // base probabilities
  float css_threshold;           // css >= this is required
  float target;                  // sums >= this are wanted
  bool collect_passing;          // add surely passing states to `passed` at once
  std::size_t max_states;        // give up beyond this many states
  double passed = 0.0;           // probability of the states dropped as surely passing

  std::optional<std::vector<State>> run() {
    const std::size_t rows = window.length();
    const std::size_t core_end = window.core_start() + kCoreLength;
    const auto& p = background.probability;
    // Real sums of the largest and smallest terms of rows d.. (bases that occur).
    std::vector<double> remaining_max(rows + 1, 0.0), remaining_min(rows + 1, 0.0);
    for (std::size_t d = rows; d-- > 0;) {
      double largest = -std::numeric_limits<double>::infinity();
      double smallest = std::numeric_limits<double>::infinity();
      for (std::size_t b = 0; b < 4; ++b) {
        if (!(p[b] > 0.0)) continue;
        largest = std::max(largest, static_cast<double>(window.term(d, b)));
        smallest = std::min(smallest, static_cast<double>(window.term(d, b)));
      }
      remaining_max[d] = remaining_max[d + 1] + largest;
      remaining_min[d] = remaining_min[d + 1] + smallest;
    }
    const double error = window.sum_error_bound();
    const double needed = static_cast<double>(target);
    std::vector<State> states{State{0, 0.0f, 0, 1.0}};
    std::vector<State> next;
    for (std::size_t row = 0; row < rows; ++row) {
      const bool in_core = row >= window.core_start() && row < core_end;
      const bool css_known = row + 1 >= core_end;
      next.clear();
      for (const State& state : states) {
        for (std::size_t b = 0; b < 4; ++b) {
          if (!(p[b] > 0.0)) continue;
          const float sum = state.sum + window.term(row, b);  // the scan's own addition
          std::uint16_t core = in_core ? static_cast<std::uint16_t>(state.core * 4 + b) : state.core;
          if (in_core && row + 1 == core_end) {
            if (!(window.core_scores()[core] >= css_threshold)) continue;
            core = 0;
          }
          if (static_cast<double>(sum) + remaining_max[row + 1] < needed - error) continue;
          const double probability = state.probability * p[b];
          if (collect_passing && css_known && static_cast<double>(sum) + remaining_min[row + 1] >= needed + error) {
            passed += probability;
            continue;
          }
          next.push_back(State{key_of(sum, core), sum, core, probability});
        }
      }
      std::sort(next.begin(), next.end(), [](const State& a, const State& b) { return a.key < b.key; });
      states.clear();
      for (const State& state : next) {
        if (!states.empty() && states.back().key == state.key) {
          states.back().probability += state.probability;
        } else {
          states.push_back(state);
        }
      }
      if (states.size() > max_states) return std::nullopt;
    }
    return states;
  }
};

}  // namespace

std::optional<double> float_sum_tail(const WindowSumModel& window, const Background& background,
                                     float css_threshold, float passing_sum, std::size_t max_states) {
  FloatSumSearch search{window, background, css_threshold, passing_sum, true, max_states};
  const auto states = search.run();
  if (!states) return std::nullopt;
  double total = search.passed;
  for (const State& state : *states) {
    if (state.sum >= passing_sum) total += state.probability;
  }
  return total;
}

std::optional<std::vector<FloatSumAtom>> float_sum_atoms(const WindowSumModel& window,
                                                         const Background& background, float lowest_sum,
                                                         std::size_t max_states) {
  FloatSumSearch search{window, background, -std::numeric_limits<float>::infinity(), lowest_sum, false,
                        max_states};
  const auto states = search.run();
  if (!states) return std::nullopt;
  std::vector<FloatSumAtom> atoms;
  for (const State& state : *states) {
    if (state.sum >= lowest_sum) atoms.push_back(FloatSumAtom{state.sum, state.probability});
  }
  return atoms;
}

}  // namespace vok
