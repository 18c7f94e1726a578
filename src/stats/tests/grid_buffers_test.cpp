#include "grid_buffers.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "stats/background.hpp"
#include "stats/sum_grid.hpp"

namespace vok {
namespace {

std::vector<double> tails(double step, std::size_t rows) {
  const Background skewed{{0.1, 0.4, 0.3, 0.2}};
  SumDistribution distribution(step);
  for (std::size_t i = 0; i < rows; ++i) {
    const double d = static_cast<double>(i);
    distribution.add_row({0.0, 0.3 + 0.01 * d, 0.7, 1.0 + 0.1 * d}, skewed);
  }
  return distribution.tail_from(0);
}

// Distributions built on the buffers of earlier ones (left holding those
// ones' numbers, and larger or smaller) equal those built on fresh memory.
TEST(GridBuffersTest, ReusedBuffersGiveTheSameDistributions) {
  const struct {
    double step;
    std::size_t rows;
  } grids[] = {{1e-4, 12}, {1e-3, 9}, {1e-2, 6}, {3e-4, 14}};
  std::vector<std::vector<double>> fresh;
  for (const auto& grid : grids) {
    release_grid_buffers();
    fresh.push_back(tails(grid.step, grid.rows));
  }
  for (int round = 0; round < 2; ++round) {
    for (std::size_t k = 0; k < fresh.size(); ++k) {
      ASSERT_EQ(tails(grids[k].step, grids[k].rows), fresh[k]) << "grid " << k << " round " << round;
    }
  }
  release_grid_buffers();
}

// Buffers given back are kept up to the budget, handed out empty, and freed
// by release_grid_buffers().
TEST(GridBuffersTest, KeptBuffersStayWithinTheBudget) {
  release_grid_buffers();
  const std::size_t cells = kKeptGridBufferBytes / sizeof(double) / 2;  // two fit exactly, three do not
  for (int i = 0; i < 3; ++i) {
    std::vector<double> buffer(5, 1.0);
    buffer.reserve(cells);
    grid_buffers::give_back(std::move(buffer));
  }
  // Taken out, they make room again: twice the same two are kept.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::vector<double>> taken;
    for (std::vector<double> buffer = grid_buffers::take(); buffer.capacity() > 0; buffer = grid_buffers::take()) {
      EXPECT_TRUE(buffer.empty());
      taken.push_back(std::move(buffer));
    }
    ASSERT_EQ(taken.size(), 2u) << "round " << round;
    EXPECT_EQ((taken[0].capacity() + taken[1].capacity()) * sizeof(double), kKeptGridBufferBytes);
    for (auto& buffer : taken) grid_buffers::give_back(std::move(buffer));
  }
  release_grid_buffers();

  std::vector<double> buffer;
  buffer.reserve(1000);
  grid_buffers::give_back(std::move(buffer));
  release_grid_buffers();
  EXPECT_EQ(grid_buffers::take().capacity(), 0u);
}

}  // namespace
}  // namespace vok
