#include "regions/count_text.hpp"

#include <charconv>
#include <stdexcept>

namespace vok::regions {
namespace {

void put_number(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void put_cell(std::string& out, const SparseRows& rows, std::size_t pair, CellValue value) {
  switch (value) {
    case CellValue::kCount:
      put_number(out, rows.counts[pair]);
      break;
    case CellValue::kPresence:
      out.push_back('1');
      break;
    case CellValue::kMaxScore: {
      char digits[24];
      const auto end = std::to_chars(digits, digits + sizeof digits, rows.max_mss[pair]).ptr;
      out.append(digits, end);
      break;
    }
  }
}

void check(const SparseRows& rows, CellValue value) {
  if (rows.indptr.empty() || rows.indices.size() != rows.counts.size() ||
      static_cast<std::size_t>(rows.indptr.back()) != rows.indices.size() ||
      (value == CellValue::kMaxScore && rows.max_mss.size() != rows.indices.size())) {
    throw std::invalid_argument("inconsistent sparse rows (was the best mss kept?)");
  }
}

}  // namespace

void append_wide_rows(std::string& out, const SparseRows& rows, const std::vector<std::string>& row_names,
                      std::size_t motif_count, CellValue value) {
  check(rows, value);
  if (row_names.size() + 1 != rows.indptr.size()) throw std::invalid_argument("one name per row");
  const char* empty = value == CellValue::kMaxScore ? "" : "0";
  for (std::size_t row = 0; row < row_names.size(); ++row) {
    out += row_names[row];
    auto pair = static_cast<std::size_t>(rows.indptr[row]);
    const auto end = static_cast<std::size_t>(rows.indptr[row + 1]);
    for (std::size_t motif = 0; motif < motif_count; ++motif) {
      out.push_back('\t');
      if (pair < end && static_cast<std::size_t>(rows.indices[pair]) == motif) {
        put_cell(out, rows, pair, value);
        ++pair;
      } else {
        out += empty;
      }
    }
    out.push_back('\n');
  }
}

void append_matrix_market_entries(std::string& out, const SparseRows& rows, std::uint64_t first_row,
                                  CellValue value) {
  check(rows, value);
  for (std::size_t row = 0; row + 1 < rows.indptr.size(); ++row) {
    for (auto pair = static_cast<std::size_t>(rows.indptr[row]);
         pair < static_cast<std::size_t>(rows.indptr[row + 1]); ++pair) {
      put_number(out, first_row + row + 1);
      out.push_back(' ');
      put_number(out, static_cast<std::uint64_t>(rows.indices[pair]) + 1);
      out.push_back(' ');
      put_cell(out, rows, pair, value);
      out.push_back('\n');
    }
  }
}

}  // namespace vok::regions
