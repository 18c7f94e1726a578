#pragma once
// A weight matrix as loaded: raw per-position values for the bases A, C, G, T.
#include <cstddef>
#include <string>
#include <vector>

namespace vok {

struct PwmMatrix {
  std::string name;            // matrix identifier; key of its cut-off entry
  std::size_t length = 0;      // L, the number of positions (rows); may be 0
  std::vector<float> values;   // L x 4, column-major: values[base * length + position]

  PwmMatrix() = default;
  PwmMatrix(std::string matrix_name, std::size_t rows)
      : name(std::move(matrix_name)), length(rows), values(rows * 4, 0.0f) {}

  float& at(std::size_t position, std::size_t base) { return values[base * length + position]; }
  float at(std::size_t position, std::size_t base) const { return values[base * length + position]; }
};

}  // namespace vok
