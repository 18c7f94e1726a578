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

}  // namespace vok::binding
