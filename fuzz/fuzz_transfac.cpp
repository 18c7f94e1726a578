// TRANSFAC reader: the grammar stage, each record's matrix and the whole load.
#include <algorithm>
#include <cmath>
#include <variant>

#include "fuzz_check.hpp"
#include "parser/transfac_reader.hpp"
#include "scoring/internal_failure.hpp"

namespace {

// A row number allocates a matrix that many rows long: inputs asking for
// more than these are only checked at the grammar stage.
constexpr std::uint64_t kMaxRowsPerRecord = 10'000;
constexpr std::uint64_t kMaxRowsInTotal = 100'000;

// Largest row position of a record, 0 when it has no rows.
std::uint64_t largest_position(const vok::TransfacRecord& record) {
  std::uint64_t largest = 0;
  for (const vok::TransfacLine& line : record.lines) {
    if (const auto* row = std::get_if<vok::TransfacRow>(&line)) {
      VOK_FUZZ_REQUIRE(std::none_of(row->values.begin(), row->values.end(),
                                    [](float v) { return std::isnan(v); }));
      largest = std::max(largest, row->position);
    }
  }
  return largest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vok::fuzz::as_text(data, size);
  const vok::TransfacReadResult read = vok::read_transfac(text);
  VOK_FUZZ_REQUIRE(vok::fuzz::views_suffix(read.remainder, text));

  std::uint64_t total_rows = 0;
  for (const vok::TransfacRecord& record : read.records) {
    const std::uint64_t rows = largest_position(record);
    if (rows > kMaxRowsPerRecord) return 0;
    total_rows += rows;
  }
  if (total_rows > kMaxRowsInTotal) return 0;

  // Each record on its own: a matrix as long as its largest row number.
  bool any_refused = false;  // some record gave NoId or NoRows
  bool any_failed = false;   // some record threw InternalFailure
  for (const vok::TransfacRecord& record : read.records) {
    try {
      auto converted = vok::to_matrix(record);
      if (const auto* matrix = std::get_if<vok::PwmMatrix>(&converted)) {
        VOK_FUZZ_REQUIRE(matrix->length == largest_position(record));
        VOK_FUZZ_REQUIRE(matrix->values.size() == 4 * matrix->length);
      } else {
        any_refused = true;
      }
    } catch (const vok::InternalFailure&) {
      any_failed = true;
    }
  }

  // The whole load agrees with the parts: it fails only when a record fails.
  try {
    auto loaded = vok::load_transfac(text);
    if (std::holds_alternative<vok::ReaderError>(loaded)) {
      VOK_FUZZ_REQUIRE(!read.remainder.empty() || any_refused);
      return 0;
    }
    const auto& matrices = std::get<std::vector<vok::PwmMatrix>>(loaded);
    VOK_FUZZ_REQUIRE(read.remainder.empty() && !any_refused && !any_failed);
    VOK_FUZZ_REQUIRE(matrices.size() == read.records.size());
    for (const vok::PwmMatrix& matrix : matrices) {
      VOK_FUZZ_REQUIRE(matrix.values.size() == 4 * matrix.length);
    }
  } catch (const vok::InternalFailure&) {
    VOK_FUZZ_REQUIRE(read.remainder.empty() && any_failed);
  }
  return 0;
}
