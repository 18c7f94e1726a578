#include "object_slabs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace vok::binding {
namespace {

constexpr std::size_t kSize = 72;  // a hit object's size

// Fills an object with a pattern derived from its tag.
void stamp(void* object, std::uint64_t tag) {
  std::uint64_t words[kSize / 8];
  for (std::size_t i = 0; i < kSize / 8; ++i) words[i] = tag * 1000003 + i;
  std::memcpy(object, words, kSize);
}

bool intact(const void* object, std::uint64_t tag) {
  std::uint64_t words[kSize / 8];
  std::memcpy(words, object, kSize);
  for (std::size_t i = 0; i < kSize / 8; ++i) {
    if (words[i] != tag * 1000003 + i) return false;
  }
  return true;
}

// Objects over many slabs, released in random order in rounds and made
// again: none is handed out twice, none overlaps another, and the objects
// still live keep their bytes.
TEST(ObjectSlabs, ReleasedObjectsAreReusedWithoutTouchingLiveOnes) {
  ObjectSlabs slabs(kSize);
  std::mt19937 rng(3);
  const std::size_t per_slab = ObjectSlabs::kSlabBytes / kSize;
  std::vector<std::pair<void*, std::uint64_t>> live;
  std::uint64_t next_tag = 1;
  for (int round = 0; round < 6; ++round) {
    const std::size_t target = per_slab * (round % 2 == 0 ? 5 : 2) + rng() % per_slab;
    while (live.size() < target) {
      void* object = slabs.allocate();
      ASSERT_NE(object, nullptr);
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(object) % 8, 0u);
      stamp(object, next_tag);
      live.emplace_back(object, next_tag++);
    }
    std::vector<char*> starts;
    for (const auto& [object, tag] : live) {
      ASSERT_TRUE(intact(object, tag)) << "round " << round;
      starts.push_back(static_cast<char*>(object));
    }
    std::sort(starts.begin(), starts.end());
    for (std::size_t i = 1; i < starts.size(); ++i) ASSERT_GE(starts[i] - starts[i - 1], std::ptrdiff_t{kSize});
    std::shuffle(live.begin(), live.end(), rng);
    const std::size_t keep = live.size() / 3;
    for (std::size_t i = keep; i < live.size(); ++i) slabs.release(live[i].first);
    live.resize(keep);
  }
  for (const auto& entry : live) slabs.release(entry.first);
}

// Memory released is handed out again before any new slab is taken: from
// slabs that were full and have room again, and from slabs emptied whole.
TEST(ObjectSlabs, ReleasedMemoryIsUsedBeforeNewSlabs) {
  if (!ObjectSlabs::kPooled) GTEST_SKIP() << "objects come from malloc in sanitizer builds";
  ObjectSlabs slabs(kSize);
  std::vector<void*> objects;
  for (std::size_t i = 0; i < 3 * ObjectSlabs::kSlabBytes / kSize; ++i) objects.push_back(slabs.allocate());
  for (void* object : objects) {  // never across a slab's end
    const auto first = reinterpret_cast<std::uintptr_t>(object);
    ASSERT_EQ(first / ObjectSlabs::kSlabBytes, (first + kSize - 1) / ObjectSlabs::kSlabBytes);
  }
  const auto slab_of = [](void* object) { return reinterpret_cast<std::uintptr_t>(object) / ObjectSlabs::kSlabBytes; };
  std::set<std::uintptr_t> used;
  for (void* object : objects) used.insert(slab_of(object));
  for (const bool whole : {false, true}) {
    std::set<void*> released;
    for (std::size_t i = whole ? 0 : 1; i < objects.size(); i += whole ? 1 : 2) {
      slabs.release(objects[i]);
      released.insert(objects[i]);
    }
    for (std::size_t i = whole ? 0 : 1; i < objects.size(); i += whole ? 1 : 2) {
      objects[i] = slabs.allocate();
      const char* when = whole ? "after emptying" : "after thinning";
      ASSERT_TRUE(used.count(slab_of(objects[i]))) << when << ", object " << i;
      if (!whole) {
        ASSERT_EQ(released.erase(objects[i]), 1u) << when << ", object " << i;
      }
    }
  }
  for (void* object : objects) slabs.release(object);
}

// Emptied slabs are kept for the next objects up to kRetainedBytes; the
// rest go back to the system.
TEST(ObjectSlabs, KeepsAtMostTheRetainedBytesOfEmptySlabs) {
  if (!ObjectSlabs::kPooled) GTEST_SKIP() << "objects come from malloc in sanitizer builds";
  ObjectSlabs slabs(kSize);
  const std::size_t slab_count = ObjectSlabs::kRetainedBytes / ObjectSlabs::kSlabBytes + 8;
  std::vector<void*> objects;
  for (std::size_t i = 0; i < slab_count * (ObjectSlabs::kSlabBytes / kSize); ++i) {
    objects.push_back(slabs.allocate());
  }
  for (std::size_t i = 0; i < objects.size() / 2; ++i) slabs.release(objects[i]);
  EXPECT_LT(slabs.retained_bytes(), ObjectSlabs::kRetainedBytes);
  for (std::size_t i = objects.size() / 2; i < objects.size(); ++i) slabs.release(objects[i]);
  EXPECT_EQ(slabs.retained_bytes(), ObjectSlabs::kRetainedBytes);
}

}  // namespace
}  // namespace vok::binding
