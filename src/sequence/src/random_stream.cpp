#include "sequence/random_stream.hpp"

namespace vok::sequence {
namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

RandomStream::RandomStream(std::uint64_t seed, std::uint64_t a, std::uint64_t b) {
  // Each coordinate is folded in through a full mixing step, so (a, b) and
  // (b, a) or (a + 1, b - 1) give unrelated streams.
  std::uint64_t mix = seed;
  mix = splitmix64(mix) ^ a;
  mix = splitmix64(mix) ^ b;
  for (std::uint64_t& word : state_) word = splitmix64(mix);
}

std::uint64_t RandomStream::next() {
  const std::uint64_t result = rotate_left(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = rotate_left(state_[3], 45);
  return result;
}

std::uint64_t RandomStream::below(std::uint64_t bound) {
  unsigned __int128 product = static_cast<unsigned __int128>(next()) * bound;
  auto low = static_cast<std::uint64_t>(product);
  if (low < bound) {
    const std::uint64_t threshold = (0 - bound) % bound;
    while (low < threshold) {
      product = static_cast<unsigned __int128>(next()) * bound;
      low = static_cast<std::uint64_t>(product);
    }
  }
  return static_cast<std::uint64_t>(product >> 64);
}

}  // namespace vok::sequence
