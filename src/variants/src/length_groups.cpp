#include "length_groups.hpp"

#include <algorithm>
#include <limits>
#include <map>

namespace vok::variants {
namespace {

// A group's scan costs about as much as this many more models: its words,
// its layout and the scanner's set-up are paid once per group.
constexpr double kGroupCost = 16.0;

}  // namespace

std::vector<LengthGroup> length_groups(const stream::MotifSet& motifs, std::size_t most) {
  std::map<std::size_t, std::size_t> count_of_length;
  for (std::size_t k = 0; k < motifs.scanned_count(); ++k) ++count_of_length[motifs.model(k).length];
  if (count_of_length.empty()) return {};
  std::vector<std::size_t> lengths, counts;
  for (const auto& [length, count] : count_of_length) {
    lengths.push_back(length);
    counts.push_back(count);
  }
  const std::size_t m = lengths.size();
  most = std::max<std::size_t>(most, 1);
  // best[g][i]: the least cost of lengths[0, i) in g groups; cut[g][i]: where its last group starts.
  const double none = std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> best(most + 1, std::vector<double>(m + 1, none));
  std::vector<std::vector<std::size_t>> cut(most + 1, std::vector<std::size_t>(m + 1, 0));
  best[0][0] = 0.0;
  for (std::size_t g = 1; g <= most; ++g) {
    for (std::size_t i = 1; i <= m; ++i) {
      double models = 0.0;
      for (std::size_t j = i; j-- > 0;) {  // the last group holds lengths[j, i)
        models += static_cast<double>(counts[j]);
        const double cost = best[g - 1][j] + (models + kGroupCost) * static_cast<double>(2 * lengths[i - 1] - 1);
        if (cost < best[g][i]) {
          best[g][i] = cost;
          cut[g][i] = j;
        }
      }
    }
  }
  std::size_t groups = 1;
  for (std::size_t g = 2; g <= most; ++g) {
    if (best[g][m] < best[groups][m]) groups = g;
  }
  std::vector<std::size_t> bounds;  // the longest length of each group, last group first
  for (std::size_t g = groups, i = m; g > 0; i = cut[g][i], --g) bounds.push_back(lengths[i - 1]);
  std::reverse(bounds.begin(), bounds.end());
  std::vector<LengthGroup> result(bounds.size());
  for (std::size_t g = 0; g < bounds.size(); ++g) result[g].longest = bounds[g];
  for (std::size_t k = 0; k < motifs.scanned_count(); ++k) {
    const std::size_t length = motifs.model(k).length;
    const auto g = static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), length) - bounds.begin());
    result[g].models.push_back(k);
  }
  return result;
}

}  // namespace vok::variants
