// Where the samples of split rows go in the result.
//
// The result is in time order, stable (samples sharing a time keep the order
// of their rows and positions), the missing time last. Worked out from the
// rows alone (their starts and sample counts), before any text is parsed, so
// that every sample can be written straight to its place:
//  - rows whose samples are in time order already, one row after the other,
//    stay in row order;
//  - rows of a whole, positive step whose starts lie on one grid of it, which
//    is what observation tables of several stations hold, are merged by
//    sweeping the grid: the sweep cuts it into segments over which the same
//    rows are present, and a segment holds, slot after slot, one sample of
//    each of its rows in row order;
//  - anything else must be sorted once its times are known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cleaning/sample_times.h"

namespace velmora::packed {

enum class Arrangement {
  kRowOrder,  // the samples in row order are in time order
  kGrid,      // segments of the grid, then the rows without a time
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
  std::vector<Segment> segments;
  std::vector<size_t> rows;     // the rows of every segment, segment after segment
  std::vector<size_t> untimed;  // rows without a time, in row order, after the segments
  size_t untimed_out = 0;       // result position of the first of their samples
};

// The layout of rows whose samples are first[r] .. first[r+1]-1, the k-th at
// start[r] + rate.offset_ns(k) (start[r] kNaT: every sample of the row
// without a time). The offsets of the last sample of each row are known not
// to overflow. Falls back to kSort where a grid would need more segment rows
// than `max_segment_rows` (a bound on the layout's own size).
Layout arrange(std::span<const size_t> first, std::span<const int64_t> start, const SampleRate& rate,
               size_t max_segment_rows);

}  // namespace velmora::packed
