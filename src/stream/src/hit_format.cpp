// Lines are written straight into space reserved for the longest possible
// line of the batch, so no field grows the string on its own.
#include "stream/hit_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string_view>

namespace vok::stream {
namespace {

// Longest text of one number field: an int64 (20 characters) or a float (at
// most 15 in the shortest form).
constexpr std::size_t kNumberField = 24;

char* put_number(char* at, float value) { return std::to_chars(at, at + kNumberField, value).ptr; }

// Decimal digits two at a time: positions are the most frequent field.
char* put_number(char* at, std::int64_t value) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  std::uint64_t magnitude = static_cast<std::uint64_t>(value);
  if (value < 0) {
    *at++ = '-';
    magnitude = 0 - magnitude;
  }
  char digits[20];
  char* first = digits + sizeof digits;
  while (magnitude >= 100) {
    first -= 2;
    std::memcpy(first, kPairs + 2 * (magnitude % 100), 2);
    magnitude /= 100;
  }
  if (magnitude >= 10) {
    first -= 2;
    std::memcpy(first, kPairs + 2 * magnitude, 2);
  } else {
    *--first = static_cast<char>('0' + magnitude);
  }
  const auto length = static_cast<std::size_t>(digits + sizeof digits - first);
  std::memcpy(at, first, length);
  return at + length;
}

char* put_text(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// Tabs, line breaks and the other control characters in a name would add
// fields or lines.
bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

bool has_control(std::string_view text) { return std::any_of(text.begin(), text.end(), is_control); }

std::string cleaned(std::string_view text) {
  std::string copy(text);
  std::replace_if(copy.begin(), copy.end(), is_control, '_');
  return copy;
}

// BED tools skip lines that start like a comment, a track or a browser line.
bool read_as_bed_comment(std::string_view name) {
  return name.starts_with('#') || name.starts_with("track") || name.starts_with("browser");
}

// The names of a batch as the lines carry them; cleaned copies are kept in
// `copies` (a deque: the views stay valid as it grows).
std::vector<std::string_view> written_names(const std::vector<std::string>& names, const HitLineFormat& format,
                                            std::deque<std::string>& copies, NameNotes& notes) {
  std::vector<std::string_view> written;
  written.reserve(names.size());
  std::string scratch;
  for (const std::string& name : names) {
    NameNotes met;
    const std::string_view view = format.written_name(name, scratch, met);
    if (met.control_characters) {
      copies.push_back(scratch);
      written.push_back(copies.back());
    } else {
      written.push_back(view);
    }
    notes |= met;
  }
  return written;
}

std::size_t longest(const std::vector<std::string_view>& names) {
  std::size_t bytes = 0;
  for (const std::string_view name : names) bytes = std::max(bytes, name.size());
  return bytes;
}

// BED scores run from 0 to 1000; halves round up.
long bed_score(float mss) {
  const double scaled = std::round(static_cast<double>(mss) * 1000.0);
  if (!(scaled > 0.0)) return 0;
  return scaled > 1000.0 ? 1000 : static_cast<long>(scaled);
}

}  // namespace

std::string hit_header(HitFormat format, bool with_pvalue, bool with_site, bool with_region) {
  if (format != HitFormat::kTsv) return {};
  std::string header = with_region ? "sequence\tregion" : "sequence";
  header += "\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore";
  if (with_pvalue) header += "\tpvalue";
  if (with_site) header += "\tsite";
  return header + "\n";
}

HitLineFormat::HitLineFormat(const MotifSet& motifs, HitFormat format, const HitPValues* pvalues,
                             bool site, bool region)
    : format_(format),
      pvalues_(format == HitFormat::kBed ? nullptr : pvalues),
      site_(site && format != HitFormat::kBed),
      region_(region && format == HitFormat::kTsv) {
  if (pvalues && pvalues->size() != motifs.size()) {
    throw std::out_of_range("the p-value tables belong to another motif set");
  }
  std::size_t longest_motif = 0;
  motif_text_.reserve(motifs.size());
  for (std::size_t k = 0; k < motifs.size(); ++k) {
    const MotifSpec& spec = motifs.spec(k);
    motif_text_.push_back(format == HitFormat::kTsv ? cleaned(spec.id) + '\t' + cleaned(spec.name)
                                                    : cleaned(spec.id));
    longest_motif = std::max(longest_motif, motif_text_.back().size());
  }
  // Seven number fields at most, the separators and the line end, the site.
  longest_rest_ = longest_motif + 7 * kNumberField + 17 + (site_ ? motifs.max_length() + 1 : 0) +
                  (region_ ? 1 : 0);
}

std::string_view HitLineFormat::written_name(std::string_view name, std::string& scratch, NameNotes& notes) const {
  std::string_view written = name;
  if (has_control(name)) {
    notes.control_characters = true;
    scratch = cleaned(name);
    written = scratch;
  }
  if (format_ != HitFormat::kTsv && read_as_bed_comment(written)) notes.bed_comment = true;
  return written;
}

char* HitLineFormat::put(char* at, const HitFields& hit) const {
  at = put_text(at, hit.sequence);
  *at++ = '\t';
  if (region_) {
    at = put_text(at, hit.region);
    *at++ = '\t';
  }
  at = put_number(at, hit.start);
  *at++ = '\t';
  at = put_number(at, hit.end);
  *at++ = '\t';
  at = put_text(at, motif_text_[static_cast<std::size_t>(hit.motif)]);
  *at++ = '\t';
  const char strand = hit.strand < 0 ? '-' : '+';
  if (format_ == HitFormat::kTsv) {
    *at++ = strand;
    *at++ = '\t';
    at = put_number(at, hit.css);
    *at++ = '\t';
    at = put_number(at, hit.mss);
    *at++ = '\t';
    at = put_number(at, hit.core);
  } else {
    at = put_number(at, static_cast<std::int64_t>(bed_score(hit.mss)));
    *at++ = '\t';
    *at++ = strand;
    if (format_ == HitFormat::kBedPlus) {
      *at++ = '\t';
      at = put_number(at, hit.css);
      *at++ = '\t';
      at = put_number(at, hit.mss);
    }
  }
  if (pvalues_ != nullptr) {
    *at++ = '\t';
    at = put_number(at, hit.pvalue);
  }
  if (site_) {
    *at++ = '\t';
    at = put_text(at, hit.site);
  }
  *at++ = '\n';
  return at;
}

NameNotes append_hits(TextBuffer& out, const HitBatch& batch, const HitLineFormat& format) {
  const HitColumns& hits = batch.columns;
  const std::size_t count = hits.size();
  NameNotes notes;
  if (count == 0) return notes;
  const bool with_site = format.has_site();
  if (with_site && (hits.site_width == 0 || hits.site.size() != count * hits.site_width)) {
    throw std::invalid_argument("the hits carry no site column");
  }
  const bool with_region = format.has_region();
  if (with_region && batch.region_names.size() != batch.sequence_names.size()) {
    throw std::invalid_argument("the hits carry no region names");
  }
  std::deque<std::string> copies;
  const std::vector<std::string_view> sequences = written_names(batch.sequence_names, format, copies, notes);
  NameNotes region_notes;  // a region name starts no line
  const std::vector<std::string_view> regions =
      with_region ? written_names(batch.region_names, format, copies, region_notes) : std::vector<std::string_view>{};
  notes.control_characters |= region_notes.control_characters;
  const std::size_t longest_line = format.longest_line(longest(sequences) + longest(regions));
  const std::size_t original = out.size();
  // In slices, so the room reserved stays in cache.
  constexpr std::size_t kSlice = 1024;
  std::vector<float> pvalues(kSlice, 1.0f);
  for (std::size_t first = 0; first < count; first += kSlice) {
    const std::size_t last = std::min(count, first + kSlice);
    for (std::size_t i = first; i < last; ++i) {
      const auto sequence = static_cast<std::size_t>(hits.sequence[i]);
      if (hits.sequence[i] < 0 || sequence >= sequences.size() || hits.motif[i] < 0 ||
          static_cast<std::size_t>(hits.motif[i]) >= format.motif_count()) {
        out.commit(out.view().data() + original);
        throw std::out_of_range("a hit refers to a sequence or motif that does not exist");
      }
    }
    if (format.has_pvalue()) {
      format.pvalues().look_up(hits, first, last - first, pvalues.data());
    }
    char* at = out.room((last - first) * longest_line);
    for (std::size_t i = first; i < last; ++i) {
      const auto sequence = static_cast<std::size_t>(hits.sequence[i]);
      at = format.put(at, {sequences[sequence], with_region ? regions[sequence] : std::string_view(),
                           hits.start[i], hits.end[i], hits.core[i], hits.motif[i], hits.strand[i], hits.css[i],
                           hits.mss[i], with_site ? hits.site_of(i) : std::string_view(), pvalues[i - first]});
    }
    out.commit(at);
  }
  return notes;
}

NameNotes append_hits(std::string& out, const HitBatch& batch, const MotifSet& motifs, HitFormat format,
                      const HitPValues* pvalues, bool site) {
  const HitLineFormat layout(motifs, format, pvalues, site);
  TextBuffer text;
  const NameNotes notes = append_hits(text, batch, layout);
  out.append(text.view());
  return notes;
}

}  // namespace vok::stream
