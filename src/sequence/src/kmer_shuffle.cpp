// The uniform random Eulerian path with a fixed start and end: a random
// arborescence of last-exit edges towards the end node (Wilson's algorithm),
// every other out-edge list in random order, the last-exit edge last; the
// walk from the start node that takes each node's edges in that order then
// uses every edge once.
#include "sequence/kmer_shuffle.hpp"

#include <algorithm>
#include <stdexcept>

namespace vok::sequence {
namespace {

int code_of(char letter) {
  switch (letter) {
    case 'A': case 'a': return 0;
    case 'C': case 'c': return 1;
    case 'G': case 'g': return 2;
    case 'T': case 't': return 3;
    default: return -1;
  }
}

bool is_lower(char letter) { return letter >= 'a' && letter <= 'z'; }

template <typename T>
void shuffle_range(T* first, std::size_t size, RandomStream& random) {
  for (std::size_t i = size; i > 1; --i) std::swap(first[i - 1], first[random.below(i)]);
}

}  // namespace

KmerShuffler::KmerShuffler(std::size_t k) : k_(k) {
  if (k < 1 || k > 32) throw std::invalid_argument("k must lie in [1, 32]");
}

void KmerShuffler::shuffle(std::string& letters, RandomStream& random) {
  std::size_t i = 0;
  while (i < letters.size()) {
    while (i < letters.size() && code_of(letters[i]) < 0) ++i;
    const std::size_t first = i;
    while (i < letters.size() && code_of(letters[i]) >= 0) ++i;
    if (i > first) shuffle_segment(letters.data() + first, i - first, random);
  }
}

void KmerShuffler::shuffle_segment(char* letters, std::size_t size, RandomStream& random) {
  if (size <= k_) return;
  codes_.resize(size);
  for (std::size_t i = 0; i < size; ++i) codes_[i] = static_cast<std::uint8_t>(code_of(letters[i]));
  auto write_back = [&] {
    static constexpr char kUpper[] = "ACGT";
    static constexpr char kLower[] = "acgt";
    for (std::size_t i = 0; i < size; ++i) {
      letters[i] = is_lower(letters[i]) ? kLower[codes_[i]] : kUpper[codes_[i]];
    }
  };
  if (k_ == 1) {
    shuffle_range(codes_.data(), size, random);
    write_back();
    return;
  }

  // Walk step s sits on the (k-1)-mer starting at s; the k-mer starting at s
  // is the edge from step s to step s + 1, labelled with its last letter.
  const std::size_t node_length = k_ - 1;
  const std::size_t steps = size - node_length + 1;  // nodes on the walk
  const std::size_t edge_count = steps - 1;
  const std::uint64_t mask = node_length == 32 ? ~std::uint64_t{0}
                                               : (std::uint64_t{1} << (2 * node_length)) - 1;
  nodes_.resize(steps);
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value = ((value << 2) | codes_[i]) & mask;
    if (i + 1 >= node_length) nodes_[i + 1 - node_length] = value;
  }
  distinct_.assign(nodes_.begin(), nodes_.end());
  std::sort(distinct_.begin(), distinct_.end());
  distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
  const std::size_t node_count = distinct_.size();
  node_of_.resize(steps);
  for (std::size_t s = 0; s < steps; ++s) {
    node_of_[s] = static_cast<std::uint32_t>(
        std::lower_bound(distinct_.begin(), distinct_.end(), nodes_[s]) - distinct_.begin());
  }

  // Out-edges grouped by node, in step order within a node.
  edge_begin_.assign(node_count + 1, 0);
  for (std::size_t s = 0; s < edge_count; ++s) ++edge_begin_[node_of_[s] + 1];
  for (std::size_t v = 0; v < node_count; ++v) edge_begin_[v + 1] += edge_begin_[v];
  edges_.resize(edge_count);
  taken_.assign(edge_begin_.begin(), edge_begin_.end() - 1);
  for (std::size_t s = 0; s < edge_count; ++s) edges_[taken_[node_of_[s]]++] = static_cast<std::uint32_t>(s);
  auto target = [&](std::uint32_t edge) { return node_of_[edge + 1]; };
  auto out_degree = [&](std::uint32_t v) { return edge_begin_[v + 1] - edge_begin_[v]; };

  // Wilson's algorithm on the out-edges, rooted at the end node: loop-erased
  // random walks leave a uniformly drawn last-exit edge at every other node.
  const std::uint32_t start = node_of_[0];
  const std::uint32_t end = node_of_[steps - 1];
  in_tree_.assign(node_count, 0);
  last_exit_.assign(node_count, 0);
  in_tree_[end] = 1;
  for (std::uint32_t v = 0; v < node_count; ++v) {
    if (in_tree_[v] || out_degree(v) == 0) continue;
    for (std::uint32_t at = v; !in_tree_[at];) {
      const std::uint32_t edge = edges_[edge_begin_[at] + random.below(out_degree(at))];
      last_exit_[at] = edge;
      at = target(edge);
    }
    for (std::uint32_t at = v; !in_tree_[at]; at = target(last_exit_[at])) in_tree_[at] = 1;
  }

  // Each node's edges in random order, its last-exit edge moved to the end.
  for (std::uint32_t v = 0; v < node_count; ++v) {
    std::uint32_t* first = edges_.data() + edge_begin_[v];
    const std::uint32_t degree = out_degree(v);
    if (degree == 0) continue;
    if (v == end) {
      shuffle_range(first, degree, random);
      continue;
    }
    std::swap(*std::find(first, first + degree, last_exit_[v]), first[degree - 1]);
    shuffle_range(first, degree - 1, random);
  }

  // The walk: the first node's letters stay, then one letter per edge.
  taken_.assign(node_count, 0);
  original_.assign(codes_.begin(), codes_.end());
  std::uint32_t at = start;
  for (std::size_t step = 0; step < edge_count; ++step) {
    const std::uint32_t edge = edges_[edge_begin_[at] + taken_[at]++];
    codes_[node_length + step] = original_[edge + node_length];
    at = target(edge);
  }
  write_back();
}

}  // namespace vok::sequence
