#include "strand_records.hpp"

namespace vok {

StrandRecords::StrandRecords(const std::vector<BaseSequence>& sequences) {
  records_.reserve(2 * sequences.size());
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    records_.push_back({sequences[i].bases, static_cast<std::uint32_t>(i), true});
  }
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    records_.push_back({sequences[i].bases, static_cast<std::uint32_t>(i), false});
  }
}

}  // namespace vok
