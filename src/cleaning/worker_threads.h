// How many threads the packed-text kernel may run at once.
//
// As many as the CPUs this process may use: those of its affinity mask, fewer
// when its control group's CPU quota allows less (a container or a batch
// slot of a cluster), and at most VELMORA_NUM_THREADS when that is set to a
// positive whole number. Several worker processes on one machine, each with
// its own share of the cores, then do not oversubscribe them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::packed {

// The kernel's thread budget for this process now: never less than 1.
unsigned worker_threads();

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

}  // namespace velmora::packed
