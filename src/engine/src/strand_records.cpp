#include "strand_records.hpp"

namespace vok {

StrandRecords::StrandRecords(const std::vector<BaseSequence>& sequences) {
  reversed_.reserve(sequences.size());
  records_.reserve(2 * sequences.size());
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    records_.push_back({sequences[i].bases, static_cast<std::uint32_t>(i), true});
  }
  for (std::size_t i = 0; i < sequences.size(); ++i) {
    const auto& bases = sequences[i].bases;
    reversed_.emplace_back(bases.rbegin(), bases.rend());
    records_.push_back({reversed_.back(), static_cast<std::uint32_t>(i), false});
  }
}

}  // namespace vok
