#pragma once
// The scan of one block with every motif on the chosen strands.
#include <cstdint>
#include <vector>

#include "scan/multi_scan.hpp"
#include "stream/block.hpp"
#include "stream/hit_batch.hpp"
#include "stream/motif_set.hpp"

namespace vok::stream {

enum class Strand {
  kBoth,      // forward and reverse complement
  kForward,   // forward only
  kReversed,  // forward and the reversed, not complemented, record
};

struct ScanOptions {
  Strand strand = Strand::kBoth;  // which strands are scanned
  bool partial_windows = false;   // also report windows cut short at a segment's end
};

// A hit in record coordinates, before it is sorted into output order.
struct PendingHit {
  std::uint64_t start;  // window start, clipped to the segment
  std::uint64_t end;    // window end (exclusive), clipped to the segment
  std::uint64_t core;   // forward index of the core word's leftmost base
  std::uint32_t motif;  // index into the motif set
  std::int8_t strand;   // +1 or -1
  float css;            // core similarity score
  float mss;            // matrix similarity score
};

// Reusable buffers of one worker; a block scan allocates nothing once warm.
struct ScanScratch {
  std::vector<BaseCode> reverse;                 // the reversed (complemented) segment
  std::vector<CandidateRange> ranges;            // per model: forward candidates scanned
  std::vector<CandidateRange> other_ranges;      // per model: other-strand candidates scanned
  std::vector<std::vector<SiteMatch>> forward;   // per model: sites on the forward strand
  std::vector<std::vector<SiteMatch>> other;     // per model: sites on the other strand
  std::vector<PendingHit> hits;                  // one run's hits in motif, strand, core order
  std::vector<PendingHit> sorted;                // the same hits by window start (stable)
  std::vector<std::uint32_t> starts;             // counting-sort buckets, one per run position
};

// Scans every part of `block` and returns its hits in output order: part by
// part, then window start, motif, strand (+ first), core position.
HitBatch scan_block(const MotifSet& motifs, const Block& block, const ScanOptions& options,
                    ScanScratch& scratch);

}  // namespace vok::stream
