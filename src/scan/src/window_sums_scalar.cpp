#include "window_sums.hpp"

namespace vok::detail {

void block_words_scalar(const std::uint8_t* bases, std::size_t count, std::uint16_t* words) {
  for (std::size_t x = 0; x < count; ++x) {
    words[x] = static_cast<std::uint16_t>(((bases[x] & 3) << 8) | ((bases[x + 1] & 3) << 6) |
                                          ((bases[x + 2] & 3) << 4) | ((bases[x + 3] & 3) << 2) |
                                          (bases[x + 4] & 3));
  }
}

// Four windows interleaved, so the four dependent chains of additions overlap.
void window_sums_scalar(const WindowBatch& batch, std::uint32_t* starts, std::size_t count,
                        float* mss) {
  const std::uint8_t* bases = batch.bases;
  const float* terms = batch.terms;
  const std::uint32_t rows = batch.length;
  std::size_t j = 0;
  for (; j + 4 <= count; j += 4) {
    const std::uint8_t* w0 = bases + starts[j];
    const std::uint8_t* w1 = bases + starts[j + 1];
    const std::uint8_t* w2 = bases + starts[j + 2];
    const std::uint8_t* w3 = bases + starts[j + 3];
    float s0 = batch.prefix[batch.words[starts[j]]];
    float s1 = batch.prefix[batch.words[starts[j + 1]]];
    float s2 = batch.prefix[batch.words[starts[j + 2]]];
    float s3 = batch.prefix[batch.words[starts[j + 3]]];
    for (std::uint32_t i = 5; i < rows; ++i) {
      const float* row = terms + 4 * i;
      s0 += row[w0[i] & 3];
      s1 += row[w1[i] & 3];
      s2 += row[w2[i] & 3];
      s3 += row[w3[i] & 3];
    }
    mss[j] = (s0 - batch.min_sum) / batch.denominator;
    mss[j + 1] = (s1 - batch.min_sum) / batch.denominator;
    mss[j + 2] = (s2 - batch.min_sum) / batch.denominator;
    mss[j + 3] = (s3 - batch.min_sum) / batch.denominator;
  }
  for (; j < count; ++j) {
    const std::uint8_t* w = bases + starts[j];
    float s = batch.prefix[batch.words[starts[j]]];
    for (std::uint32_t i = 5; i < rows; ++i) s += terms[4 * i + (w[i] & 3)];
    mss[j] = (s - batch.min_sum) / batch.denominator;
  }
}

}  // namespace vok::detail
