#include "stream/line_merge.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace vok::stream {
namespace {

TEST(MergeSortedLines, InterleavesByKeyAndKeepsRunOrderOnTies) {
  const std::vector<std::uint64_t> a{1, 5, 5, 9}, b{}, c{0, 5, 10};
  const KeyedLines runs[] = {{"a1\na5\na5b\na9\n", a}, {"", b}, {"c0\nc5\nc10\n", c}};
  EXPECT_EQ(merge_sorted_lines(runs), "c0\na1\na5\na5b\nc5\na9\nc10\n");
}

TEST(MergeSortedLines, RefusesRunsWhoseLinesAndKeysDisagree) {
  const std::vector<std::uint64_t> one{1}, two{1, 2};
  for (const KeyedLines run : {KeyedLines{"x\ny\n", one}, KeyedLines{"x\ny", two}, KeyedLines{"x\n", two}}) {
    const KeyedLines runs[] = {run};
    EXPECT_THROW(merge_sorted_lines(runs), std::invalid_argument);
  }
}

}  // namespace
}  // namespace vok::stream
