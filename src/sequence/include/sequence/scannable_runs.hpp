#pragma once
// The lengths of the runs of letters a scan reads (A/C/G/T, lower case too
// unless masked): a motif of length L has max(0, n - L + 1) windows on a run
// of n letters, so these give the windows of a sequence set for any motif.
#include <cstdint>
#include <map>
#include <string_view>

namespace vok::sequence {

using RunLengthHistogram = std::map<std::uint64_t, std::uint64_t>;  // run length -> runs

void add_run_lengths(std::string_view letters, bool mask, RunLengthHistogram& histogram);

}  // namespace vok::sequence
