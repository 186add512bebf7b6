#include "cleaning/worker_threads.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#if defined(__linux__)
#include <sched.h>
#endif

namespace velmora::packed {
namespace {

namespace fs = std::filesystem;

TEST(ThreadCap, PositiveWholeNumbersOnly) {
  EXPECT_EQ(thread_cap("3"), 3u);
  EXPECT_EQ(thread_cap(" 1\n"), 1u);
  EXPECT_EQ(thread_cap("0"), std::nullopt);
  EXPECT_EQ(thread_cap("-2"), std::nullopt);
  EXPECT_EQ(thread_cap("2.5"), std::nullopt);
  EXPECT_EQ(thread_cap("two"), std::nullopt);
  EXPECT_EQ(thread_cap(""), std::nullopt);
}

// A made-up file system root with /proc/self/cgroup and cgroup files.
class FakeRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("velmora-cgroup-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "proc/self");
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& path, const std::string& text) {
    const fs::path file = root_ / path;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }

  std::string root() const { return root_.string(); }

  fs::path root_;
};

TEST_F(FakeRoot, NoControlGroupsNoQuota) { EXPECT_EQ(cgroup_cpu_quota(root()), std::nullopt); }

TEST_F(FakeRoot, CgroupV2QuotaRoundedUp) {
  write("proc/self/cgroup", "0::/batch/job7\n");
  write("sys/fs/cgroup/batch/job7/cpu.max", "150000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root()), 2u);
}

TEST_F(FakeRoot, CgroupV2NoLimitIsNoQuota) {
  write("proc/self/cgroup", "0::/\n");
  write("sys/fs/cgroup/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root()), std::nullopt);
}

TEST_F(FakeRoot, CgroupV2TheSmallestAlongTheAncestors) {
  write("proc/self/cgroup", "0::/batch/job7\n");
  write("sys/fs/cgroup/batch/job7/cpu.max", "max 100000\n");
  write("sys/fs/cgroup/batch/cpu.max", "100000 100000\n");
  write("sys/fs/cgroup/cpu.max", "400000 100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root()), 1u);
}

TEST_F(FakeRoot, CgroupV1Quota) {
  write("proc/self/cgroup", "4:memory:/x\n3:cpu,cpuacct:/slot3\n0::/\n");
  write("sys/fs/cgroup/cpu,cpuacct/slot3/cpu.cfs_quota_us", "300000\n");
  write("sys/fs/cgroup/cpu,cpuacct/slot3/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root()), 3u);
}

TEST_F(FakeRoot, CgroupV1UnlimitedAndInsideAContainer) {
  // -1: no quota
  write("proc/self/cgroup", "1:cpu:/\n");
  write("sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n");
  write("sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_cpu_quota(root()), std::nullopt);
  // the host's path of the group, the container's own group mounted at the top
  write("proc/self/cgroup", "1:cpu:/docker/abc\n");
  write("sys/fs/cgroup/cpu/cpu.cfs_quota_us", "50000\n");
  EXPECT_EQ(cgroup_cpu_quota(root()), 1u);
}

TEST_F(FakeRoot, UnreadableFilesAreNoQuota) {
  write("proc/self/cgroup", "0::/a\n");
  write("sys/fs/cgroup/a/cpu.max", "lots\n");
  EXPECT_EQ(cgroup_cpu_quota(root()), std::nullopt);
}

// Restores an environment variable when it goes out of scope.
class EnvironmentSetting {
 public:
  EnvironmentSetting(const char* name, const char* value) : name_(name) {
    if (const char* was = std::getenv(name)) was_ = was;
    ::setenv(name, value, 1);
  }
  ~EnvironmentSetting() {
    if (was_) {
      ::setenv(name_, was_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> was_;
};

TEST(WorkerThreads, CappedByTheEnvironment) {
  const unsigned free = worker_threads();
  EXPECT_GE(free, 1u);
  EXPECT_LE(free, affinity_cpus());
  {
    EnvironmentSetting one("VELMORA_NUM_THREADS", "1");
    EXPECT_EQ(worker_threads(), 1u);
  }
  {
    EnvironmentSetting many("VELMORA_NUM_THREADS", "4096");  // a cap, not a demand
    EXPECT_EQ(worker_threads(), free);
  }
  {
    EnvironmentSetting nonsense("VELMORA_NUM_THREADS", "all");
    EXPECT_EQ(worker_threads(), free);
  }
}

#if defined(__linux__)
TEST(WorkerThreads, FollowTheAffinityMask) {
  cpu_set_t was;
  ASSERT_EQ(sched_getaffinity(0, sizeof was, &was), 0);
  int cpu = 0;
  while (!CPU_ISSET(cpu, &was)) ++cpu;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const unsigned affinity = affinity_cpus(), threads = worker_threads();
  ASSERT_EQ(sched_setaffinity(0, sizeof was, &was), 0);
  EXPECT_EQ(affinity, 1u);
  EXPECT_EQ(threads, 1u);
}
#endif

}  // namespace
}  // namespace velmora::packed
