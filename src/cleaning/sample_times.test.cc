#include "cleaning/sample_times.h"

#include <gtest/gtest.h>

#include <limits>

#include <algorithm>
#include <random>
#include <vector>
#include <stdexcept>


namespace velmora::packed {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

TEST(SampleRate, WholeSecondsGiveExactOffsets) {
  EXPECT_EQ(SampleRate::whole_seconds(1).offset_ns(5), 5 * kSecond);
  EXPECT_EQ(SampleRate::whole_seconds(60).offset_ns(3), 180 * kSecond);
  EXPECT_EQ(SampleRate::whole_seconds(600).offset_ns(2), 1200 * kSecond);
  EXPECT_EQ(SampleRate::seconds(3600.0).offset_ns(2), 7200 * kSecond);
  EXPECT_EQ(SampleRate::whole_seconds(60).offset_ns(0), 0);
}

TEST(SampleRate, FractionalSecondsRoundToNanoseconds) {
  EXPECT_EQ(SampleRate::seconds(0.5).offset_ns(3), 1'500'000'000);
  EXPECT_EQ(SampleRate::seconds(0.1).offset_ns(3), 300'000'000);
}

TEST(SampleRate, OverflowIsAnError) {
  EXPECT_THROW(SampleRate::whole_seconds(int64_t{1} << 40), std::overflow_error);
  EXPECT_THROW(SampleRate::whole_seconds(3600).offset_ns(int64_t{1} << 40), std::overflow_error);
  EXPECT_THROW(SampleRate::seconds(std::numeric_limits<double>::infinity()), std::invalid_argument);
}

template <typename V>
std::vector<int64_t> as_vector(const V& values) {
  return std::vector<int64_t>(values.begin(), values.end());
}

TEST(TimeOrder, SortedInputNeedsNoOrder) {
  EXPECT_TRUE(is_time_ordered(std::vector<int64_t>{1, 2, 2, 5, kNaT, kNaT}));
  EXPECT_FALSE(is_time_ordered(std::vector<int64_t>{1, kNaT, 2}));
  EXPECT_FALSE(is_time_ordered(std::vector<int64_t>{2, 1}));
  EXPECT_TRUE(is_time_ordered(std::vector<int64_t>{}));
}

// The order must equal a stable sort with the missing time last, for small
// inputs (comparison sort) and large ones (radix sort), negative times included.
class StableOrder : public ::testing::TestWithParam<size_t> {};

TEST_P(StableOrder, MatchesAStableSort) {
  std::mt19937_64 random(GetParam());
  std::vector<int64_t> times(GetParam());
  for (auto& t : times) {
    const auto pick = random() % 10;
    if (pick == 0) {
      t = kNaT;
    } else if (pick == 1) {
      t = -static_cast<int64_t>(random() % 1000) * kSecond;  // before 1970
    } else {
      t = 1'600'000'000 * kSecond + static_cast<int64_t>(random() % 5000) * 60 * kSecond;
    }
  }
  std::vector<int64_t> expected(times.size());
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int64_t>(i);
  std::stable_sort(expected.begin(), expected.end(), [&](int64_t a, int64_t b) {
    const int64_t ta = times[a], tb = times[b];
    if (ta == kNaT) return false;
    if (tb == kNaT) return true;
    return ta < tb;
  });
  const auto order = stable_time_order(times);
  EXPECT_EQ(as_vector(order), expected);
  const auto sorted = gather<int64_t>(times, order);
  EXPECT_TRUE(is_time_ordered(sorted));
}

TEST(TimeUnits, TicksToNanosecondsAndBack) {
  const int64_t us = 1000;
  std::vector<int64_t> times{kNaT, 0, -1, 1'230'768'000'000'000, kNaT};
  ASSERT_TRUE(ticks_to_ns(times, us));
  EXPECT_EQ(times, (std::vector<int64_t>{kNaT, 0, -1000, 1'230'768'000'000'000'000, kNaT}));
  ASSERT_TRUE(ns_to_ticks(times, us));
  EXPECT_EQ(times, (std::vector<int64_t>{kNaT, 0, -1, 1'230'768'000'000'000, kNaT}));
  // seconds: the identity for ns
  std::vector<int64_t> same{5, kNaT};
  EXPECT_TRUE(ticks_to_ns(same, 1));
  EXPECT_TRUE(ns_to_ticks(same, 1));
  EXPECT_EQ(same, (std::vector<int64_t>{5, kNaT}));
}

TEST(TimeUnits, BeyondNanosecondsOrBetweenTicks) {
  // year 2300 in microseconds has no nanosecond form in int64
  std::vector<int64_t> far{10'413'792'000'000'000};
  EXPECT_FALSE(ticks_to_ns(far, 1000));
  std::vector<int64_t> low{std::numeric_limits<int64_t>::min() / 1000 - 1};
  EXPECT_FALSE(ticks_to_ns(low, 1000));
  // a sample at .9 s is no whole number of seconds: nothing is rewritten
  std::vector<int64_t> fine{1'000'000'000, 900'000'000};
  EXPECT_FALSE(ns_to_ticks(fine, 1'000'000'000));
  EXPECT_EQ(fine, (std::vector<int64_t>{1'000'000'000, 900'000'000}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, StableOrder, ::testing::Values(0, 1, 17, 4095, 4096, 100000));

}  // namespace
}  // namespace velmora::packed
