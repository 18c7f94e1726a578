#include "parser/transfac_reader.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "line_scan.hpp"
#include "parser/number_token.hpp"
#include "scoring/internal_failure.hpp"

namespace vok {
namespace {

using line_scan::find_line;
using line_scan::is_digit;
using line_scan::line_end_length;
using line_scan::skip_alnum;
using line_scan::skip_blanks;

constexpr std::string_view kBlockSeparator = "//";

// How one line of a block was classified.
enum class LineKind { kLine, kOther, kNoMatch, kMalformed };

struct LineParse {
  LineKind kind;
  std::size_t end;  // index just past the matched part (kLine, kOther)
};

// "ID", blanks, then the rest of the line as the identifier.
std::optional<LineParse> parse_id(std::string_view block, std::size_t start,
                                  std::vector<TransfacLine>& lines) {
  if (block.substr(start, 2) != "ID") return std::nullopt;
  const std::size_t id_start = skip_blanks(block, start + 2);
  if (id_start == start + 2) return std::nullopt;
  const auto span = find_line(block, id_start);
  if (!span.valid) return std::nullopt;
  lines.emplace_back(TransfacId{std::string(block.substr(id_start, span.end - id_start))});
  return LineParse{LineKind::kLine, span.end};
}

// "PO" then any number of (blanks, alphanumeric word); always matches after "PO".
std::optional<LineParse> parse_po(std::string_view block, std::size_t start,
                                  std::vector<TransfacLine>& lines) {
  if (block.substr(start, 2) != "PO") return std::nullopt;
  TransfacPo po;
  std::size_t pos = start + 2;
  for (;;) {
    const std::size_t word_start = skip_blanks(block, pos);
    if (word_start == pos) break;
    const std::size_t word_end = skip_alnum(block, word_start);
    if (word_end == word_start) break;
    po.words.emplace_back(block.substr(word_start, word_end - word_start));
    pos = word_end;
  }
  lines.emplace_back(std::move(po));
  return LineParse{LineKind::kLine, pos};
}

// Decimal digits as an unsigned 64-bit value; nullopt when it does not fit.
std::optional<std::uint64_t> parse_position(std::string_view digits) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : digits) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Position digits, then any number of (blanks, number token).
std::optional<LineParse> parse_row(std::string_view block, std::size_t start,
                                   std::vector<TransfacLine>& lines) {
  std::size_t pos = start;
  while (pos < block.size() && is_digit(block[pos])) ++pos;
  if (pos == start) return std::nullopt;
  const auto position = parse_position(block.substr(start, pos - start));
  if (!position) return std::nullopt;

  TransfacRow row{*position, {}};
  row.values.reserve(4);  // the usual A, C, G, T: one allocation per row
  for (;;) {
    const std::size_t value_start = skip_blanks(block, pos);
    if (value_start == pos) break;
    const NumberToken token = read_number(block.substr(value_start));
    if (token.match == NumberMatch::kMalformed) return LineParse{LineKind::kMalformed, 0};
    if (token.match == NumberMatch::kNoMatch) break;
    row.values.push_back(token.value);
    pos = value_start + token.consumed;
  }
  lines.emplace_back(std::move(row));
  return LineParse{LineKind::kLine, pos};
}

// Tries the line kinds in order from the first character of the line; a
// matched Id/Po/Row line is appended to `lines`.
LineParse parse_line(std::string_view block, std::size_t start,
                     std::vector<TransfacLine>& lines) {
  if (auto id = parse_id(block, start, lines)) return *id;
  if (auto po = parse_po(block, start, lines)) return *po;
  if (auto row = parse_row(block, start, lines)) return *row;
  const auto span = find_line(block, start);
  if (!span.valid) return {LineKind::kNoMatch, 0};
  return {LineKind::kOther, span.end};
}

enum class BlockOutcome { kRead, kMalformed };

// Reads the lines of one block until its end or the first stop rule.
BlockOutcome read_block(std::string_view block, TransfacRecord& record) {
  std::size_t pos = 0;
  for (;;) {
    const LineParse line = parse_line(block, pos, record.lines);
    if (line.kind == LineKind::kMalformed) return BlockOutcome::kMalformed;
    if (line.kind == LineKind::kNoMatch) break;  // the line and the rest are dropped
    pos = line.end;
    if (pos == block.size()) break;
    const std::size_t end_length = line_end_length(block, pos);
    if (end_length == 0) break;  // trailing text: the line stays, the rest is dropped
    pos += end_length;
  }
  return BlockOutcome::kRead;
}

constexpr const char* kShortRow = "Matrix init. from iterator: iterator not long enough.";
constexpr const char* kRowZero = "Matrix slicing out of bounds.";
constexpr const char* kMatrixTooLarge = "capacity overflow";

}  // namespace

