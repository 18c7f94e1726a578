#include "parser/profile_reader.hpp"

#include <optional>
#include <string>

#include "line_scan.hpp"
#include "parser/number_token.hpp"

namespace vok {
namespace {

using line_scan::find_line;
using line_scan::is_blank;
using line_scan::skip_alnum;
using line_scan::skip_blanks;

// One field separator at `pos`: a run of blanks or a single comma.
std::optional<std::size_t> skip_separator(std::string_view line, std::size_t pos) {
  if (pos >= line.size()) return std::nullopt;
  if (is_blank(line[pos])) return skip_blanks(line, pos);
  if (line[pos] == ',') return pos + 1;
  return std::nullopt;
}

// A non-NaN number token at `pos`; NaN, malformed and mismatch all refuse.
std::optional<float> read_cutoff(std::string_view line, std::size_t& pos) {
  const NumberToken token = read_number(line.substr(pos));
  if (token.match != NumberMatch::kNumber) return std::nullopt;
  pos += token.consumed;
  return token.value;
}

struct Entry {
  std::string_view identifier;  // the rest of the line after the accession
  Thresholds cutoffs;           // css and mss cut-offs
};

// Flag "1", css, mss, accession, identifier, with a separator between each.
std::optional<Entry> parse_entry(std::string_view line) {
  if (line.empty() || line[0] != '1') return std::nullopt;
  auto pos = skip_separator(line, 1);
  if (!pos) return std::nullopt;
  const auto css = read_cutoff(line, *pos);
  if (!css) return std::nullopt;
  pos = skip_separator(line, *pos);
  if (!pos) return std::nullopt;
  const auto mss = read_cutoff(line, *pos);
  if (!mss) return std::nullopt;
  pos = skip_separator(line, *pos);
  if (!pos) return std::nullopt;
  const std::size_t accession_end = skip_alnum(line, *pos);  // read and dropped
  if (accession_end == *pos) return std::nullopt;
  pos = skip_separator(line, accession_end);
  if (!pos) return std::nullopt;
  return Entry{line.substr(*pos), Thresholds{*css, *mss}};
}

}  // namespace

ProfileReadResult read_profile(std::string_view text) {
  ProfileReadResult result;
  std::size_t pos = 0;
  for (;;) {
    const auto span = find_line(text, pos);
    if (!span.valid) break;
    const auto entry = parse_entry(text.substr(pos, span.end - pos));
    if (!entry) break;  // also the empty line text at the end of the text
    result.cutoffs.insert_or_assign(std::string(entry->identifier), entry->cutoffs);
    pos = span.end + span.end_length;
  }
  result.remainder = text.substr(pos);
  return result;
}

LoadResult<CutoffMap> load_profile(std::string_view text) {
  ProfileReadResult read = read_profile(text);
  if (!read.remainder.empty()) return ReaderError{incomplete_parse_message(read.remainder)};
  return std::move(read.cutoffs);
}

}  // namespace vok
