#pragma once
// Site-count matrices as text, written straight from their sparse rows: a
// wide TSV (one line per record, one column per motif) or the entries of a
// Matrix Market coordinate file.
#include <cstdint>
#include <string>
#include <vector>

#include "regions/site_tally.hpp"

namespace vok::regions {

enum class CellValue {
  kCount,     // sites of the pair; 0 where none
  kPresence,  // 1 where the pair has a site, else 0
  kMaxScore,  // the pair's best mss (shortest text that reads back as the float); empty where none
};

// One line per row: its name, then `motif_count` tab-separated cells.
// std::invalid_argument when the rows and names disagree.
void append_wide_rows(std::string& out, const SparseRows& rows, const std::vector<std::string>& row_names,
                      std::size_t motif_count, CellValue value);

// One "row column value" line per pair, 1-based, rows counted from `first_row` (0-based).
void append_matrix_market_entries(std::string& out, const SparseRows& rows, std::uint64_t first_row,
                                  CellValue value);

}  // namespace vok::regions
