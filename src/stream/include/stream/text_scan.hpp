#pragma once
// The scan of one stretch of a record given as text, with an owned range:
// what a caller that splits records itself (a cluster task) scans.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "stream/block_scan.hpp"
#include "stream/hit_batch.hpp"
#include "stream/motif_set.hpp"

namespace vok::stream {

struct TextRange {
  std::uint64_t offset = 0;       // record position of text[0]
  std::uint64_t owned_start = 0;  // first window start reported
  std::uint64_t owned_end = 0;    // one past the last window start reported
  bool at_record_start = true;    // the record starts at text[0]
  bool at_record_end = true;      // the record ends at the text's end
};

// Exactly the hits a scan of the whole record reports whose window start lies
// in the owned range, given max_length - 1 letters of context beyond it on
// each side (or the record's ends). A letter other than A/C/G/T, IUPAC codes
// and (when not masked) their lower case is an InputError carrying the record
// name and its offset. Long texts are cut into blocks scanned on the shared
// worker pool (threads == 0) or a private pool of `threads` workers;
// `interrupted` is checked while waiting and a true answer throws ScanInterrupted.
HitBatch scan_text(const MotifSet& motifs, const std::string& name, std::string_view text,
                   const TextRange& range, const ScanOptions& options, bool mask,
                   std::size_t threads, const std::function<bool()>& interrupted,
                   std::size_t block_letters = 1 << 20);

}  // namespace vok::stream
