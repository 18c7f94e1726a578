#include "parser/fasta_reader.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "letter_scan.hpp"

namespace vok {
namespace {

using letter_scan::compact_letters;
using letter_scan::is_white;
using letter_scan::skip_letters;

// First '>' in [p, end), or end.
const char* find_record_start(const char* p, const char* end) {
  const void* found = std::memchr(p, '>', static_cast<std::size_t>(end - p));
  return found ? static_cast<const char*>(found) : end;
}

// Header text before the first space, else before the first tab, else all.
std::string header_name(std::string_view header) {
  std::size_t cut = header.find(' ');
  if (cut == std::string_view::npos) cut = header.find('\t');
  return std::string(header.substr(0, cut));
}

// The words of a sequence text: where reading stops and how many letters it saw.
struct SequenceScan {
  const char* stop;     // first byte that is neither a letter nor white space, or the end
  std::size_t letters;  // letters before `stop`
};

SequenceScan scan_sequence(const char* p, const char* end) {
  std::size_t letters = 0;
  for (;;) {
    const char* run_end = skip_letters(p, end);
    letters += static_cast<std::size_t>(run_end - p);
    p = run_end;
    if (p == end || !is_white(*p)) return {p, letters};
    ++p;
  }
}

// Reads the record whose '>' is at `p`; returns where the next record may start.
const char* read_record(const char* p, const char* end, std::vector<FastaRecord>& records) {
  const char* header = p + 1;
  const void* newline = std::memchr(header, '\n', static_cast<std::size_t>(end - header));
  const char* header_end = newline ? static_cast<const char*>(newline) : end;
  const char* sequence = newline ? header_end + 1 : end;
  // The CR of a CR LF ends the header; any other CR stays part of it.
  if (newline && header_end > header && header_end[-1] == '\r') --header_end;

  FastaRecord record;
  record.name = header_name(std::string_view(header, static_cast<std::size_t>(header_end - header)));

  // Count first so the sequence is allocated once, at its exact size.
  const SequenceScan scan = scan_sequence(sequence, end);
  record.seq.resize(scan.letters);
  compact_letters(sequence, scan.stop, record.seq.data(), record.seq.data() + scan.letters);
  records.push_back(std::move(record));

  // Whatever follows the first foreign character is skipped up to the next '>'.
  if (scan.stop == end || *scan.stop == '>') return scan.stop;
  return find_record_start(scan.stop, end);
}

// The arithmetic in to_bases must agree with the base codes.
static_assert((((('A' >> 1) ^ ('A' >> 2)) & 3) == kBaseA) && (((('C' >> 1) ^ ('C' >> 2)) & 3) == kBaseC) &&
              (((('G' >> 1) ^ ('G' >> 2)) & 3) == kBaseG) && (((('T' >> 1) ^ ('T' >> 2)) & 3) == kBaseT));

}  // namespace

FastaReadResult read_fasta(std::string_view text) {
  FastaReadResult result;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && *p == '>') p = read_record(p, end, result.records);
  result.remainder = std::string_view(p, static_cast<std::size_t>(end - p));
  return result;
}

LoadResult<std::vector<FastaRecord>> load_fasta(std::string_view text) {
  FastaReadResult read = read_fasta(text);
  if (!read.remainder.empty()) return ReaderError{incomplete_parse_message(read.remainder)};
  return std::move(read.records);
}

std::optional<BaseSequence> to_bases(FastaRecord record) {
  BaseSequence out;
  out.bases.resize(record.seq.size());
  // Plain pointers: byte stores may alias anything, so the loop must not
  // re-read the containers' internals on every step.
  const char* letters = record.seq.data();
  BaseCode* codes = out.bases.data();
  const std::size_t size = record.seq.size();
  // Blocks keep the inner loop branch-free (and vectorisable) while still
  // stopping soon after a bad letter.
  constexpr std::size_t kBlock = 4096;
  for (std::size_t start = 0; start < size; start += kBlock) {
    const std::size_t stop = std::min(size, start + kBlock);
    std::uint8_t invalid = 0;
    for (std::size_t i = start; i < stop; ++i) {
      const auto letter = static_cast<std::uint8_t>(letters[i]);
      // A 0x41, C 0x43, G 0x47, T 0x54: bits 1 and 2 of (letter >> 1) ^ (letter >> 2)
      // are 0, 1, 2, 3 for them; other bytes are refused below.
      codes[i] = static_cast<BaseCode>(((letter >> 1) ^ (letter >> 2)) & 3);
      invalid |= static_cast<std::uint8_t>(letter != 'A' && letter != 'C' && letter != 'G' && letter != 'T');
    }
    if (invalid) return std::nullopt;
  }
  out.name = std::move(record.name);
  return out;
}

}  // namespace vok
