#pragma once
// Hits as text lines: TSV, BED6 and BED6 with css and mss columns, each
// optionally ending in a pvalue and a site column.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stream/hit_batch.hpp"
#include "stream/hit_pvalues.hpp"
#include "stream/motif_set.hpp"
#include "stream/text_buffer.hpp"

namespace vok::stream {

enum class HitFormat {
  kTsv,      // sequence start end motif_id motif_name strand css mss core
  kBed,      // chrom start end name score strand; name = motif id, score = round(mss * 1000)
  kBedPlus,  // BED6 followed by css and mss
};

// The TSV header line (with its line end): a region column after the
// sequence column when asked for, the pvalue and site columns at the end;
// empty for the BED formats.
std::string hit_header(HitFormat format, bool with_pvalue = false, bool with_site = false,
                       bool with_region = false);

// What the record names written met.
struct NameNotes {
  bool control_characters = false;  // tabs, line breaks or other control characters, written as '_'
  bool bed_comment = false;         // a BED line starts like a comment: '#', "track" or "browser"

  NameNotes& operator|=(const NameNotes& other) {
    control_characters |= other.control_characters;
    bed_comment |= other.bed_comment;
    return *this;
  }
};

// What the line of one hit says.
struct HitFields {
  std::string_view sequence;  // record name, as written (see HitLineFormat::written_name)
  std::string_view region;    // region name, as written (region column only)
  std::int64_t start;         // window start, 0-based
  std::int64_t end;           // window end (exclusive)
  std::int64_t core;          // forward index of the core word's leftmost base
  std::int32_t motif;         // index into the motif set (checked by the caller)
  std::int8_t strand;         // +1 or -1
  float css;                  // core similarity score
  float mss;                  // matrix similarity score
  std::string_view site;      // the window's letters on its strand (site column only)
  float pvalue = 1;           // P(a random window scores mss or more) (pvalue column only)
};

// The line layout of one run: format, motif texts, the optional columns.
// With `pvalues`, TSV and BED+ lines carry the hit's p-value; with `site`
// they end in the site's letters (plain BED6 stays six columns); with
// `region`, TSV lines carry the region's name after the sequence's.
// Control characters in names are written as '_', so that a name never
// adds fields or lines.
class HitLineFormat {
 public:
  // Throws std::out_of_range when `pvalues` belongs to another motif set.
  HitLineFormat(const MotifSet& motifs, HitFormat format, const HitPValues* pvalues, bool site,
                bool region = false);

  std::size_t motif_count() const { return motif_text_.size(); }
  bool has_site() const { return site_; }
  bool has_pvalue() const { return pvalues_ != nullptr; }
  bool has_region() const { return region_; }
  // The tables of the p-value column (when has_pvalue()): its values are
  // looked up in batches apart from the formatting, since the tables are
  // larger than the caches (see HitPValues::look_up).
  const HitPValues& pvalues() const { return *pvalues_; }
  // A record or region name as the lines carry it: `name` itself, or its
  // copy in `scratch` with control characters written as '_'. `notes` gains
  // what the name met.
  std::string_view written_name(std::string_view name, std::string& scratch, NameNotes& notes) const;
  // The most bytes the line of one hit takes, for record and region names
  // of `name_bytes` together.
  std::size_t longest_line(std::size_t name_bytes) const { return name_bytes + longest_rest_; }
  // Writes the line of `hit` with its line end at `at`; returns the line's end.
  char* put(char* at, const HitFields& hit) const;

 private:
  HitFormat format_;                      // line format
  const HitPValues* pvalues_;             // per-hit p-value tables; null: no pvalue column
  bool site_;                             // a site column ends the line
  bool region_;                           // a region column follows the sequence column
  std::vector<std::string> motif_text_;   // by motif: "id\tname" (TSV) or "id" (BED)
  std::size_t longest_rest_ = 0;          // bytes of a line beyond its record name, at most
};

// Appends one line per hit of `batch`. Scores are written as the shortest
// decimal text that reads back as the same 32-bit float. Throws
// std::out_of_range when a hit refers to a sequence or motif that does not
// exist, std::invalid_argument when a site or region column is asked of a
// batch without one. Returns what the batch's record names met.
NameNotes append_hits(TextBuffer& out, const HitBatch& batch, const HitLineFormat& format);
NameNotes append_hits(std::string& out, const HitBatch& batch, const MotifSet& motifs, HitFormat format,
                      const HitPValues* pvalues = nullptr, bool site = false);

}  // namespace vok::stream
