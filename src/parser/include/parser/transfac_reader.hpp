#pragma once
// TRANSFAC matrix text -> named raw matrices.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/reader_error.hpp"
#include "scoring/pwm_matrix.hpp"

namespace vok {

struct TransfacId { std::string identifier; };
struct TransfacPo { std::vector<std::string> words; };
struct TransfacRow {
  std::uint64_t position;     // as written, normally 1-based
  std::vector<float> values;  // never NaN
};
using TransfacLine = std::variant<TransfacId, TransfacPo, TransfacRow>;

struct TransfacRecord {
  std::vector<TransfacLine> lines;  // Id, Po and Row lines of one block, in order
};

struct TransfacReadResult {
  std::vector<TransfacRecord> records;
  std::string_view remainder;  // views into the input; empty when all was read
};

enum class TransfacError { kNoId, kNoRows };
const char* transfac_error_name(TransfacError error);  // "NoId" / "NoRows"

// Grammar stage; never fails.
TransfacReadResult read_transfac(std::string_view text);

// One record -> matrix, or why it cannot become one. Throws InternalFailure
// for a row with fewer than four values or a row numbered 0.
std::variant<PwmMatrix, TransfacError> to_matrix(TransfacRecord record);

// read_transfac, the remainder check, then to_matrix on every record.
LoadResult<std::vector<PwmMatrix>> load_transfac(std::string_view text);

}  // namespace vok
