#pragma once
// Threshold pairs and the per-matrix cut-off map.
#include <string>
#include <unordered_map>

namespace vok {

// The two thresholds a site must reach; a pair always comes whole from one
// source (a cut-off entry or the calculator's defaults).
struct Thresholds {
  float css = 0.0f;  // core similarity score threshold
  float mss = 0.0f;  // matrix similarity score threshold
};

// Matrix identifier (exact, case-sensitive bytes) -> its cut-offs.
using CutoffMap = std::unordered_map<std::string, Thresholds>;

}  // namespace vok
