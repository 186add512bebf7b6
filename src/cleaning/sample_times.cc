#include "cleaning/sample_times.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace velmora::packed {
namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;

[[noreturn]] void overflow() { throw std::overflow_error("Overflow in int64 addition"); }

}  // namespace

SampleRate SampleRate::whole_seconds(int64_t seconds) {
  SampleRate rate;
  if (__builtin_mul_overflow(seconds, kNsPerSecond, &rate.ns_)) overflow();
  return rate;
}

SampleRate SampleRate::seconds(double seconds) {
  if (std::isfinite(seconds) && seconds == std::trunc(seconds) && std::fabs(seconds) < 0x1p53) {
    return whole_seconds(static_cast<int64_t>(seconds));
  }
  if (!std::isfinite(seconds)) throw std::invalid_argument("the sampling interval must be finite");
  SampleRate rate;
  rate.whole_ = false;
  rate.seconds_ = seconds;
  return rate;
}

int64_t SampleRate::offset_ns(int64_t position) const {
  int64_t ns;
  if (whole_) {
    if (__builtin_mul_overflow(position, ns_, &ns)) overflow();
    return ns;
  }
  // Whole seconds and the fraction apart, the fraction rounded to whole
  // nanoseconds, as pandas converts float seconds.
  const double total = static_cast<double>(position) * seconds_;
  if (!(std::fabs(total) < 0x1p63 / kNsPerSecond)) overflow();
  const auto whole = static_cast<int64_t>(total);
  const double fraction = std::nearbyint((total - static_cast<double>(whole)) * 1e9) / 1e9;
  return whole * kNsPerSecond + static_cast<int64_t>(fraction * 1e9);
}

bool ticks_to_ns(std::span<int64_t> times, int64_t ns_per_tick) {
  if (ns_per_tick == 1) return true;
  for (int64_t& t : times) {
    if (t == kNaT) continue;
    if (__builtin_mul_overflow(t, ns_per_tick, &t) || t == kNaT) return false;
  }
  return true;
}

bool ns_to_ticks(std::span<int64_t> times, int64_t ns_per_tick) {
  if (ns_per_tick == 1) return true;
  for (const int64_t t : times) {
    if (t != kNaT && t % ns_per_tick != 0) return false;
  }
  for (int64_t& t : times) {
    if (t != kNaT) t /= ns_per_tick;
  }
  return true;
}

std::optional<int64_t> SampleRate::exact_step_ns(size_t samples) const {
  if (whole_) return ns_;
  const double ns = std::nearbyint(seconds_ * 1e9);
  if (!(std::fabs(ns) < 0x1p62)) return std::nullopt;
  const auto step = static_cast<int64_t>(ns);
  for (size_t k = 0; k < samples; ++k) {
    int64_t at;
    if (__builtin_mul_overflow(static_cast<int64_t>(k), step, &at) || offset_ns(static_cast<int64_t>(k)) != at) {
      return std::nullopt;
    }
  }
  return step;
}

bool is_time_ordered(std::span<const int64_t> times) {
  for (size_t i = 1; i < times.size(); ++i) {
    if (time_key(times[i]) < time_key(times[i - 1])) return false;
  }
  return true;
}

Buffer<int64_t> stable_time_order(std::span<const int64_t> times) {
  const size_t n = times.size();
  Buffer<int64_t> order(n);
  std::iota(order.begin(), order.end(), int64_t{0});
  if (n < 4096) {
    std::stable_sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
      return time_key(times[static_cast<size_t>(a)]) < time_key(times[static_cast<size_t>(b)]);
    });
    return order;
  }

  // LSD radix sort on 16-bit digits; a digit that is the same for every key
  // needs no pass. Each pass is stable, so equal keys keep their order.
  constexpr int kDigits = 4;
  constexpr size_t kBuckets = size_t{1} << 16;
  Buffer<uint64_t> keys(n);
  std::vector<std::array<size_t, kBuckets>> counts(kDigits);
  for (auto& c : counts) c.fill(0);
  for (size_t i = 0; i < n; ++i) {
    keys[i] = time_key(times[i]);
    for (int d = 0; d < kDigits; ++d) ++counts[d][(keys[i] >> (16 * d)) & 0xffff];
  }

  Buffer<uint64_t> keys_next(n);
  Buffer<int64_t> order_next(n);
  for (int d = 0; d < kDigits; ++d) {
    auto& count = counts[d];
    if (std::any_of(count.begin(), count.end(), [n](size_t c) { return c == n; })) continue;
    size_t sum = 0;
    for (size_t& c : count) {
      const size_t here = c;
      c = sum;
      sum += here;
    }
    for (size_t i = 0; i < n; ++i) {
      const size_t slot = count[(keys[i] >> (16 * d)) & 0xffff]++;
      keys_next[slot] = keys[i];
      order_next[slot] = order[i];
    }
    keys.swap(keys_next);
    order.swap(order_next);
  }
  return order;
}

}  // namespace velmora::packed
