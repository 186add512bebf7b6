#include "cleaning/sample_order.h"

#include <algorithm>
#include <limits>

namespace velmora::packed {
namespace {

// Whether the samples in row order are in time order.
bool in_row_order(std::span<const size_t> first, std::span<const int64_t> start, const SampleRate& rate) {
  uint64_t last_key = 0;
  for (size_t row = 0; row < start.size(); ++row) {
    const size_t count = first[row + 1] - first[row];
    uint64_t first_key = time_key(kNaT), row_last_key = first_key;
    if (start[row] != kNaT) {
      if (count > 1 && rate.descending()) return false;
      first_key = time_key(start[row]);
      row_last_key = time_key(start[row] + rate.offset_ns(static_cast<int64_t>(count) - 1));
    }
    if (first_key < last_key) return false;
    last_key = row_last_key;
  }
  return true;
}

// The grid sweep; false when the rows do not lie on one grid of `step`, or
// the segments would list more rows than `max_segment_rows`.
bool sweep_grid(std::span<const size_t> first, std::span<const int64_t> start, int64_t step,
                size_t max_segment_rows, Layout& out) {
  const size_t rows = start.size();
  auto count = [&](size_t row) { return static_cast<uint64_t>(first[row + 1] - first[row]); };

  int64_t base = std::numeric_limits<int64_t>::max();
  for (size_t row = 0; row < rows; ++row) {
    if (start[row] != kNaT) base = std::min(base, start[row]);
  }
  out.slot.assign(rows, 0);
  std::vector<size_t> by_start;
  for (size_t row = 0; row < rows; ++row) {
    if (start[row] == kNaT) {
      out.untimed.push_back(row);
      continue;
    }
    // Starts at both ends of the range lie more than INT64_MAX apart: the
    // distance is taken in uint64, where it always fits.
    const uint64_t from_base = static_cast<uint64_t>(start[row]) - static_cast<uint64_t>(base);
    if (from_base % static_cast<uint64_t>(step) != 0) return false;
    out.slot[row] = from_base / static_cast<uint64_t>(step);
    by_start.push_back(row);
  }
  // Each row's last sample has a time, so slot + count fits in uint64.
  auto end = [&](size_t row) { return out.slot[row] + count(row); };
  std::vector<size_t> by_end = by_start;
  std::stable_sort(by_start.begin(), by_start.end(), [&](size_t a, size_t b) { return out.slot[a] < out.slot[b]; });
  std::stable_sort(by_end.begin(), by_end.end(), [&](size_t a, size_t b) { return end(a) < end(b); });

  std::vector<size_t> active, starting, merged;  // rows, ascending
  std::vector<char> ending(rows, 0);
  size_t next_start = 0, next_end = 0, out_at = 0, listed = 0;
  uint64_t at = 0;
  while (true) {
    // the rows that end at `at` leave, all at once
    bool left = false;
    while (next_end < by_end.size() && end(by_end[next_end]) <= at) {
      ending[by_end[next_end++]] = 1;
      left = true;
    }
    if (left) {
      std::erase_if(active, [&](size_t row) { return ending[row] != 0; });
    }
    if (active.empty()) {
      if (next_start == by_start.size()) break;
      at = out.slot[by_start[next_start]];  // over a gap of the grid
    }
    // the rows that start at `at` join, all at once
    starting.clear();
    while (next_start < by_start.size() && out.slot[by_start[next_start]] == at) {
      starting.push_back(by_start[next_start++]);
    }
    if (!starting.empty()) {
      std::sort(starting.begin(), starting.end());
      merged.clear();
      std::merge(active.begin(), active.end(), starting.begin(), starting.end(), std::back_inserter(merged));
      active.swap(merged);
    }
    uint64_t next = std::numeric_limits<uint64_t>::max();
    if (next_start < by_start.size()) next = out.slot[by_start[next_start]];
    if (next_end < by_end.size()) next = std::min(next, end(by_end[next_end]));
    listed += active.size();
    if (listed > max_segment_rows) return false;
    out.segments.push_back(Segment{at, next, out_at, out.rows.size(), out.rows.size() + active.size()});
    out.rows.insert(out.rows.end(), active.begin(), active.end());
    out_at += static_cast<size_t>(next - at) * active.size();
    at = next;
  }
  out.untimed_out = out_at;
  out.base = base;
  out.step = step;
  return true;
}

}  // namespace

Layout arrange(std::span<const size_t> first, std::span<const int64_t> start, const SampleRate& rate,
               size_t max_segment_rows) {
  Layout out;
  if (in_row_order(first, start, rate)) return out;
  const std::optional<int64_t> step = rate.step_ns();
  if (step && *step > 0) {
    out.arrangement = Arrangement::kGrid;
    if (sweep_grid(first, start, *step, max_segment_rows, out)) return out;
  }
  Layout sorted;
  sorted.arrangement = Arrangement::kSort;
  return sorted;
}

}  // namespace velmora::packed
