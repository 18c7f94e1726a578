#pragma once
// How many worker threads the shared pool gets.
#include <cstddef>
#include <optional>
#include <string_view>

namespace vok {

// An unsigned decimal integer: ASCII digits after an optional '+', nothing
// else, no overflow. Empty for anything else (including "" and "-1").
std::optional<std::size_t> parse_unsigned_decimal(std::string_view text);

// The pool size from RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (nullptr when
// unset) and the CPU count: the first variable if it is an unsigned integer
// (0 meaning the CPU count), else the second if it is one above 0, else the
// CPU count.
std::size_t pool_size_from(const char* threads_setting, const char* cpus_setting,
                           std::size_t cpu_count);

// CPUs the process may use: the CPUs of its affinity mask (first 1024), or
// the online processors (at least 1), capped by its cgroup CPU quota.
// Determined on the first call and then kept for the life of the process.
std::size_t available_cpu_count();

// The pool size the environment asks for now.
std::size_t configured_pool_size();

}  // namespace vok
