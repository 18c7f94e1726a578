#pragma once
// The background model of random sequence: independent positions, each base
// drawn with a fixed probability (order 0).
#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "scoring/base_codes.hpp"

namespace vok {

// A background that cannot be used: a negative, non-finite or all-zero
// frequency set, or no bases counted. what() says which.
class BackgroundError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

struct Background {
  std::array<double, 4> probability{0.25, 0.25, 0.25, 0.25};  // P(base) for A, C, G, T; sums to 1

  // True when P(A) = P(T) and P(C) = P(G): the reverse complement of a random
  // window is then as likely as the window itself.
  bool strand_symmetric() const {
    return probability[0] == probability[3] && probability[1] == probability[2];
  }
};

Background uniform_background();

// The given A, C, G, T frequencies scaled to sum 1. A zero frequency is
// allowed and means that base never occurs in random sequence. Throws
// BackgroundError for a negative or non-finite value or when all are zero.
Background background_from_frequencies(std::span<const double> frequencies);

// The background of the opposite strand: A <-> T and C <-> G swapped.
Background complement(const Background& background);

// Base counts gathered from sequences, turned into a background.
struct BaseCounts {
  std::array<std::uint64_t, 4> count{};  // bases of each code seen, A, C, G, T

  void add(std::span<const BaseCode> bases) {
    for (BaseCode base : bases) ++count[base & 3];
  }

  // Frequencies of the counted bases; with both_strands, of the bases and
  // their complements together (the background of a scan of both strands).
  // Throws BackgroundError when nothing was counted.
  Background background(bool both_strands) const;
};

}  // namespace vok
