// Samples of split rows put in time order.
//
// The order is stable (samples sharing a time keep the order of their rows
// and positions) with the missing time last. Rows of a fixed rate whose starts
// lie on one grid of that rate, which is what observation tables hold, are
// merged by sweeping the grid: every output buffer is written front to back
// and no permutation is materialised. Anything else is radix-sorted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "cleaning/buffer.h"

namespace velmora::packed {

struct TimeSorted {
  Buffer<int64_t> time;
  Buffer<float> value;
  Buffer<int64_t> row;  // source row of each sample; empty unless asked for
};

// `time` and `value` per sample, row r holding the samples first[r] ..
// first[r+1]-1, the k-th at time start + k * step when the row has a start
// (every time kNaT otherwise). `ordered`: the times are known to be in order
// already. `step`: nanoseconds per sample when a whole, positive number.
TimeSorted sort_by_time(Buffer<int64_t>&& time, Buffer<float>&& value, std::span<const size_t> first,
                        bool ordered, std::optional<int64_t> step, bool with_rows);

}  // namespace velmora::packed
