#include "cleaning/worker_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

TEST(ThreadBudget, TheSmallestOfAffinityQuotaAndCap) {
  EXPECT_EQ(thread_budget(2, 4, std::nullopt), 2u);  // a quota above the CPUs allowed
  EXPECT_EQ(thread_budget(2, 1, std::nullopt), 1u);
  EXPECT_EQ(thread_budget(8, 3, 2), 2u);
  EXPECT_EQ(thread_budget(8, 3, 5), 3u);
  EXPECT_EQ(thread_budget(4, std::nullopt, 16), 4u);
  EXPECT_EQ(thread_budget(4, std::nullopt, std::nullopt), 4u);
  EXPECT_EQ(thread_budget(0, std::nullopt, std::nullopt), 1u);
}

#if defined(__linux__)
// The whole rule on what this process reads: an affinity mask of two CPUs
// and a made-up control group whose quota is 4, then 1.
TEST_F(FakeRoot, QuotaAndAffinityTogether) {
  cpu_set_t was;
  ASSERT_EQ(sched_getaffinity(0, sizeof was, &was), 0);
  if (CPU_COUNT(&was) < 2) GTEST_SKIP() << "fewer than two CPUs";
  cpu_set_t two;
  CPU_ZERO(&two);
  for (int cpu = 0, n = 0; n < 2; ++cpu) {
    if (CPU_ISSET(cpu, &was)) CPU_SET(cpu, &two), ++n;
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof two, &two), 0);
  write("proc/self/cgroup", "0::/slot\n");
  write("sys/fs/cgroup/slot/cpu.max", "400000 100000\n");
  const unsigned wide_quota = worker_threads(root());
  write("sys/fs/cgroup/slot/cpu.max", "100000 100000\n");
  const unsigned narrow_quota = worker_threads(root());
  unsigned capped;
  {
    EnvironmentSetting cap("VELMORA_NUM_THREADS", "1");
    write("sys/fs/cgroup/slot/cpu.max", "max 100000\n");
    capped = worker_threads(root());
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof was, &was), 0);
  EXPECT_EQ(wide_quota, 2u);
  EXPECT_EQ(narrow_quota, 1u);
  EXPECT_EQ(capped, 1u);
}

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

// What run_shared did: which ranges ran, how often, and on which threads.
struct Ran {
  std::mutex lock;
  std::vector<int> times;
  std::vector<std::thread::id> on;

  explicit Ran(size_t parts) : times(parts, 0), on(parts) {}
  void note(size_t t) {
    std::lock_guard<std::mutex> hold(lock);
    ++times[t];
    on[t] = std::this_thread::get_id();
  }
};

// Starts the first `allowed` threads asked for, then fails as pthread_create
// fails at a process or address-space limit.
ThreadStarter starts_only(size_t allowed, std::atomic<size_t>& asked) {
  return [allowed, &asked](std::function<void()> task) {
    if (asked++ >= allowed) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::jthread(std::move(task));
  };
}

TEST(RunShared, EveryRangeOnceOnItsOwnThread) {
  const std::vector<size_t> bounds{0, 10, 20, 30, 40};
  Ran ran(4);
  const size_t started = run_shared(bounds, [&](size_t t, size_t from, size_t to) {
    EXPECT_EQ(from, bounds[t]);
    EXPECT_EQ(to, bounds[t + 1]);
    ran.note(t);
  });
  EXPECT_EQ(started, 3u);
  EXPECT_EQ(ran.times, (std::vector<int>{1, 1, 1, 1}));
  EXPECT_EQ(ran.on[0], std::this_thread::get_id());
  for (size_t t = 1; t < 4; ++t) EXPECT_NE(ran.on[t], std::this_thread::get_id()) << t;
}

TEST(RunShared, RangesThatFindNoThreadRunOnTheCaller) {
  const std::vector<size_t> bounds{0, 1, 2, 3, 4, 5};
  for (size_t allowed : {0u, 1u, 3u}) {
    std::atomic<size_t> asked{0};
    Ran ran(5);
    const size_t started = run_shared(bounds, [&](size_t t, size_t, size_t) { ran.note(t); },
                                      starts_only(allowed, asked));
    EXPECT_EQ(started, allowed);
    EXPECT_EQ(asked.load(), allowed + 1) << "no second try once a thread could not start";
    EXPECT_EQ(ran.times, (std::vector<int>{1, 1, 1, 1, 1})) << allowed;
    for (size_t t = 0; t < 5; ++t) {
      const bool here = t == 0 || t > allowed;
      EXPECT_EQ(ran.on[t] == std::this_thread::get_id(), here) << allowed << " " << t;
    }
  }
}

TEST(RunShared, TheFirstErrorInRangeOrderEvenWithoutThreads) {
  const std::vector<size_t> bounds{0, 1, 2, 3};
  for (size_t allowed : {0u, 2u}) {
    std::atomic<size_t> asked{0};
    std::vector<int> done(3, 0);
    try {
      run_shared(bounds, [&](size_t t, size_t, size_t) {
        done[t] = 1;
        if (t >= 1) throw std::runtime_error("range " + std::to_string(t));
      }, starts_only(allowed, asked));
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "range 1");
    }
    EXPECT_EQ(done, (std::vector<int>{1, 1, 1})) << "every range ran before the error was raised";
  }
  // an allocation that fails stays what it is
  EXPECT_THROW(run_shared(bounds, [](size_t t, size_t, size_t) { if (t == 2) throw std::bad_alloc(); }),
               std::bad_alloc);
}

}  // namespace
}  // namespace velmora::packed
