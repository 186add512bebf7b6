// Splitting a packed column into samples.
//
// Turns a column of packed cells into one entry per sample: its source row,
// its time (or its offset from the start of the row) and its value. Large
// columns are shared among threads; the result does not depend on how many.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cleaning/buffer.h"
#include "cleaning/packed_text.h"
#include "cleaning/sample_times.h"

namespace velmora::packed {

// One cell of the packed column. A cell without text (missing, or not a
// string) yields one sample, without a time.
struct Cell {
  std::string_view text;
  bool has_text = false;
};

// How samples get their times: the k-th piece of a row lies k * rate after
// the row's start. Without row starts, `time` receives the offsets alone.
struct Stamp {
  SampleRate rate;
  std::optional<std::span<const int64_t>> row_start;  // ns since the epoch, kNaT for none
};

struct Samples {
  Buffer<size_t> first;   // index of the first sample of each row; one more entry: the total
  Buffer<int64_t> time;   // time, or offset, in ns; kNaT without one; empty without a stamp
  Buffer<float> value;    // NaN for a missing sample
  bool time_ordered = true;  // times ascending, kNaT last
  std::vector<size_t> undecided;                 // samples that read_piece left undecided
  std::vector<std::string_view> undecided_text;  // their text, in the same order
};

// The source row of every sample, from `first`.
Buffer<int64_t> sample_rows(std::span<const size_t> first);

// Splits every cell at single blanks (with `split` false a whole cell is one
// piece) and reads each piece. Samples are in row order, then position. Uses
// up to `threads` threads for large inputs (0: worker_threads()). Throws
// std::overflow_error when a time leaves the int64 range.
Samples split_cells(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
                    unsigned threads = 0);

}  // namespace velmora::packed
