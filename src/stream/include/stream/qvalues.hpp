#pragma once
// Benjamini-Hochberg q-values per motif, from the hits' p-values: with m the
// windows scanned for the motif (both strands when both are read) and the
// motif's hits ranked by p-value, q(p) = min over ranks k >= rank(p) of
// p_(k) m / k, at most 1. Windows that are not hits are not kept, so the
// running minimum is taken over the hits only: the conservative form.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stream/output_sink.hpp"

namespace vok::stream {

// The q-value of every distinct p-value of one motif's hits.
class QValueTable {
 public:
  // `pvalues`: one per hit of the motif (taken over and sorted); `windows`: m.
  QValueTable(std::vector<float> pvalues, std::uint64_t windows);

  // The q-value of a hit with this p-value (one of those given), rounded up to a float.
  float operator()(float pvalue) const;

 private:
  std::vector<float> pvalues_;  // distinct p-values, ascending
  std::vector<float> qvalues_;  // q-value of each
};

// The q-value of each hit: hit i has motif motif[i] (an index into
// windows_by_motif) and p-value pvalue[i]. Throws std::out_of_range for a
// motif index outside windows_by_motif.
std::vector<float> hit_qvalues(std::span<const std::int32_t> motif, std::span<const float> pvalue,
                               std::span<const std::uint64_t> windows_by_motif);

// Where the q-value pass finds its fields in a line (0-based, tab-separated).
struct QValueColumns {
  std::size_t motif_id;  // field holding the motif id
  std::size_t pvalue;    // field holding the p-value; the q-value goes right after it
};

// Rewrites the finished hit lines of the file `lines_path` into `out` with a
// qvalue field after the pvalue field (a header line, one not starting with
// a digit in its second field, gets the field name "qvalue"). `windows_by_id`
// gives m for each motif id. Reads the file twice and keeps 4 bytes per hit
// in between. Throws InputError for a line without those fields or a motif
// id not in the map.
void add_qvalue_column(const std::string& lines_path, OutputSink& out, const QValueColumns& columns,
                       const std::vector<std::pair<std::string, std::uint64_t>>& windows_by_id);

}  // namespace vok::stream
