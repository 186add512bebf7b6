// Where the samples of split rows go in the result.
//
// The result is in time order, stable (samples sharing a time keep the order
// of their rows and positions), the missing time last. Worked out from the
// rows alone (their starts and sample counts), before any text is parsed, so
// that every sample can be written straight to its place:
//  - rows whose samples are in time order already, one row after the other,
//    stay in row order;
//  - rows of a positive step of whole nanoseconds, which is what observation
//    tables of several stations hold, are merged by sweeping the grid of
//    that step from the earliest start: the sweep cuts it into segments over
//    which the same rows are present, and a segment holds, slot after slot,
//    one sample of each of its rows, in the order of the rows' phases (where
//    within a slot they start: stations whose rows begin at other seconds of
//    the minute), rows of one phase in row order;
//  - other rows whose samples go forward in time (a fractional rate whose
//    offsets are no whole multiples of one step) are merged row against row
//    by time (TimeMerge);
//  Neither holds anything per sample: the memory they need grows with the
//  rows only;
//  - rows that go back in time (a negative rate) are sorted once their
//    times are known.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cleaning/sample_times.h"

namespace velmora::packed {

enum class Arrangement {
  kRowOrder,  // the samples in row order are in time order
  kGrid,      // segments of the grid, then the rows without a time
  kMerge,     // the rows merged by time (TimeMerge), then the rows without a time
  kSort,      // sorted by time after filling
};

// Grid slots [slot_begin, slot_end) over which the rows rows[row_begin ..
// row_end) of Layout::rows are present; result positions from `out` on, slot
// after slot, each slot's samples in the order of those rows.
struct Segment {
  uint64_t slot_begin;
  uint64_t slot_end;
  size_t out;
  size_t row_begin;
  size_t row_end;

  size_t width() const { return row_end - row_begin; }
};

struct Layout {
  Arrangement arrangement = Arrangement::kRowOrder;

  // kGrid only.
  int64_t base = 0;             // time of slot 0
  int64_t step = 0;             // ns per slot
  std::vector<uint64_t> slot;   // per row: slot of its first sample (rows with a time)
  std::vector<int64_t> phase;   // per row: its times' distance from their slots; empty when all are 0
  std::vector<Segment> segments;
  std::vector<size_t> rows;     // the rows of every segment, segment after segment
  // kGrid and kMerge.
  std::vector<size_t> untimed;  // rows without a time, in row order, after the timed samples
  size_t untimed_out = 0;       // result position of the first of their samples

  // kMerge only: the start of every row (kNaT for the rows without a time).
  std::vector<int64_t> start;
};

// The layout of rows whose samples are first[r] .. first[r+1]-1, the k-th at
// start[r] + rate.offset_ns(k) (start[r] kNaT: every sample of the row
// without a time). The offsets of the last sample of each row are known not
// to overflow. Falls back to kMerge where a grid would need more segment rows
// than `max_segment_rows` (a bound on the layout's own size).
Layout arrange(std::span<const size_t> first, std::span<const int64_t> start, const SampleRate& rate,
               size_t max_segment_rows);

// The samples with a time of rows whose times go forward (a rate that is not
// negative), in the order of a stable sort by time: samples sharing a time in
// the order of their rows, a row's own in the order of their positions. The
// rows are merged as they are, with a heap of one entry per row: nothing is
// held per sample. Row r holds the samples first[r] .. first[r+1]-1, the k-th
// at start[r] + rate.offset_ns(k); a row whose start is kNaT takes no part.
// Every row's last time is known to fit in int64. Reads `first` and `start`
// until it is destroyed.
class TimeMerge {
 public:
  TimeMerge(std::span<const size_t> first, std::span<const int64_t> start, const SampleRate& rate);

  // The time of the k-th sample of `row`.
  int64_t time(size_t row, size_t k) const { return start_[row] + rate_.offset_ns(static_cast<int64_t>(k)); }

  // How many samples of `row`, or of all rows, lie before the time whose
  // sort key (time_key) is `key`.
  size_t before(size_t row, uint64_t key) const;
  size_t before(uint64_t key) const;

  // parts + 1 ascending sort keys that cut the samples into `parts` ranges
  // of about equal size (fewer where the times do not allow as many): from 0
  // to the key of the missing time, which no sample here has.
  std::vector<uint64_t> cuts(unsigned parts) const;

  // Calls run(row, k, count) for the samples whose keys lie in [from, to), in
  // result order: `count` samples of `row`, positions k, k + 1, ..., each
  // run at the result positions that follow the run before.
  template <typename Run>
  void runs(uint64_t from, uint64_t to, Run&& run) const;

 private:
  size_t count(size_t row) const { return first_[row + 1] - first_[row]; }
  uint64_t key(size_t row, size_t k) const { return time_key(time(row, k)); }

  std::span<const size_t> first_;
  std::span<const int64_t> start_;
  SampleRate rate_;
  std::vector<size_t> timed_;  // the rows with a start and samples, in row order
};

template <typename Run>
void TimeMerge::runs(uint64_t from, uint64_t to, Run&& run) const {
  struct Head {
    uint64_t key;  // of the row's next sample
    size_t row;
    size_t k;    // its position
    size_t end;  // the row's first position at or after `to`
  };
  // a min-heap on (key, row): the earlier sample first, of two at one time
  // the one of the earlier row
  const auto later = [](const Head& a, const Head& b) { return a.key != b.key ? a.key > b.key : a.row > b.row; };
  std::vector<Head> heap;
  for (const size_t row : timed_) {
    const size_t k = before(row, from), end = before(row, to);
    if (k < end) heap.push_back(Head{key(row, k), row, k, end});
  }
  std::make_heap(heap.begin(), heap.end(), later);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), later);
    Head& head = heap.back();
    // the row's samples up to the next sample of any other row
    size_t n = 1;
    if (heap.size() == 1) {
      n = head.end - head.k;
    } else {
      const Head& next = heap.front();
      for (; head.k + n < head.end; ++n) {
        const uint64_t k = key(head.row, head.k + n);
        if (k > next.key || (k == next.key && head.row > next.row)) break;
      }
    }
    run(head.row, head.k, n);
    head.k += n;
    if (head.k == head.end) {
      heap.pop_back();
    } else {
      head.key = key(head.row, head.k);
      std::push_heap(heap.begin(), heap.end(), later);
    }
  }
}

}  // namespace velmora::packed
