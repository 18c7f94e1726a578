#pragma once
// The scan of one block with every motif on the chosen strands.
#include <atomic>
#include <cstdint>
#include <span>
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
  bool sites = false;             // hits carry their window's letters (Block::lower_case is filled)
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

// Receives the hits of a block scan, one stretch of window starts at a time,
// in output order.
class HitSink {
 public:
  virtual ~HitSink() = default;
  // Hits of `part` of `block`, sorted into output order.
  virtual void add(const Block& block, const BlockPart& part, std::span<const PendingHit> hits) = 0;
  // Bytes of output held so far: the scan stops once they reach its limit.
  virtual std::size_t bytes() const = 0;
};

// Where the scan of a block stands.
struct BlockCursor {
  std::size_t part = 0;          // index of the part being scanned
  std::uint64_t next_start = 0;  // record position: window starts below it in that part are done
};

// Reusable buffers of one worker; a block scan allocates nothing once warm.
struct ScanScratch {
  std::uint64_t slice_letters = 256;             // window starts scanned at once, adapted to the hit density
  std::vector<BaseCode> reverse;                 // the reversed (complemented) segment
  std::vector<CandidateRange> ranges;            // per model: forward candidates scanned
  std::vector<CandidateRange> other_ranges;      // per model: other-strand candidates scanned
  std::vector<std::vector<SiteMatch>> forward;   // per model: sites on the forward strand
  std::vector<std::vector<SiteMatch>> other;     // per model: sites on the other strand
  std::vector<PendingHit> hits;                  // one run's hits in motif, strand, core order
  std::vector<PendingHit> sorted;                // the same hits by window start (stable)
  std::vector<std::uint32_t> starts;             // counting-sort buckets, one per run position
};

// Scans `block` from `from` on and hands its hits to `sink` in output order:
// part by part, then window start, motif, strand (+ first), core position.
// Window starts are scanned in slices sized so that one slice's hits stay
// few, whatever their density; after the slice in which sink.bytes() reaches
// `byte_limit` the scan stops and returns where it stands, as it does after
// any slice once `stop` (if given) is set; else it returns {block.parts.size(), 0}.
BlockCursor scan_block(const MotifSet& motifs, const Block& block, const ScanOptions& options,
                       ScanScratch& scratch, HitSink& sink, BlockCursor from = {},
                       std::size_t byte_limit = SIZE_MAX, const std::atomic<bool>* stop = nullptr);

// The whole block's hits as columns (with the letters of each site when
// options.sites).
HitBatch scan_block(const MotifSet& motifs, const Block& block, const ScanOptions& options,
                    ScanScratch& scratch);

// Collects hits as columns.
class ColumnSink final : public HitSink {
 public:
  ColumnSink(const MotifSet& motifs, const Block& block, const ScanOptions& options);
  void add(const Block& block, const BlockPart& part, std::span<const PendingHit> hits) override;
  std::size_t bytes() const override;
  HitBatch take() { return std::move(batch_); }

 private:
  HitBatch batch_;      // the hits so far; the block's record names
  Strand site_strand_;  // how minus-strand sites are read
};

// The letters of a hit's window as read on its strand, in the input's case:
// `out` receives end - start letters.
void site_letters(const Block& block, const BlockPart& part, const PendingHit& hit, Strand strand,
                  char* out);

}  // namespace vok::stream
