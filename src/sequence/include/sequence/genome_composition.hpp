#pragma once
// The base composition of a genome at two bits per base (G/C, and A/C/G/T
// against N and other codes), for drawing random regions and counting their
// G+C at any position and length without keeping the letters.
#include <cstdint>
#include <string_view>
#include <vector>

#include "sequence/random_stream.hpp"

namespace vok::sequence {

struct DrawnRegions {
  std::vector<std::uint32_t> chromosome;  // index in the order added
  std::vector<std::uint64_t> start;       // 0-based; the region is [start, start + length)
  std::vector<std::uint32_t> gc;          // G and C letters, either case
  std::vector<std::uint32_t> acgt;        // A, C, G and T letters, either case
  std::vector<std::uint8_t> excluded;     // 1 when the region overlaps an excluded interval
};

class GenomeComposition {
 public:
  // Begins the next chromosome; its letters follow through append().
  void add_chromosome();
  // Letters of the last chromosome added, in order; anything but A/C/G/T
  // counts as N.
  void append(std::string_view letters);

  std::size_t chromosome_count() const { return chromosomes_.size(); }
  std::uint64_t length(std::size_t chromosome) const { return chromosomes_.at(chromosome).length; }

  // G+C and A/C/G/T letters of [start, end) of a chromosome (std::out_of_range past its end).
  std::uint64_t gc_count(std::size_t chromosome, std::uint64_t start, std::uint64_t end) const;
  std::uint64_t acgt_count(std::size_t chromosome, std::uint64_t start, std::uint64_t end) const;

  // An interval that drawn regions must not overlap (a target). Call
  // before drawing.
  void exclude(std::size_t chromosome, std::uint64_t start, std::uint64_t end);

  // `count` regions of `length` bases, their starts uniform over every
  // position where such a region fits in a chromosome; none when no
  // chromosome is long enough.
  DrawnRegions draw(std::uint64_t length, std::size_t count, RandomStream& random);

 private:
  struct Chromosome {
    std::uint64_t length = 0;            // bases
    std::vector<std::uint64_t> gc;       // bit i: base i is G or C
    std::vector<std::uint64_t> acgt;     // bit i: base i is A, C, G or T
    std::vector<std::uint64_t> excluded_start;  // excluded intervals by start
    std::vector<std::uint64_t> excluded_reach;  // running maximum of their ends
  };
  static std::uint64_t count_bits(const std::vector<std::uint64_t>& bits, std::uint64_t start,
                                  std::uint64_t end);
  bool overlaps_excluded(const Chromosome& chromosome, std::uint64_t start, std::uint64_t end) const;
  void sort_excluded();

  std::vector<Chromosome> chromosomes_;
  // Excluded intervals as given, per chromosome, sorted before the first draw.
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> pending_excluded_;
  bool excluded_sorted_ = true;
};

}  // namespace vok::sequence
