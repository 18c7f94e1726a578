#pragma once
// The scan of many records held in memory at once (the regions of a genome,
// peak sequences, their shuffles): records are packed into blocks of about
// `block_letters` letters, a long record cut into parts with context, and the
// blocks scanned on the worker pool.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "stream/block_scan.hpp"
#include "stream/hit_batch.hpp"
#include "stream/motif_set.hpp"

namespace vok::regions {

struct RecordTexts {
  std::vector<std::string> names;         // record names, for error messages
  std::vector<std::string_view> letters;  // each record's letters
  std::vector<std::uint64_t> offsets;     // position of each record's first letter (e.g. in its chromosome)
};

// The hits of every record, record by record in the given order, each in
// the scanner's output order; hit.sequence is the record's index and hit
// positions are offsets[record] + the position in the record. The batch's
// sequence_names are `labels` (one per record) when given, else the names.
// A letter other than A/C/G/T and IUPAC codes is an InputError naming the
// record and the position. `interrupted` is checked while waiting; a true
// answer throws ScanInterrupted.
stream::HitBatch scan_records(const stream::MotifSet& motifs, const RecordTexts& records,
                              const std::vector<std::string>* labels, const stream::ScanOptions& options,
                              bool mask, std::size_t threads, const std::function<bool()>& interrupted,
                              std::size_t block_letters = std::size_t{1} << 17);

}  // namespace vok::regions
