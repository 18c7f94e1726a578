#pragma once
// Hits as text lines: TSV, BED6 and BED6 with css and mss columns.
#include <string>

#include "stream/hit_batch.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/motif_set.hpp"

namespace vok::stream {

enum class HitFormat {
  kTsv,      // sequence start end motif_id motif_name strand css mss core
  kBed,      // chrom start end name score strand; name = motif id, score = round(mss * 1000)
  kBedPlus,  // BED6 followed by css and mss
};

// The TSV header line (with its line end), ending in a pvalue column when
// with_pvalue; empty for the BED formats.
std::string hit_header(HitFormat format, bool with_pvalue = false);

// What append_hits did to the sequence names of a batch.
struct NameNotes {
  bool control_characters = false;  // tabs, line breaks or other control characters written as '_'
  bool bed_comment = false;  // a BED line starts like a comment: '#', "track" or "browser"
};

// Appends one line per hit. Scores are written as the shortest decimal text
// that reads back as the same 32-bit float. Throws std::out_of_range when a
// hit refers to a sequence or motif that does not exist. With `pvalues`, TSV
// and BED+ lines end in the hit's p-value (plain BED6 stays six columns).
// Control characters in sequence and motif names are written as '_', so a
// name never adds fields or lines; the notes say what the sequence names met.
NameNotes append_hits(std::string& out, const HitBatch& batch, const MotifSet& motifs, HitFormat format,
                      const HitPValues* pvalues = nullptr);

}  // namespace vok::stream
