#include "cgroup_cpu_limit.hpp"

#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

namespace vok {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string_view trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
  text = trim(text);
  Number value{};
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::size_t> ceil_ratio(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  // quota + period - 1 would overflow for quotas near the type's maximum.
  return static_cast<std::size_t>(quota / period + (quota % period != 0 ? 1 : 0));
}

// mountinfo writes space, tab, newline and backslash in paths as \ooo.
std::string unescape_octal(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (std::size_t k = 1; k <= 3; ++k) {
        const char c = field[i + k];
        octal = octal && c >= '0' && c <= '7';
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// One line of mountinfo, the fields the search needs.
struct Mount {
  std::string root;          // path of the mounted directory within its hierarchy
  std::string point;         // mount point
  std::string_view fs_type;  // "cgroup" or "cgroup2" for the hierarchies sought
  std::string_view options;  // super-block options; v1 lists its controllers here
};

std::optional<Mount> parse_mount(std::string_view line) {
  const std::size_t dash = line.find(" - ");
  if (dash == std::string_view::npos) return std::nullopt;
  const auto before = split(line.substr(0, dash), ' ');
  const auto after = split(line.substr(dash + 3), ' ');
  if (before.size() < 6 || after.size() < 3) return std::nullopt;
  return Mount{unescape_octal(before[3]), unescape_octal(before[4]), after[0], after[2]};
}

bool lists(std::string_view comma_list, std::string_view item) {
  for (const auto part : split(comma_list, ',')) {
    if (part == item) return true;
  }
  return false;
}

// Joins the mount point with the cgroup path made relative to the mount root.
std::optional<std::string> mounted_path(const Mount& mount, std::string_view cgroup_path) {
  std::string_view relative = cgroup_path;
  if (mount.root != "/") {
    if (relative.substr(0, mount.root.size()) != mount.root) return std::nullopt;
    relative.remove_prefix(mount.root.size());
    if (!relative.empty() && relative.front() != '/') return std::nullopt;
  }
  std::string path = mount.point;
  while (!path.empty() && path.back() == '/') path.pop_back();
  while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
  path += relative;
  return path.empty() ? std::string("/") : path;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

}  // namespace

std::optional<CgroupCpuDirectory> find_cgroup_cpu_directory(std::string_view proc_cgroup,
                                                            std::string_view mountinfo) {
  std::optional<std::string> v1_path;
  std::optional<std::string> v2_path;
  for (const auto line : split(proc_cgroup, '\n')) {
    // hierarchy-id:controllers:path; the path itself may contain ':'.
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view id = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string path(line.substr(second + 1));
    if (id == "0" && controllers.empty()) {
      v2_path = path;
    } else if (lists(controllers, "cpu")) {
      v1_path = path;
    }
  }
  std::optional<CgroupCpuDirectory> v2_found;
  for (const auto line : split(mountinfo, '\n')) {
    const auto mount = parse_mount(line);
    if (!mount) continue;
    if (v1_path && mount->fs_type == "cgroup" && lists(mount->options, "cpu")) {
      if (auto path = mounted_path(*mount, *v1_path)) {
        return CgroupCpuDirectory{std::move(*path), mount->point, false};
      }
    }
    if (v2_path && !v2_found && mount->fs_type == "cgroup2") {
      if (auto path = mounted_path(*mount, *v2_path)) {
        v2_found = CgroupCpuDirectory{std::move(*path), mount->point, true};
      }
    }
  }
  return v2_found;
}

std::optional<std::size_t> cpu_limit_from_cpu_max(std::string_view cpu_max) {
  const auto fields = split(trim(cpu_max), ' ');
  if (fields.empty() || fields[0] == "max") return std::nullopt;
  const auto quota = parse_number<std::int64_t>(fields[0]);
  // A lone quota means the default period of 100 ms.
  const auto period = fields.size() > 1 ? parse_number<std::int64_t>(fields[1])
                                        : std::optional<std::int64_t>(100000);
  if (!quota || !period) return std::nullopt;
  return ceil_ratio(*quota, *period);
}

std::optional<std::size_t> cpu_limit_from_cfs(std::string_view quota, std::string_view period) {
  const auto quota_value = parse_number<std::int64_t>(quota);
  const auto period_value = parse_number<std::int64_t>(period);
  if (!quota_value || !period_value) return std::nullopt;
  return ceil_ratio(*quota_value, *period_value);
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
  const auto proc_cgroup = read_file(root + "/proc/self/cgroup");
  const auto mountinfo = read_file(root + "/proc/self/mountinfo");
  if (!proc_cgroup || !mountinfo) return std::nullopt;
  const auto directory = find_cgroup_cpu_directory(*proc_cgroup, *mountinfo);
  if (!directory) return std::nullopt;

  // A quota on any ancestor confines the process as well.
  std::optional<std::size_t> limit;
  std::string path = directory->path;
  for (;;) {
    std::optional<std::size_t> here;
    if (directory->version2) {
      if (const auto cpu_max = read_file(root + path + "/cpu.max")) {
        here = cpu_limit_from_cpu_max(*cpu_max);
      }
    } else {
      const auto quota = read_file(root + path + "/cpu.cfs_quota_us");
      const auto period = read_file(root + path + "/cpu.cfs_period_us");
      if (quota && period) here = cpu_limit_from_cfs(*quota, *period);
    }
    if (here && (!limit || *here < *limit)) limit = here;
    if (path.size() <= directory->mount.size()) break;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash < directory->mount.size()) break;
    path.erase(slash == 0 ? 1 : slash);
  }
  return limit;
}

}  // namespace vok
