#pragma once
// Shuffles of DNA that keep every k-mer count exactly: a random Eulerian path
// through the graph whose nodes are the (k-1)-mers and whose edges are the
// k-mers of the sequence. Letters other than A/C/G/T (N runs, IUPAC codes)
// stay where they are and split the sequence into segments shuffled on their
// own; the case of every position stays too (soft-masked stretches remain
// masked), the letters being compared without case.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sequence/random_stream.hpp"

namespace vok::sequence {

class KmerShuffler {
 public:
  // k in [1, 32]; std::invalid_argument otherwise. k = 1 shuffles letters.
  explicit KmerShuffler(std::size_t k);

  // Shuffles `letters` in place. Each segment keeps its k-mer counts, its
  // first k - 1 and last k - 1 letters; segments of k letters or fewer are
  // left as they are.
  void shuffle(std::string& letters, RandomStream& random);

  std::size_t k() const { return k_; }

 private:
  void shuffle_segment(char* letters, std::size_t size, RandomStream& random);

  std::size_t k_;                        // k-mer length kept
  // Buffers reused from segment to segment.
  std::vector<std::uint8_t> codes_;      // the segment's letters as 0..3
  std::vector<std::uint8_t> original_;   // the same before the walk rewrites codes_
  std::vector<std::uint64_t> nodes_;     // (k-1)-mer value at each walk step
  std::vector<std::uint64_t> distinct_;  // the distinct (k-1)-mers, sorted
  std::vector<std::uint32_t> node_of_;   // compact node id at each walk step
  std::vector<std::uint32_t> edge_begin_;  // per node: first out-edge in edges_
  std::vector<std::uint32_t> edges_;     // out-edges grouped by node: the step index of the k-mer
  std::vector<std::uint32_t> last_exit_; // per node: its last-exit edge (a step index)
  std::vector<std::uint8_t> in_tree_;    // per node: on the last-exit tree yet
  std::vector<std::uint32_t> taken_;     // per node: out-edges used by the walk
};

}  // namespace vok::sequence
