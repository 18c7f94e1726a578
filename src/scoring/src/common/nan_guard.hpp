#pragma once
// NaN-guarded float arithmetic of the scoring model and the scan. A guarded
// operation that yields NaN abandons the call with an InternalFailure carrying
// one fixed message; infinities pass.
#include <cmath>

namespace vok::detail {

inline constexpr const char* kAdditionNaN = "Addition resulted in NaN";
inline constexpr const char* kSubtractionNaN = "Subtraction resulted in NaN";
inline constexpr const char* kMultiplicationNaN = "Multiplication resulted in NaN";
inline constexpr const char* kDivisionNaN = "Division resulted in NaN";
inline constexpr const char* kSumNaN = "Sum resulted in NaN";

// Throws InternalFailure(message); kept out of line so the guarded fast paths stay small.
[[noreturn, gnu::cold, gnu::noinline]] void fail_nan(const char* message);

// Returns value unless it is NaN, in which case the call fails with message.
inline float check_nan(float value, const char* message) {
  if (std::isnan(value)) [[unlikely]] {
    fail_nan(message);
  }
  return value;
}

inline float guarded_add(float a, float b) { return check_nan(a + b, kAdditionNaN); }
inline float guarded_sub(float a, float b) { return check_nan(a - b, kSubtractionNaN); }
inline float guarded_mul(float a, float b) { return check_nan(a * b, kMultiplicationNaN); }
inline float guarded_div(float a, float b) { return check_nan(a / b, kDivisionNaN); }

}  // namespace vok::detail
