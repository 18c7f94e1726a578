#include "stream/hit_batch.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vok::stream {
namespace {

HitColumns hits_of(std::vector<std::int32_t> sequences, std::size_t site_width) {
  HitColumns columns;
  columns.site_width = site_width;
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    const auto n = static_cast<std::int64_t>(i);
    columns.sequence.push_back(sequences[i]);
    columns.start.push_back(10 * n);
    columns.end.push_back(10 * n + 6);
    columns.motif.push_back(static_cast<std::int32_t>(i % 2));
    columns.strand.push_back(i % 2 ? -1 : 1);
    columns.css.push_back(0.5f + 0.1f * static_cast<float>(i));
    columns.mss.push_back(0.25f * static_cast<float>(i));
    columns.core.push_back(10 * n + 1);
    for (std::size_t k = 0; k < site_width; ++k) columns.site.push_back(static_cast<char>('A' + i));
  }
  return columns;
}

// Hits of a later batch of records keep their own columns; their record
// indexes move past the records before them.
TEST(HitColumns, AppendShiftsTheRecordIndexesOnly) {
  HitColumns all = hits_of({0, 1}, 2);
  const HitColumns later = hits_of({0, 0, 2}, 2);
  all.append(later, 5);
  EXPECT_EQ(all.sequence, (std::vector<std::int32_t>{0, 1, 5, 5, 7}));
  ASSERT_EQ(all.size(), 5u);
  for (std::size_t i = 0; i < later.size(); ++i) {
    EXPECT_EQ(all.start[2 + i], later.start[i]);
    EXPECT_EQ(all.end[2 + i], later.end[i]);
    EXPECT_EQ(all.motif[2 + i], later.motif[i]);
    EXPECT_EQ(all.strand[2 + i], later.strand[i]);
    EXPECT_EQ(all.css[2 + i], later.css[i]);
    EXPECT_EQ(all.mss[2 + i], later.mss[i]);
    EXPECT_EQ(all.core[2 + i], later.core[i]);
    EXPECT_EQ(all.site_of(2 + i), later.site_of(i));
  }
}

TEST(HitColumns, AppendTakesTheSiteWidthOfTheFirstHitsAndRefusesAnother) {
  HitColumns none;
  none.append(hits_of({0}, 3), 0);
  EXPECT_EQ(none.site_width, 3u);
  EXPECT_EQ(none.site_of(0), "AAA");
  none.append(HitColumns{}, 1);  // no hits: nothing to compare
  EXPECT_THROW(none.append(hits_of({0}, 2), 0), std::invalid_argument);
}

}  // namespace
}  // namespace vok::stream
