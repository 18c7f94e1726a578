#pragma once
// Profile text -> per-matrix cut-offs.
#include <string_view>

#include "parser/reader_error.hpp"
#include "scoring/thresholds.hpp"

namespace vok {

struct ProfileReadResult {
  CutoffMap cutoffs;
  std::string_view remainder;  // views into the input; empty when all was read
};

// Grammar stage; never fails. A repeated identifier keeps its last line.
ProfileReadResult read_profile(std::string_view text);

// read_profile, then refuse any unread remainder.
LoadResult<CutoffMap> load_profile(std::string_view text);

}  // namespace vok
