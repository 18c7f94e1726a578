// Lines are written straight into space reserved for the longest possible
// line of the batch, so no field grows the string on its own.
#include "stream/hit_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <vector>

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

char* put_text(char* at, const std::string& text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// Tabs, line breaks and the other control characters in a name would add
// fields or lines; they are written as '_'.
bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

bool has_control(const std::string& text) { return std::any_of(text.begin(), text.end(), is_control); }

// The names as written: the originals, or cleaned copies in `cleaned` when
// one of them needs it.
std::vector<const std::string*> names_to_write(const std::vector<const std::string*>& names,
                                               std::vector<std::string>& cleaned) {
  if (std::none_of(names.begin(), names.end(), [](const std::string* name) { return has_control(*name); })) {
    return names;
  }
  cleaned.reserve(names.size());
  std::vector<const std::string*> written;
  for (const std::string* name : names) {
    std::string copy = *name;
    std::replace_if(copy.begin(), copy.end(), is_control, '_');
    cleaned.push_back(std::move(copy));
    written.push_back(&cleaned.back());
  }
  return written;
}

// BED tools skip lines that start like a comment, a track or a browser line.
bool read_as_bed_comment(std::string_view name) {
  return name.starts_with('#') || name.starts_with("track") || name.starts_with("browser");
}

// BED scores run from 0 to 1000; halves round up.
long bed_score(float mss) {
  const double scaled = std::round(static_cast<double>(mss) * 1000.0);
  if (!(scaled > 0.0)) return 0;
  return scaled > 1000.0 ? 1000 : static_cast<long>(scaled);
}

}  // namespace

std::string hit_header(HitFormat format, bool with_pvalue) {
  if (format != HitFormat::kTsv) return {};
  return with_pvalue ? "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\tpvalue\n"
                     : "sequence\tstart\tend\tmotif_id\tmotif_name\tstrand\tcss\tmss\tcore\n";
}

NameNotes append_hits(std::string& out, const HitBatch& batch, const MotifSet& motifs, HitFormat format,
                      const HitPValues* pvalues) {
  if (pvalues && pvalues->size() != motifs.size()) {
    throw std::out_of_range("the p-value tables belong to another motif set");
  }
  const bool with_pvalue = pvalues && format != HitFormat::kBed;
  const HitColumns& hits = batch.columns;
  const std::size_t count = hits.size();
  NameNotes notes;
  if (count == 0) return notes;
  std::vector<const std::string*> given;
  for (const std::string& name : batch.sequence_names) given.push_back(&name);
  std::vector<std::string> cleaned_sequences;
  const std::vector<const std::string*> sequence_names = names_to_write(given, cleaned_sequences);
  notes.control_characters = !cleaned_sequences.empty();
  given.clear();
  for (std::size_t k = 0; k < motifs.size(); ++k) {
    given.push_back(&motifs.spec(k).id);
    given.push_back(&motifs.spec(k).name);
  }
  std::vector<std::string> cleaned_motifs;
  const std::vector<const std::string*> motif_names = names_to_write(given, cleaned_motifs);
  std::size_t longest_name = 0, longest_motif = 0;
  for (const std::string* name : sequence_names) {
    longest_name = std::max(longest_name, name->size());
    if (format != HitFormat::kTsv && read_as_bed_comment(*name)) notes.bed_comment = true;
  }
  for (std::size_t k = 0; k < motifs.size(); ++k) {
    longest_motif = std::max(longest_motif, motif_names[2 * k]->size() + motif_names[2 * k + 1]->size());
  }
  const std::size_t longest_line = longest_name + longest_motif + 7 * kNumberField + 17;

  const std::size_t original = out.size();
  // In slices, so the space reserved (and zeroed by resize) stays in cache.
  constexpr std::size_t kSlice = 1024;
  for (std::size_t first = 0; first < count; first += kSlice) {
    const std::size_t last = std::min(count, first + kSlice);
    const std::size_t before = out.size();
    out.resize(before + (last - first) * longest_line);
    char* at = out.data() + before;
    for (std::size_t i = first; i < last; ++i) {
      const auto sequence = static_cast<std::size_t>(hits.sequence[i]);
      const auto motif = static_cast<std::size_t>(hits.motif[i]);
      if (hits.sequence[i] < 0 || sequence >= batch.sequence_names.size() || hits.motif[i] < 0 ||
          motif >= motifs.size()) {
        out.resize(original);
        throw std::out_of_range("a hit refers to a sequence or motif that does not exist");
      }
      at = put_text(at, *sequence_names[sequence]);
      *at++ = '\t';
      at = put_number(at, hits.start[i]);
      *at++ = '\t';
      at = put_number(at, hits.end[i]);
      *at++ = '\t';
      at = put_text(at, *motif_names[2 * motif]);
      *at++ = '\t';
      const char strand = hits.strand[i] < 0 ? '-' : '+';
      if (format == HitFormat::kTsv) {
        at = put_text(at, *motif_names[2 * motif + 1]);
        *at++ = '\t';
        *at++ = strand;
        *at++ = '\t';
        at = put_number(at, hits.css[i]);
        *at++ = '\t';
        at = put_number(at, hits.mss[i]);
        *at++ = '\t';
        at = put_number(at, hits.core[i]);
      } else {
        at = put_number(at, static_cast<std::int64_t>(bed_score(hits.mss[i])));
        *at++ = '\t';
        *at++ = strand;
        if (format == HitFormat::kBedPlus) {
          *at++ = '\t';
          at = put_number(at, hits.css[i]);
          *at++ = '\t';
          at = put_number(at, hits.mss[i]);
        }
      }
      if (with_pvalue) {
        *at++ = '\t';
        at = put_number(at, (*pvalues)(hits.motif[i], hits.strand[i], hits.mss[i]));
      }
      *at++ = '\n';
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
  }
  return notes;
}

}  // namespace vok::stream
