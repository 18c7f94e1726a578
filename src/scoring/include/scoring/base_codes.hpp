#pragma once
// Base codes: one byte per base; the code also indexes a weight-matrix column.
#include <cstdint>
#include <string>
#include <vector>

namespace vok {

using BaseCode = std::uint8_t;

inline constexpr BaseCode kBaseA = 0;
inline constexpr BaseCode kBaseC = 1;
inline constexpr BaseCode kBaseG = 2;
inline constexpr BaseCode kBaseT = 3;
inline constexpr char kBaseLetters[4] = {'A', 'C', 'G', 'T'};

// A named sequence as the calculator stores it: every code is 0..3.
struct BaseSequence {
  std::string name;              // sequence name as read or given
  std::vector<BaseCode> bases;   // codes A=0, C=1, G=2, T=3
};

}  // namespace vok
