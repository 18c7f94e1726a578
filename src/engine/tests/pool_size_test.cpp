#include "pool_size.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cgroup_cpu_limit.hpp"

namespace {

struct EnvCase {
  const char* num_threads;  // RAYON_NUM_THREADS, nullptr = unset
  const char* rs_num_cpus;  // RAYON_RS_NUM_CPUS, nullptr = unset
  std::size_t expected;     // with a CPU count of 6
};

class PoolSizeFromEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(PoolSizeFromEnvironment, FollowsThePrecedenceRules) {
  const EnvCase& c = GetParam();
  EXPECT_EQ(vok::pool_size_from(c.num_threads, c.rs_num_cpus, 6), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PoolSizeFromEnvironment,
    ::testing::Values(EnvCase{nullptr, nullptr, 6}, EnvCase{"4", nullptr, 4},
                      EnvCase{"4", "5", 4}, EnvCase{"0", nullptr, 6},
                      // A valid first variable decides even when it is 0.
                      EnvCase{"0", "3", 6}, EnvCase{"+4", nullptr, 4},
                      // Not unsigned decimal integers: the second variable decides.
                      EnvCase{"abc", "3", 3}, EnvCase{"", "3", 3}, EnvCase{"-1", "3", 3},
                      EnvCase{" 4", "3", 3}, EnvCase{"4 ", "3", 3}, EnvCase{"0x4", "3", 3},
                      EnvCase{"99999999999999999999999", "2", 2},
                      // The second variable counts only above 0.
                      EnvCase{nullptr, "0", 6}, EnvCase{nullptr, "5", 5},
                      EnvCase{nullptr, "x", 6}, EnvCase{"y", "-2", 6}));

TEST(AvailableCpuCount, IsPositiveAndFixedForTheProcess) {
  const std::size_t count = vok::available_cpu_count();
  EXPECT_GE(count, 1u);
  EXPECT_EQ(vok::available_cpu_count(), count);
}

struct CpuMaxCase {
  const char* contents;
  std::optional<std::size_t> limit;
};

class CpuMaxContents : public ::testing::TestWithParam<CpuMaxCase> {};

TEST_P(CpuMaxContents, GiveTheQuotaRoundedUp) {
  EXPECT_EQ(vok::cpu_limit_from_cpu_max(GetParam().contents), GetParam().limit);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CpuMaxContents,
    ::testing::Values(CpuMaxCase{"max 100000\n", std::nullopt},
                      CpuMaxCase{"150000 100000\n", 2}, CpuMaxCase{"100000 100000", 1},
                      CpuMaxCase{"100001 100000", 2}, CpuMaxCase{"50000 100000", 1},
                      CpuMaxCase{"400000 100000", 4}, CpuMaxCase{"", std::nullopt},
                      CpuMaxCase{"many 100000", std::nullopt},
                      CpuMaxCase{"150000x 100000", std::nullopt},
                      CpuMaxCase{"150000 100000s", std::nullopt},
                      // The largest quotas the kernel accepts round up without overflow.
                      CpuMaxCase{"9223372036854775807 100000", 92233720368548u},
                      CpuMaxCase{"9223372036854775807 1", 9223372036854775807u},
                      CpuMaxCase{"9223372036854775808 100000", std::nullopt}));

TEST(CfsQuota, MinusOneMeansNoLimit) {
  EXPECT_EQ(vok::cpu_limit_from_cfs("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(vok::cpu_limit_from_cfs("250000\n", "100000\n"), 3u);
  EXPECT_EQ(vok::cpu_limit_from_cfs("100000", "0"), std::nullopt);
  EXPECT_EQ(vok::cpu_limit_from_cfs("9223372036854775807", "1000000"), 9223372036855u);
}

TEST(CgroupDirectory, JoinsMountPointAndPathRelativeToTheMountRoot) {
  const char* mountinfo =
      "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "30 22 0:26 /docker/abc /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";
  const auto found = vok::find_cgroup_cpu_directory("0::/docker/abc/job\n", mountinfo);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->path, "/sys/fs/cgroup/job");
  EXPECT_TRUE(found->version2);
  // A cgroup outside the mounted subtree cannot be reached through it.
  EXPECT_FALSE(vok::find_cgroup_cpu_directory("0::/other\n", mountinfo).has_value());
}

TEST(CgroupDirectory, MountPointsEndingInASlashJoinWithOne) {
  for (const char* point : {"/", "/cg/"}) {
    const std::string mountinfo = std::string("30 22 0:26 / ") + point + " rw - cgroup2 cgroup2 rw\n";
    const auto found = vok::find_cgroup_cpu_directory("0::/job/\n", mountinfo);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->path, std::string(point) == "/" ? "/job" : "/cg/job");
  }
}

TEST(CgroupDirectory, PrefersAVersion1CpuHierarchy) {
  const char* cgroup = "5:cpu,cpuacct:/batch\n3:memory:/batch\n0::/user.slice\n";
  const char* mountinfo =
      "31 25 0:27 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n"
      "35 25 0:31 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
      "36 25 0:32 / /sys/fs/cgroup/cpu\\040acct rw - cgroup cgroup rw,cpu,cpuacct\n";
  const auto found = vok::find_cgroup_cpu_directory(cgroup, mountinfo);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->path, "/sys/fs/cgroup/cpu acct/batch");  // \040 is a space
  EXPECT_FALSE(found->version2);
}

TEST(CgroupDirectory, DecodesAnEscapeThatEndsAField) {
  const char* mountinfo = "36 25 0:32 /jobs\\134 /cg/cpu\\040 rw - cgroup cgroup rw,cpu\n";
  const auto found = vok::find_cgroup_cpu_directory("4:cpu:/jobs\\/batch\n", mountinfo);
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->path, "/cg/cpu /batch");
  EXPECT_EQ(found->mount, "/cg/cpu ");
}

