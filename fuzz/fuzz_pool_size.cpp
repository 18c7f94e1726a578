// Pool size settings: the unsigned-decimal parser against a digit-by-digit
// reading, and the precedence of the two settings.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz_check.hpp"
#include "pool_size.hpp"

namespace {

std::optional<std::size_t> reference_parse(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::size_t digit = static_cast<std::size_t>(c - '0');
    if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

// Input: the two settings separated by a NUL byte; a missing part is unset.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vok::fuzz::as_text(data, size);
  const std::size_t split = text.find('\0');
  const std::string threads(text.substr(0, split));
  const std::optional<std::string> cpus =
      split == std::string_view::npos ? std::nullopt
                                      : std::optional<std::string>(text.substr(split + 1));

  for (const std::string_view setting : {std::string_view(threads), text}) {
    VOK_FUZZ_REQUIRE(vok::parse_unsigned_decimal(setting) == reference_parse(setting));
  }

  constexpr std::size_t kCpus = 7;
  // c_str() stops at an embedded NUL, as getenv's text would.
  const std::size_t size_chosen =
      vok::pool_size_from(threads.c_str(), cpus ? cpus->c_str() : nullptr, kCpus);
  const auto first = reference_parse(threads.c_str());
  const auto second = cpus ? reference_parse(cpus->c_str()) : std::nullopt;
  const std::size_t expected = first ? (*first > 0 ? *first : kCpus)
                               : second && *second > 0 ? *second
                                                       : kCpus;
  VOK_FUZZ_REQUIRE(size_chosen == expected);
  VOK_FUZZ_REQUIRE(vok::pool_size_from(nullptr, nullptr, kCpus) == kCpus);
  return 0;
}
