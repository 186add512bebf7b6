#include "cleaning/time_sort.h"

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

#include "cleaning/sample_times.h"
#include "cleaning/split.h"

namespace velmora::packed {
namespace {

// Above this many rows overlapping at one time, keeping the overlapping rows
// in row order costs more than a radix sort.
constexpr size_t kMaxOverlap = 1024;

// The grid sweep; nullopt when the rows do not lie on one grid of `step`, the
// grid is far wider than there are samples, or too many rows overlap.
std::optional<TimeSorted> sweep_grid(const Buffer<int64_t>& time, const Buffer<float>& value,
                                     std::span<const size_t> first, int64_t step, bool with_rows) {
  if (step <= 0 || first.empty()) return std::nullopt;
  const size_t rows = first.size() - 1;
  const size_t n = first.back();
  auto count = [&](size_t row) { return first[row + 1] - first[row]; };
  auto timed = [&](size_t row) { return count(row) > 0 && time[first[row]] != kNaT; };

  int64_t base = std::numeric_limits<int64_t>::max();
  for (size_t row = 0; row < rows; ++row) {
    if (timed(row)) base = std::min(base, time[first[row]]);
  }
  const size_t limit = std::max<size_t>(4 * n, size_t{1} << 16);
  std::vector<size_t> slot(rows, 0);  // grid slot of each row's first sample
  std::vector<size_t> by_start, by_end;
  for (size_t row = 0; row < rows; ++row) {
    if (!timed(row)) continue;
    // Starts at both ends of the range lie more than INT64_MAX apart: the
    // distance is taken in uint64, where it always fits.
    const uint64_t from_base = static_cast<uint64_t>(time[first[row]]) - static_cast<uint64_t>(base);
    if (from_base % static_cast<uint64_t>(step) != 0) return std::nullopt;
    const uint64_t start = from_base / static_cast<uint64_t>(step);
    if (start >= limit || start + count(row) > limit) return std::nullopt;
    slot[row] = static_cast<size_t>(start);
    by_start.push_back(row);
    by_end.push_back(row);
  }
  std::stable_sort(by_start.begin(), by_start.end(), [&](size_t a, size_t b) { return slot[a] < slot[b]; });
  std::sort(by_end.begin(), by_end.end(),
            [&](size_t a, size_t b) { return slot[a] + count(a) < slot[b] + count(b); });

  TimeSorted out;
  out.time.resize(n);
  out.value.resize(n);
  if (with_rows) out.row.resize(n);
  size_t i = 0;
  auto emit = [&](int64_t t, size_t row, size_t sample) {
    out.time[i] = t;
    out.value[i] = value[sample];
    if (with_rows) out.row[i] = static_cast<int64_t>(row);
    ++i;
  };

  std::vector<size_t> active;  // the rows covering the current slot, in row order
  size_t next_start = 0, next_end = 0;
  for (size_t s = 0;; ++s) {
    while (next_end < by_end.size() && slot[by_end[next_end]] + count(by_end[next_end]) <= s) {
      active.erase(std::lower_bound(active.begin(), active.end(), by_end[next_end]));
      ++next_end;
    }
    if (active.empty()) {
      if (next_start == by_start.size()) break;
      s = slot[by_start[next_start]];  // over a gap of the grid
    }
    while (next_start < by_start.size() && slot[by_start[next_start]] == s) {
      const size_t row = by_start[next_start++];
      active.insert(std::lower_bound(active.begin(), active.end(), row), row);
    }
    if (active.size() > kMaxOverlap) return std::nullopt;
    // a sample's own time, though s * step alone may leave int64
    const auto t = static_cast<int64_t>(static_cast<uint64_t>(base) + s * static_cast<uint64_t>(step));
    for (const size_t row : active) emit(t, row, first[row] + (s - slot[row]));
  }
  for (size_t row = 0; row < rows; ++row) {
    if (timed(row)) continue;
    for (size_t sample = first[row]; sample < first[row + 1]; ++sample) emit(kNaT, row, sample);
  }
  return out;
}

}  // namespace

TimeSorted sort_by_time(Buffer<int64_t>&& time, Buffer<float>&& value, std::span<const size_t> first,
                        bool ordered, std::optional<int64_t> step, bool with_rows) {
  if (ordered) {
    TimeSorted out{std::move(time), std::move(value), {}};
    if (with_rows) out.row = sample_rows(first);
    return out;
  }
  if (step) {
    if (auto swept = sweep_grid(time, value, first, *step, with_rows)) return std::move(*swept);
  }
  const Buffer<int64_t> order = stable_time_order(time);
  TimeSorted out{gather<int64_t>(time, order), gather<float>(value, order), {}};
  if (with_rows) out.row = gather<int64_t>(sample_rows(first), order);
  return out;
}

}  // namespace velmora::packed
