#pragma once
// Shared by the fuzz harnesses: invariant checks that stop the run on failure,
// so the fuzzer keeps the offending input as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vok::fuzz {

// Reports the failed invariant and aborts the process.
[[noreturn]] inline void fail(const char* condition, int line) {
  std::fprintf(stderr, "invariant violated (line %d): %s\n", line, condition);
  std::abort();
}

// The fuzz input as text.
inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// True when `part` views the end of `whole`; an empty part always does.
inline bool views_suffix(std::string_view part, std::string_view whole) {
  return part.empty() || (part.size() <= whole.size() &&
                          part.data() + part.size() == whole.data() + whole.size());
}

}  // namespace vok::fuzz

#define VOK_FUZZ_REQUIRE(condition) \
  ((condition) ? void(0) : ::vok::fuzz::fail(#condition, __LINE__))
