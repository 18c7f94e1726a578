#pragma once
// Hits of a block scan formatted into lines as they are found, by the
// worker that found them.
#include <span>
#include <string>
#include <vector>

#include "stream/block_scan.hpp"
#include "stream/hit_format.hpp"
#include "stream/text_buffer.hpp"

namespace vok::stream {

class LineSink final : public HitSink {
 public:
  // `format` and `out` must outlive the sink; `strand` says how minus-strand
  // sites are read.
  LineSink(const HitLineFormat& format, Strand strand, TextBuffer& out)
      : format_(format), strand_(strand), out_(out) {}

  void add(const Block& block, const BlockPart& part, std::span<const PendingHit> hits) override;
  std::size_t bytes() const override { return out_.size(); }
  std::size_t hits() const { return hits_; }
  // What the record names written met.
  const NameNotes& notes() const { return notes_; }

 private:
  const HitLineFormat& format_;  // the line layout
  Strand strand_;                // scanned strands, for the site letters
  TextBuffer& out_;              // receives the lines
  std::size_t hits_ = 0;         // lines written
  std::vector<float> pvalues_;   // p-values of the lines being written
  std::string name_copy_;        // a record name with its control characters replaced
  NameNotes notes_;              // what the record names met
};

}  // namespace vok::stream
