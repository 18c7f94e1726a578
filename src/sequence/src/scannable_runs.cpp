#include "sequence/scannable_runs.hpp"

namespace vok::sequence {

void add_run_lengths(std::string_view letters, bool mask, RunLengthHistogram& histogram) {
  std::uint64_t run = 0;
  for (const char letter : letters) {
    bool scanned = false;
    switch (letter) {
      case 'A': case 'C': case 'G': case 'T': scanned = true; break;
      case 'a': case 'c': case 'g': case 't': scanned = !mask; break;
      default: break;
    }
    if (scanned) {
      ++run;
    } else if (run > 0) {
      ++histogram[run];
      run = 0;
    }
  }
  if (run > 0) ++histogram[run];
}

}  // namespace vok::sequence
