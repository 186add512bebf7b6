// Time stamps of split samples and their order.
//
// Times are nanoseconds since the epoch in a signed 64-bit integer, the
// representation of numpy's datetime64[ns]; the smallest value is the missing
// time (NaT).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "cleaning/buffer.h"

namespace velmora::packed {

inline constexpr int64_t kNaT = std::numeric_limits<int64_t>::min();

// Sort key of a time: unsigned keys ascend as the times do, and the missing
// time has the largest key.
inline uint64_t time_key(int64_t t) {
  return t == kNaT ? std::numeric_limits<uint64_t>::max() : (static_cast<uint64_t>(t) ^ (uint64_t{1} << 63)) - 1;
}

// Seconds between two samples of a row, as given by the caller.
class SampleRate {
 public:
  static SampleRate whole_seconds(int64_t seconds);  // throws std::overflow_error
  static SampleRate seconds(double seconds);          // whole values behave as whole_seconds

  // Nanoseconds per sample for a whole number of seconds; nullopt otherwise.
  std::optional<int64_t> step_ns() const {
    return whole_ ? std::optional<int64_t>(ns_) : std::nullopt;
  }

  // Nanoseconds per sample where the offsets of the first `samples`
  // positions are whole multiples of it, as for every whole number of
  // seconds and for fractions such as 0.5 s; nullopt otherwise. Those
  // offsets are known to fit in int64.
  std::optional<int64_t> exact_step_ns(size_t samples) const;

  // Whether later samples of a row lie earlier than the first.
  bool descending() const { return whole_ ? ns_ < 0 : seconds_ < 0; }

  // Offset of the sample at `position` from the start of its row, in ns.
  // Throws std::overflow_error beyond the int64 range.
  int64_t offset_ns(int64_t position) const;

 private:
  bool whole_ = true;
  int64_t ns_ = 0;      // whole rates: nanoseconds per sample
  double seconds_ = 0;  // other rates
};

// Times counted in ticks of `ns_per_tick` nanoseconds (datetime64 of another
// unit: 1000 for microseconds), rewritten in place as nanoseconds; kNaT
// stays. Returns false, with `times` partly rewritten, when one leaves the
// int64 range of nanoseconds.
bool ticks_to_ns(std::span<int64_t> times, int64_t ns_per_tick);

// Times in nanoseconds rewritten in place as ticks of `ns_per_tick`; kNaT
// stays. Returns false, leaving `times` unchanged, when one is not a whole
// number of ticks.
bool ns_to_ticks(std::span<int64_t> times, int64_t ns_per_tick);

// Whether times are ascending with every kNaT at the end.
bool is_time_ordered(std::span<const int64_t> times);

// The permutation that sorts `times` ascending, kNaT last; equal times keep
// their order (stable). order[i] is the index in `times` of the i-th time.
Buffer<int64_t> stable_time_order(std::span<const int64_t> times);

// values[order[0]], values[order[1]], ...
template <typename T>
Buffer<T> gather(std::span<const T> values, std::span<const int64_t> order) {
  Buffer<T> out(order.size());
  for (size_t i = 0; i < order.size(); ++i) out[i] = values[static_cast<size_t>(order[i])];
  return out;
}

}  // namespace velmora::packed
