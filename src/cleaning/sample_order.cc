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

// The grid sweep; false when the segments would list more rows than
// `max_segment_rows`.
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
    if (const uint64_t phase = from_base % static_cast<uint64_t>(step); phase != 0) {
      if (out.phase.empty()) out.phase.assign(rows, 0);
      out.phase[row] = static_cast<int64_t>(phase);
    }
    out.slot[row] = from_base / static_cast<uint64_t>(step);
    by_start.push_back(row);
  }
  // Within a slot the samples lie in the order of their rows' phases, those
  // of one phase (one time) in row order.
  const auto earlier = [&](size_t a, size_t b) {
    if (!out.phase.empty() && out.phase[a] != out.phase[b]) return out.phase[a] < out.phase[b];
    return a < b;
  };
  // Each row's last sample has a time, so slot + count fits in uint64.
  auto end = [&](size_t row) { return out.slot[row] + count(row); };
  std::vector<size_t> by_end = by_start;
  std::stable_sort(by_start.begin(), by_start.end(), [&](size_t a, size_t b) { return out.slot[a] < out.slot[b]; });
  std::stable_sort(by_end.begin(), by_end.end(), [&](size_t a, size_t b) { return end(a) < end(b); });

  std::vector<size_t> active, starting, merged;  // rows, by phase and row
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
      std::sort(starting.begin(), starting.end(), earlier);
      merged.clear();
      std::merge(active.begin(), active.end(), starting.begin(), starting.end(), std::back_inserter(merged),
                 earlier);
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
  size_t longest = 0;
  for (size_t row = 0; row < start.size(); ++row) longest = std::max(longest, first[row + 1] - first[row]);
  const std::optional<int64_t> step = rate.exact_step_ns(longest);
  if (step && *step > 0) {
    out.arrangement = Arrangement::kGrid;
    if (sweep_grid(first, start, *step, max_segment_rows, out)) return out;
  }
  Layout merged;
  if (rate.descending()) {
    // Rows that go back in time would have to be read from their ends; no
    // observation table has them, and sorting serves.
    merged.arrangement = Arrangement::kSort;
    return merged;
  }
  merged.arrangement = Arrangement::kMerge;
  merged.start.assign(start.begin(), start.end());
  for (size_t row = 0; row < start.size(); ++row) {
    if (start[row] == kNaT) {
      merged.untimed.push_back(row);
    } else {
      merged.untimed_out += first[row + 1] - first[row];
    }
  }
  return merged;
}

TimeMerge::TimeMerge(std::span<const size_t> first, std::span<const int64_t> start, const SampleRate& rate)
    : first_(first), start_(start), rate_(rate) {
  for (size_t row = 0; row < start.size(); ++row) {
    if (start[row] != kNaT && count(row) > 0) timed_.push_back(row);
  }
}

size_t TimeMerge::before(size_t row, uint64_t key) const {
  // the row's keys ascend with k: the first k whose key is not below `key`
  size_t low = 0, high = count(row);
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (this->key(row, mid) < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

size_t TimeMerge::before(uint64_t key) const {
  size_t n = 0;
  for (const size_t row : timed_) n += before(row, key);
  return n;
}

std::vector<uint64_t> TimeMerge::cuts(unsigned parts) const {
  const uint64_t none = time_key(kNaT);
  std::vector<uint64_t> out{0};
  if (parts > 1 && !timed_.empty()) {
    // Each row's samples are spread evenly over its times (one rate), so
    // counts below a key are estimated row by row from its first and last
    // time alone; the exact positions are counted afterwards, for the cuts
    // only.
    struct Span {
      double first, last, count;
    };
    std::vector<Span> spans;
    uint64_t low = none, high = 0;
    double total = 0;
    for (const size_t row : timed_) {
      const uint64_t a = key(row, 0), b = key(row, count(row) - 1);
      spans.push_back({static_cast<double>(a), static_cast<double>(b), static_cast<double>(count(row))});
      low = std::min(low, a);
      high = std::max(high, b);
      total += static_cast<double>(count(row));
    }
    const auto estimate = [&](uint64_t at) {
      const double x = static_cast<double>(at);
      double n = 0;
      for (const Span& s : spans) {
        if (x > s.last) {
          n += s.count;
        } else if (x > s.first) {
          n += 1 + (x - s.first) / (s.last - s.first) * (s.count - 1);
        }
      }
      return n;
    };
    for (unsigned t = 1; t < parts; ++t) {
      const double target = total * t / parts;
      uint64_t a = low, b = high;  // the smallest key whose estimate reaches the target
      while (a < b) {
        const uint64_t mid = a + (b - a) / 2;
        if (estimate(mid) < target) {
          a = mid + 1;
        } else {
          b = mid;
        }
      }
      if (a > std::max(out.back(), low) && a <= high) out.push_back(a);  // no empty range
    }
  }
  out.push_back(none);
  return out;
}

}  // namespace velmora::packed
