#include "pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "cgroup_cpu_limit.hpp"

namespace vok {
namespace {

std::size_t query_cpu_count() {
  std::size_t count = 0;
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (::sched_getaffinity(0, sizeof mask, &mask) == 0) {
    count = static_cast<std::size_t>(CPU_COUNT(&mask));
  } else {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  if (const auto limit = cgroup_cpu_limit("")) count = std::min(count, *limit);
  return std::max<std::size_t>(count, 1);
}

}  // namespace

std::optional<std::size_t> parse_unsigned_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  std::size_t value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::size_t pool_size_from(const char* threads_setting, const char* cpus_setting,
                           std::size_t cpu_count) {
  if (threads_setting != nullptr) {
    if (const auto threads = parse_unsigned_decimal(threads_setting)) {
      return *threads > 0 ? *threads : cpu_count;
    }
  }
  if (cpus_setting != nullptr) {
    if (const auto cpus = parse_unsigned_decimal(cpus_setting); cpus && *cpus > 0) {
      return *cpus;
    }
  }
  return cpu_count;
}

std::size_t available_cpu_count() {
  static const std::size_t count = query_cpu_count();
  return count;
}

std::size_t configured_pool_size() {
  return pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                        available_cpu_count());
}

}  // namespace vok
