// How many threads the packed-text kernel may run at once.
//
// As many as the CPUs this process may use: those of its affinity mask, fewer
// when its control group's CPU quota allows less (a container or a batch
// slot of a cluster), and at most VELMORA_NUM_THREADS when that is set to a
// positive whole number. Several worker processes on one machine, each with
// its own share of the cores, then do not oversubscribe them.
//
// The work itself is shared by run_shared: a range for which no thread can be
// started (a process or address-space limit reached) runs on the calling
// thread instead, so a call never fails for want of threads.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

namespace velmora::packed {

// The kernel's thread budget for this process now: never less than 1. `root`
// as for cgroup_cpu_quota.
unsigned worker_threads(const std::string& root = "");

// The rule worker_threads applies to what it reads: the CPUs of the affinity
// mask, fewer under a CPU quota, at most the cap; never less than 1.
unsigned thread_budget(unsigned affinity, std::optional<unsigned> quota, std::optional<unsigned> cap);

// The parts of that budget, for tests.

// CPUs in this thread's affinity mask (the machine's count where the mask
// cannot be read).
unsigned affinity_cpus();

// The CPU quota of the control group this process belongs to, in CPUs
// (quota / period, rounded up), the smallest along the group's ancestors;
// nullopt without a quota. `root` is prepended to /proc/self/cgroup and
// /sys/fs/cgroup (tests pass a directory holding made-up files). Reads cgroup
// v2 (cpu.max) and v1 (cpu.cfs_quota_us, cpu.cfs_period_us).
std::optional<unsigned> cgroup_cpu_quota(const std::string& root = "");

// The cap that the text of VELMORA_NUM_THREADS sets; nullopt unless it is a
// positive whole number (blanks around it allowed).
std::optional<unsigned> thread_cap(std::string_view setting);

// Starts a thread running `work`, as std::jthread does; throws
// std::system_error when no thread can be started.
using ThreadStarter = std::function<std::jthread(std::function<void()>)>;

// Runs work(t, bounds[t], bounds[t + 1]) once for every range t: range 0 on
// the calling thread, every other range on a thread of its own started by
// `start` (std::jthread when empty). Once a thread cannot be started, that
// range and the ones after it run on the calling thread, after range 0.
// Returns when every range is done and rethrows the first error in range
// order. Returns the number of threads started.
size_t run_shared(std::span<const size_t> bounds, const std::function<void(size_t, size_t, size_t)>& work,
                  const ThreadStarter& start = {});

}  // namespace velmora::packed