// A fake root: /proc/self/{cgroup,mountinfo} and the cgroup files below it.
struct TreeCase {
  const char* label;
  std::vector<std::pair<std::string, std::string>> files;  // relative path, contents
  std::optional<std::size_t> limit;
};

class FakeCgroupTree : public ::testing::TestWithParam<TreeCase> {};

TEST_P(FakeCgroupTree, GivesTheQuotaOfTheOwnGroupOrAnAncestor) {
  const auto root = std::filesystem::temp_directory_path() /
                    ("vok-cgroup-" + std::to_string(::getpid()) + "-" + GetParam().label);
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root / "proc/self");
  for (const auto& [relative, contents] : GetParam().files) {
    std::filesystem::create_directories((root / relative).parent_path());
    std::ofstream(root / relative) << contents;
  }
  EXPECT_EQ(vok::cgroup_cpu_limit(root.string()), GetParam().limit);
  std::filesystem::remove_all(root);
}

const char kV2Mount[] = "30 22 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
const char kV1Mount[] = "36 25 0:32 / /cg/cpu rw - cgroup cgroup rw,cpuacct,cpu\n";

INSTANTIATE_TEST_SUITE_P(
    Trees, FakeCgroupTree,
    ::testing::Values(
        TreeCase{"V2OwnGroup",
                 {{"proc/self/cgroup", "0::/app\n"}, {"proc/self/mountinfo", kV2Mount},
                  {"sys/fs/cgroup/cpu.max", "max 100000\n"},
                  {"sys/fs/cgroup/app/cpu.max", "150000 100000\n"}},
                 2},
        TreeCase{"V2Ancestor",
                 {{"proc/self/cgroup", "0::/app/worker\n"}, {"proc/self/mountinfo", kV2Mount},
                  {"sys/fs/cgroup/app/cpu.max", "300000 100000\n"},
                  {"sys/fs/cgroup/app/worker/cpu.max", "max 100000\n"}},
                 3},
        // The smaller quota confines, whether it is the group's own or its parent's.
        TreeCase{"V2ParentSmaller",
                 {{"proc/self/cgroup", "0::/app/worker\n"}, {"proc/self/mountinfo", kV2Mount},
                  {"sys/fs/cgroup/app/cpu.max", "150000 100000\n"},
                  {"sys/fs/cgroup/app/worker/cpu.max", "300000 100000\n"}},
                 2},
        TreeCase{"V1OwnSmaller",
                 {{"proc/self/cgroup", "4:cpu,cpuacct:/job/step\n"}, {"proc/self/mountinfo", kV1Mount},
                  {"cg/cpu/job/cpu.cfs_quota_us", "500000\n"},
                  {"cg/cpu/job/cpu.cfs_period_us", "100000\n"},
                  {"cg/cpu/job/step/cpu.cfs_quota_us", "100000\n"},
                  {"cg/cpu/job/step/cpu.cfs_period_us", "100000\n"}},
                 1},
        TreeCase{"V2NoQuota",
                 {{"proc/self/cgroup", "0::/app\n"}, {"proc/self/mountinfo", kV2Mount},
                  {"sys/fs/cgroup/app/cpu.max", "max 100000\n"}},
                 std::nullopt},
        TreeCase{"V1QuotaAndPeriod",
                 {{"proc/self/cgroup", "4:cpu,cpuacct:/job\n0::/\n"},
                  {"proc/self/mountinfo", kV1Mount},
                  {"cg/cpu/job/cpu.cfs_quota_us", "250000\n"},
                  {"cg/cpu/job/cpu.cfs_period_us", "100000\n"}},
                 3},
        TreeCase{"V1QuotaMinusOne",
                 {{"proc/self/cgroup", "4:cpu,cpuacct:/job\n"}, {"proc/self/mountinfo", kV1Mount},
                  {"cg/cpu/job/cpu.cfs_quota_us", "-1\n"},
                  {"cg/cpu/job/cpu.cfs_period_us", "100000\n"}},
                 std::nullopt},
        TreeCase{"NoProcFiles", {}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
