// Cgroup texts: /proc/self/cgroup and mountinfo, cpu.max and the cfs pair.
// The quota arithmetic is checked against 128-bit integers; UBSan watches
// for overflow in the parsers.
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cgroup_cpu_limit.hpp"
#include "fuzz_check.hpp"

namespace {

std::vector<std::string_view> parts_of(std::string_view text, std::size_t count) {
  std::vector<std::string_view> parts;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const std::size_t split = text.find('\0');
    parts.push_back(text.substr(0, split));
    text = split == std::string_view::npos ? std::string_view() : text.substr(split + 1);
  }
  parts.push_back(text);
  return parts;
}

std::optional<std::int64_t> whole_number(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
  std::int64_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

// A limit derived from a quota and a period is their ratio rounded up.
void check_ratio(std::optional<std::size_t> limit, std::optional<std::int64_t> quota,
                 std::optional<std::int64_t> period) {
  if (!limit) return;
  VOK_FUZZ_REQUIRE(quota && period && *quota > 0 && *period > 0);
  const __int128 q = *quota, p = *period;
  VOK_FUZZ_REQUIRE(static_cast<__int128>(*limit) == (q + p - 1) / p);
  VOK_FUZZ_REQUIRE(*limit >= 1);
}

}  // namespace

// Input: proc_cgroup, mountinfo, cpu.max, cfs quota, cfs period, separated by NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = parts_of(vok::fuzz::as_text(data, size), 5);

  if (const auto found = vok::find_cgroup_cpu_directory(parts[0], parts[1])) {
    // The directory lies below (or at) the mount point of its hierarchy.
    std::string mount = found->mount;
    while (!mount.empty() && mount.back() == '/') mount.pop_back();
    VOK_FUZZ_REQUIRE(found->path.compare(0, mount.size(), mount) == 0);
    VOK_FUZZ_REQUIRE(!found->path.empty());
  }

  const auto cpu_max = vok::cpu_limit_from_cpu_max(parts[2]);
  if (cpu_max) {
    std::string_view fields = parts[2];
    const std::size_t first = fields.find_first_not_of(" \t\r\n");
    fields = fields.substr(first, fields.find_last_not_of(" \t\r\n") - first + 1);
    const std::size_t space = fields.find(' ');
    // A lone quota has the default period; fields after the second are not read.
    const std::string_view rest = space == std::string_view::npos ? "" : fields.substr(space + 1);
    const auto period = space == std::string_view::npos
                            ? std::optional<std::int64_t>(100000)
                            : whole_number(rest.substr(0, rest.find(' ')));
    check_ratio(cpu_max, whole_number(fields.substr(0, space)), period);
  }
  check_ratio(vok::cpu_limit_from_cfs(parts[3], parts[4]), whole_number(parts[3]),
              whole_number(parts[4]));
  return 0;
}