const char* transfac_error_name(TransfacError error) {
  return error == TransfacError::kNoId ? "NoId" : "NoRows";
}

TransfacReadResult read_transfac(std::string_view text) {
  TransfacReadResult result;
  std::size_t block_start = 0;
  std::size_t separator = std::string_view::npos;  // the "//" before the current block
  for (;;) {
    const std::size_t cut = text.find(kBlockSeparator, block_start);
    const std::size_t block_end = (cut == std::string_view::npos) ? text.size() : cut;
    TransfacRecord record;
    if (read_block(text.substr(block_start, block_end - block_start), record) ==
        BlockOutcome::kMalformed) {
      result.remainder =
          (separator == std::string_view::npos) ? text : text.substr(separator);
      return result;
    }
    if (!record.lines.empty()) result.records.push_back(std::move(record));
    if (cut == std::string_view::npos) break;
    separator = cut;
    block_start = cut + kBlockSeparator.size();
  }
  result.remainder = text.substr(text.size());
  return result;
}

std::variant<PwmMatrix, TransfacError> to_matrix(TransfacRecord record) {
  TransfacId* id = nullptr;
  std::optional<std::uint64_t> rows;
  for (TransfacLine& line : record.lines) {
    if (!id) id = std::get_if<TransfacId>(&line);
    if (const auto* row = std::get_if<TransfacRow>(&line)) {
      rows = rows ? std::max(*rows, row->position) : row->position;
    }
  }
  if (!id) return TransfacError::kNoId;
  if (!rows) return TransfacError::kNoRows;
  // The n x 4 values must fit in one vector; a larger request can only be refused.
  if (*rows > std::vector<float>().max_size() / 4) {
    throw InternalFailure(kMatrixTooLarge);
  }

  PwmMatrix matrix(std::move(id->identifier),
                   static_cast<std::size_t>(*rows));
  for (const TransfacLine& line : record.lines) {
    const auto* row = std::get_if<TransfacRow>(&line);
    if (!row) continue;
    if (row->values.size() < 4) throw InternalFailure(kShortRow);
    if (row->position == 0) throw InternalFailure(kRowZero);
    for (std::size_t base = 0; base < 4; ++base) {
      matrix.at(static_cast<std::size_t>(row->position - 1), base) = row->values[base];
    }
  }
  return matrix;
}

LoadResult<std::vector<PwmMatrix>> load_transfac(std::string_view text) {
  TransfacReadResult read = read_transfac(text);
  if (!read.remainder.empty()) return ReaderError{incomplete_parse_message(read.remainder)};
  std::vector<PwmMatrix> matrices;
  matrices.reserve(read.records.size());
  for (TransfacRecord& record : read.records) {
    auto converted = to_matrix(std::move(record));
    if (auto* error = std::get_if<TransfacError>(&converted)) {
      return ReaderError{transfac_error_name(*error)};
    }
    matrices.push_back(std::move(std::get<PwmMatrix>(converted)));
  }
  return matrices;
}

}  // namespace vok
