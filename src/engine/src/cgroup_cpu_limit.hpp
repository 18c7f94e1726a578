#pragma once
// The CPU quota of the process's cgroup, as a whole number of CPUs.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vok {

// Where the process's cpu controller lives.
struct CgroupCpuDirectory {
  std::string path;     // directory of the process's cgroup, as mounted
  std::string mount;    // mount point of the hierarchy; the search for quotas stops there
  bool version2 = false;  // true: unified hierarchy (cpu.max); false: v1 (cpu.cfs_*)
};

// Finds the cpu controller's directory from the text of /proc/self/cgroup and
// /proc/self/mountinfo: a v1 hierarchy listing "cpu" if mounted, else the v2
// unified hierarchy. The path is the mount point plus the cgroup path taken
// relative to the mount's root. Empty when neither is found.
std::optional<CgroupCpuDirectory> find_cgroup_cpu_directory(std::string_view proc_cgroup,
                                                            std::string_view mountinfo);

// ceil(quota / period) from the contents of cpu.max ("max 100000" or
// "150000 100000"); empty when unlimited or unreadable.
std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view cpu_max);

// ceil(quota / period) from cpu.cfs_quota_us and cpu.cfs_period_us; empty
// when the quota is -1 (unlimited) or the values are unreadable.
std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota, std::string_view period);

// The smallest quota (in CPUs) on the process's cgroup and its ancestors up
// to the mount point. `root` is prefixed to every path read ("" on a live
// system; a fake tree in tests).
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root);

}  // namespace vok
