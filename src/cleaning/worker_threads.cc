#include "cleaning/worker_threads.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace velmora::packed {
namespace {

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string_view trimmed(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<long long> whole_number(std::string_view s) {
  s = trimmed(s);
  long long value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return value;
}

// CPUs allowed by a quota of `quota` microseconds per `period`.
std::optional<unsigned> cpus_of(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  const long long cpus = (quota + period - 1) / period;
  return static_cast<unsigned>(std::min<long long>(cpus, 1 << 20));
}

// "max 100000" or "200000 100000".
std::optional<unsigned> quota_v2(const std::string& file) {
  const auto text = read_text(file);
  if (!text) return std::nullopt;
  const std::string_view line = trimmed(*text);
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  const auto quota = whole_number(line.substr(0, blank));  // "max" gives none
  const auto period = whole_number(line.substr(blank + 1));
  if (!quota || !period) return std::nullopt;
  return cpus_of(*quota, *period);
}

std::optional<unsigned> quota_v1(const std::string& directory) {
  const auto quota = read_text(directory + "/cpu.cfs_quota_us");
  const auto period = read_text(directory + "/cpu.cfs_period_us");
  if (!quota || !period) return std::nullopt;
  const auto q = whole_number(*quota), p = whole_number(*period);
  if (!q || !p) return std::nullopt;
  return cpus_of(*q, *p);  // a quota of -1: none
}

std::optional<unsigned> smaller(std::optional<unsigned> a, std::optional<unsigned> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// The group at `path` (beginning with '/') and each of its ancestors, up to
// the root of the hierarchy mounted at `mount`.
template <typename Quota>
std::optional<unsigned> along_ancestors(const std::string& mount, std::string path, Quota quota) {
  std::optional<unsigned> found;
  while (true) {
    found = smaller(found, quota(mount + (path == "/" ? "" : path)));
    if (path.empty() || path == "/") break;
    const size_t slash = path.rfind('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
  }
  return found;
}

}  // namespace

unsigned affinity_cpus() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

std::optional<unsigned> cgroup_cpu_quota(const std::string& root) {
  const auto membership = read_text(root + "/proc/self/cgroup");
  if (!membership) return std::nullopt;
  const std::string cgroup = root + "/sys/fs/cgroup";
  std::optional<unsigned> found;
  std::istringstream lines(*membership);
  std::string line;
  while (std::getline(lines, line)) {
    // hierarchy-ID:controllers:path
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    if (controllers.empty()) {  // cgroup v2: the unified hierarchy
      found = smaller(found, along_ancestors(cgroup, path, [](const std::string& dir) {
                        return quota_v2(dir + "/cpu.max");
                      }));
      continue;
    }
    std::istringstream names(controllers);
    std::string name;
    bool cpu = false;
    while (std::getline(names, name, ',')) cpu = cpu || name == "cpu";
    if (!cpu) continue;
    // v1: the hierarchy is mounted under its controllers' names ("cpu" or
    // "cpu,cpuacct"); inside a container the group's path may be the host's
    // while the mount shows the container's own group at its top.
    for (const std::string& mount : {cgroup + "/cpu", cgroup + "/" + controllers}) {
      const auto quota = along_ancestors(mount, path, quota_v1);
      found = smaller(found, quota ? quota : quota_v1(mount));
    }
  }
  return found;
}

std::optional<unsigned> thread_cap(std::string_view setting) {
  const auto value = whole_number(setting);
  if (!value || *value <= 0) return std::nullopt;
  return static_cast<unsigned>(std::min<long long>(*value, 1 << 20));
}

unsigned thread_budget(unsigned affinity, std::optional<unsigned> quota, std::optional<unsigned> cap) {
  unsigned threads = affinity;
  if (quota) threads = std::min(threads, *quota);
  if (cap) threads = std::min(threads, *cap);
  return std::max(1u, threads);
}

unsigned worker_threads(const std::string& root) {
  std::optional<unsigned> cap;
  if (const char* setting = std::getenv("VELMORA_NUM_THREADS")) cap = thread_cap(setting);
  return thread_budget(affinity_cpus(), cgroup_cpu_quota(root), cap);
}

size_t run_shared(std::span<const size_t> bounds, const std::function<void(size_t, size_t, size_t)>& work,
                  const ThreadStarter& start) {
  if (bounds.size() < 2) return 0;
  const size_t parts = bounds.size() - 1;
  std::vector<std::exception_ptr> errors(parts);
  auto guarded = [&](size_t t) {
    try {
      work(t, bounds[t], bounds[t + 1]);
    } catch (...) {
      errors[t] = std::current_exception();
    }
  };
  size_t started = 0;
  {
    std::vector<std::jthread> workers;
    workers.reserve(parts - 1);
    size_t t = 1;
    for (; t < parts; ++t) {
      std::function<void()> task = [&guarded, t] { guarded(t); };
      try {
        workers.push_back(start ? start(std::move(task)) : std::jthread(std::move(task)));
      } catch (const std::system_error&) {
        break;  // no more threads now: the caller does the rest
      }
    }
    started = workers.size();
    guarded(0);
    for (; t < parts; ++t) guarded(t);
  }  // joins the workers
  for (const auto& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  return started;
}

}  // namespace velmora::packed
