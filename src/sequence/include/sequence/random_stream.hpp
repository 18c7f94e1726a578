#pragma once
// A seeded pseudo-random stream that gives the same numbers on every
// platform and compiler (the standard library's distributions do not), so a
// run repeats byte for byte from its seed.
#include <cstdint>

namespace vok::sequence {

class RandomStream {
 public:
  // The stream for `seed` and a position (a, b) under it, e.g. (record,
  // copy): streams of different positions are unrelated, so work can be
  // split over threads without changing any result.
  explicit RandomStream(std::uint64_t seed, std::uint64_t a = 0, std::uint64_t b = 0);

  // The next 64 random bits (xoshiro256**).
  std::uint64_t next();

  // A uniform integer in [0, bound); bound > 0. Unbiased (Lemire's method).
  std::uint64_t below(std::uint64_t bound);

 private:
  std::uint64_t state_[4];  // xoshiro256** state, never all zero
};

}  // namespace vok::sequence
