#pragma once
// Records carried by the value classes that have no home in the plain libraries.
#include <cstdint>
#include <string>

namespace vok::binding {

// One per-matrix cut-off entry.
struct ProfileRecord {
  std::string id;   // name of the matrix the cut-offs apply to
  float css = 0;    // core similarity cut-off
  float mss = 0;    // matrix similarity cut-off
};

// One reported site.
struct HitRecord {
  std::string sequence;   // name of the scanned sequence
  std::string matrix;     // name of the matrix that found the site
  std::uint64_t pos = 0;  // forward-strand index of the core word's leftmost base
  bool strand = true;     // true: forward record; false: reverse record
  float css = 0;          // core similarity score
  float mss = 0;          // matrix similarity score
  std::uint64_t len = 0;  // matrix length L
};

}  // namespace vok::binding
