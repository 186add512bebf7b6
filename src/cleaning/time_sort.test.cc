#include "cleaning/time_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "cleaning/sample_times.h"
#include "cleaning/split.h"

namespace velmora::packed {
namespace {

constexpr int64_t kMinute = 60'000'000'000;

struct Layout {
  Buffer<int64_t> time;
  Buffer<float> value;
  std::vector<size_t> first{0};
};

// Rows as split_cells lays them out: each row one run of `step`, some rows
// without a time, starts on a grid of `grid`.
Layout random_rows(unsigned seed, int rows, int64_t step, int64_t grid) {
  std::mt19937_64 random(seed);
  Layout out;
  for (int row = 0; row < rows; ++row) {
    const size_t count = 1 + random() % 40;
    const bool untimed = random() % 9 == 0;
    const int64_t start = 1'230'768'000'000'000'000 + static_cast<int64_t>(random() % 60) * grid;
    for (size_t k = 0; k < count; ++k) {
      out.time.push_back(untimed ? kNaT : start + static_cast<int64_t>(k) * step);
      out.value.push_back(static_cast<float>(row * 1000 + static_cast<int>(k)));
    }
    out.first.push_back(out.time.size());
  }
  return out;
}

// What a stable sort by time gives, as the expected result.
TimeSorted by_stable_sort(const Layout& in) {
  const Buffer<int64_t> order = stable_time_order(in.time);
  return {gather<int64_t>(in.time, order), gather<float>(in.value, order),
          gather<int64_t>(sample_rows(in.first), order)};
}

void expect_same(const TimeSorted& got, const TimeSorted& want) {
  EXPECT_EQ(got.time, want.time);
  EXPECT_EQ(got.row, want.row);
  ASSERT_EQ(got.value.size(), want.value.size());
  EXPECT_EQ(std::memcmp(got.value.data(), want.value.data(), got.value.size() * sizeof(float)), 0);
}

class SortByTime : public ::testing::TestWithParam<unsigned> {};

TEST_P(SortByTime, GridSweepEqualsTheStableSort) {
  Layout in = random_rows(GetParam(), 80, kMinute, kMinute);
  const TimeSorted want = by_stable_sort(in);
  expect_same(sort_by_time(std::move(in.time), std::move(in.value), in.first, false, kMinute, true), want);
}

TEST_P(SortByTime, OffGridStartsAreSortedAsWell) {
  Layout in = random_rows(GetParam(), 80, kMinute, kMinute / 7);
  const TimeSorted want = by_stable_sort(in);
  expect_same(sort_by_time(std::move(in.time), std::move(in.value), in.first, false, kMinute, true), want);
}

TEST_P(SortByTime, WithoutAStepTheRadixSortOrders) {
  Layout in = random_rows(GetParam(), 80, kMinute, kMinute);
  const TimeSorted want = by_stable_sort(in);
  expect_same(sort_by_time(std::move(in.time), std::move(in.value), in.first, false, std::nullopt, true), want);
}

INSTANTIATE_TEST_SUITE_P(Seeds, SortByTime, ::testing::Range(0u, 16u));

TEST(SortByTime, OrderedInputIsKept) {
  Layout in = random_rows(3, 1, kMinute, kMinute);
  const Buffer<int64_t> time = in.time;
  const TimeSorted out = sort_by_time(std::move(in.time), std::move(in.value), in.first, true, kMinute, false);
  EXPECT_EQ(out.time, time);
  EXPECT_TRUE(out.row.empty());
}

TEST(SortByTime, ManyOverlappingRowsAndWideGaps) {
  Layout in;
  for (int row = 0; row < 3000; ++row) {  // more rows at one time than the sweep keeps
    in.time.push_back(row % 2 ? kMinute : 0);
    in.value.push_back(static_cast<float>(row));
    in.first.push_back(in.time.size());
  }
  in.time.push_back(int64_t{1} << 61);  // far beyond the others: a sparse grid
  in.value.push_back(-1.0f);
  in.first.push_back(in.time.size());
  const TimeSorted want = by_stable_sort(in);
  expect_same(sort_by_time(std::move(in.time), std::move(in.value), in.first, false, kMinute, true), want);
}

}  // namespace
}  // namespace velmora::packed
