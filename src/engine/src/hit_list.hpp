#pragma once
// The hits of one matrix, grown in chunks so that appending never moves the
// hits already stored (a growing vector would copy them and touch twice the
// memory; with millions of hits that page-faulting dominates the run).
#include <algorithm>
#include <cstddef>
#include <vector>

#include "engine/evaluation.hpp"

namespace vok {

class HitList {
 public:
  // Makes room for `count` more hits; call before push_back-ing them.
  void reserve_more(std::size_t count) {
    if (!chunks_.empty() && chunks_.back().capacity() - chunks_.back().size() >= count) return;
    next_chunk_ = std::max(std::min(next_chunk_ * 2, kLargestChunk), count);
    chunks_.emplace_back().reserve(next_chunk_);
  }
  // Appends after reserve_more made room for it.
  void push_back(const Hit& hit) { chunks_.back().push_back(hit); }

  std::size_t size() const {
    std::size_t total = 0;
    for (const auto& chunk : chunks_) total += chunk.size();
    return total;
  }
  // Hands the chunks over, in order, without copying a hit.
  void move_chunks_into(std::vector<std::vector<Hit>>& out) {
    for (auto& chunk : chunks_) {
      if (!chunk.empty()) out.push_back(std::move(chunk));
    }
    chunks_.clear();
  }

 private:
  static constexpr std::size_t kLargestChunk = std::size_t{1} << 16;  // 2 MiB of hits

  std::vector<std::vector<Hit>> chunks_;  // hits in order, chunk after chunk
  std::size_t next_chunk_ = 128;          // capacity grows geometrically up to kLargestChunk
};

}  // namespace vok
