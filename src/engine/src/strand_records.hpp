#pragma once
// The strand records of one evaluation: every sequence forward, then every
// sequence reversed (not complemented).
#include <cstdint>
#include <span>
#include <vector>

#include "scoring/base_codes.hpp"

namespace vok {

// One strand to scan.
struct StrandRecord {
  std::span<const BaseCode> bases;  // the stored sequence's codes, always forward
  std::uint32_t sequence;           // index of the stored sequence it comes from
  bool forward;                     // false: the record is `bases` reversed
};

// Both kinds of record view the stored bases, which must outlive this object
// and stay unchanged: a reverse record is never copied whole, its scan
// reverses only the stretch of one piece at a time.
class StrandRecords {
 public:
  explicit StrandRecords(const std::vector<BaseSequence>& sequences);
  StrandRecords(const StrandRecords&) = delete;
  StrandRecords& operator=(const StrandRecords&) = delete;

  // F(S0) .. F(Sk-1), R(S0) .. R(Sk-1).
  std::span<const StrandRecord> records() const { return records_; }

 private:
  std::vector<StrandRecord> records_;  // the records in scan order
};

}  // namespace vok
