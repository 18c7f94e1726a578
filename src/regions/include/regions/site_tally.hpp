#pragma once
// Per-record site counts of a scan, aggregated from its hit batches without
// keeping the hits: per motif the sites and the records holding one, per
// (record, motif) pair with a site its count and best mss (rows of a sparse
// matrix, memory proportional to those pairs), and per motif a histogram of
// site centres relative to the record's centre.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "stream/hit_batch.hpp"

namespace vok::regions {

// The rows added since the last take, in compressed sparse row form.
struct SparseRows {
  std::vector<std::int64_t> indptr;    // rows + 1 entries, from 0
  std::vector<std::int32_t> indices;   // motif of each pair, rising within a row
  std::vector<std::uint32_t> counts;   // sites of each pair
  std::vector<float> max_mss;          // best mss of each pair (empty unless kept)
};

struct TallySettings {
  std::size_t motif_count = 0;     // motifs of the scan
  bool keep_pairs = false;         // keep the (record, motif) pairs
  bool keep_max_mss = false;       // and their best mss
  std::size_t position_bins = 0;   // bins of the position histogram over the record; 0: none
};

class SiteTally {
 public:
  explicit SiteTally(const TallySettings& settings);

  // Adds a batch of hits over `record_count` records (hit.sequence is the
  // record's index in the batch, rising; std::invalid_argument otherwise).
  // For positions, `starts` and `ends` give each record's range in the hits'
  // coordinates (both null: no positions).
  void add(const stream::HitBatch& batch, std::size_t record_count, const std::uint64_t* starts,
           const std::uint64_t* ends);

  std::uint64_t records() const { return records_; }
  const std::vector<std::uint64_t>& motif_sites() const { return motif_sites_; }
  const std::vector<std::uint64_t>& motif_records() const { return motif_records_; }
  // motif_count x position_bins counts, motif by motif.
  const std::vector<std::uint64_t>& positions() const { return positions_; }

  // The pairs of the rows added since the last take (moved out).
  SparseRows take_rows();

 private:
  void close_record();

  // Pairs are kept in blocks of fixed size and joined once when taken: a
  // vector grown by doubling would hold up to twice the pairs at its peak.
  template <typename T>
  struct Blocks {
    std::vector<std::vector<T>> blocks;
    void push(T value);
    std::vector<T> take();  // the values joined, freeing the blocks as they are copied
  };

  TallySettings settings_;
  std::uint64_t records_ = 0;                  // records added
  std::vector<std::uint64_t> motif_sites_;     // per motif: sites
  std::vector<std::uint64_t> motif_records_;   // per motif: records with a site
  std::vector<std::uint64_t> positions_;       // per motif and bin: site centres
  std::vector<std::int64_t> indptr_;           // rows since the last take, from 0
  Blocks<std::int32_t> indices_;               // their pairs' motifs
  Blocks<std::uint32_t> counts_;               // their pairs' site counts
  Blocks<float> max_mss_;                      // their pairs' best mss, when kept
  std::int64_t pairs_ = 0;                     // pairs since the last take
  // The record being added: per motif its sites and best mss, and the motifs touched.
  std::vector<std::uint32_t> open_counts_;
  std::vector<float> open_max_;
  std::vector<std::int32_t> touched_;
};

}  // namespace vok::regions
