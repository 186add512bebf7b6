#include "cleaning/sample_order.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace velmora::packed {
namespace {

constexpr int64_t kMinute = 60'000'000'000;
constexpr int64_t kT0 = 1'230'768'000'000'000'000;
constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

// `first` of rows with these sample counts.
std::vector<size_t> first_of(std::initializer_list<size_t> counts) {
  std::vector<size_t> first{0};
  for (size_t c : counts) first.push_back(first.back() + c);
  return first;
}

const SampleRate kPerMinute = SampleRate::whole_seconds(60);

TEST(Arrange, RowsInTimeOrderStayInRowOrder) {
  const auto first = first_of({3, 2, 1, 1});
  // the second row begins at the last time of the first; rows without a time last
  const std::vector<int64_t> start{kT0, kT0 + 2 * kMinute, kNaT, kNaT};
  EXPECT_EQ(arrange(first, start, kPerMinute, kNoLimit).arrangement, Arrangement::kRowOrder);
  EXPECT_EQ(arrange(first, start, SampleRate::seconds(30.5), kNoLimit).arrangement, Arrangement::kRowOrder);
  EXPECT_EQ(arrange(first, start, SampleRate::whole_seconds(0), kNoLimit).arrangement, Arrangement::kRowOrder);
}

TEST(Arrange, AnyStepBackIsNoRowOrder) {
  const auto first = first_of({3, 2});
  for (const std::vector<int64_t>& start : {std::vector<int64_t>{kT0, kT0 + kMinute},  // overlap
                                            std::vector<int64_t>{kNaT, kT0},          // no time first
                                            std::vector<int64_t>{kT0 + 9 * kMinute, kT0}}) {
    EXPECT_NE(arrange(first, start, kPerMinute, kNoLimit).arrangement, Arrangement::kRowOrder);
  }
  // a negative rate: each row goes back in time
  const std::vector<int64_t> apart{kT0, kT0 + 100 * kMinute};
  EXPECT_EQ(arrange(first, apart, SampleRate::whole_seconds(-60), kNoLimit).arrangement, Arrangement::kSort);
  EXPECT_EQ(arrange(first_of({1, 1}), apart, SampleRate::whole_seconds(-60), kNoLimit).arrangement,
            Arrangement::kRowOrder);
}

TEST(Arrange, SegmentsOfTheGrid) {
  // row 0: slots 2..5, row 1: slots 0..1, row 2: untimed, row 3: slots 1..3, row 4: slot 1
  const auto first = first_of({4, 2, 1, 3, 1});
  const std::vector<int64_t> start{kT0 + 2 * kMinute, kT0, kNaT, kT0 + kMinute, kT0 + kMinute};
  const Layout layout = arrange(first, start, kPerMinute, kNoLimit);
  ASSERT_EQ(layout.arrangement, Arrangement::kGrid);
  EXPECT_EQ(layout.base, kT0);
  EXPECT_EQ(layout.step, kMinute);
  struct Want {
    uint64_t begin, end;
    size_t out;
    std::vector<size_t> rows;
  };
  const std::vector<Want> want{{0, 1, 0, {1}}, {1, 2, 1, {1, 3, 4}}, {2, 4, 4, {0, 3}}, {4, 6, 8, {0}}};
  ASSERT_EQ(layout.segments.size(), want.size());
  for (size_t g = 0; g < want.size(); ++g) {
    const Segment& s = layout.segments[g];
    EXPECT_EQ(s.slot_begin, want[g].begin) << g;
    EXPECT_EQ(s.slot_end, want[g].end) << g;
    EXPECT_EQ(s.out, want[g].out) << g;
    EXPECT_EQ(std::vector<size_t>(layout.rows.begin() + static_cast<ptrdiff_t>(s.row_begin),
                                  layout.rows.begin() + static_cast<ptrdiff_t>(s.row_end)),
              want[g].rows)
        << g;
  }
  EXPECT_EQ(layout.untimed, (std::vector<size_t>{2}));
  EXPECT_EQ(layout.untimed_out, 10u);
}

TEST(Arrange, GapsOfTheGridAreSkipped) {
  const auto first = first_of({2, 2});
  const std::vector<int64_t> start{kT0 + 1'000'000 * kMinute, kT0};
  const Layout layout = arrange(first, start, kPerMinute, kNoLimit);
  ASSERT_EQ(layout.arrangement, Arrangement::kGrid);
  ASSERT_EQ(layout.segments.size(), 2u);
  EXPECT_EQ(layout.segments[1].slot_begin, 1'000'000u);
  EXPECT_EQ(layout.segments[1].out, 2u);
}

TEST(Arrange, StartsAtBothEndsOfTheTimeRange) {
  // further apart than the largest signed 64-bit span
  const auto first = first_of({1, 1});
  const std::vector<int64_t> start{std::numeric_limits<int64_t>::max() - 59, std::numeric_limits<int64_t>::min() + 1};
  const Layout layout = arrange(first, start, SampleRate::whole_seconds(0) /* unused */, kNoLimit);
  EXPECT_EQ(layout.arrangement, Arrangement::kSort);  // no positive step
  const Layout one_ns = arrange(first, start, SampleRate::seconds(1e-9), kNoLimit);
  EXPECT_EQ(one_ns.arrangement, Arrangement::kSort);  // not a whole number of seconds
  const std::vector<int64_t> on_grid{kT0 + 100'000'000 * kMinute, kT0 - 100'000'000 * kMinute};
  const Layout wide = arrange(first, on_grid, kPerMinute, kNoLimit);
  ASSERT_EQ(wide.arrangement, Arrangement::kGrid);
  EXPECT_EQ(wide.segments.back().slot_begin, 200'000'000u);
}

TEST(Arrange, OffTheGridOrTooManySegmentRowsIsSorted) {
  const auto first = first_of({3, 3});
  EXPECT_EQ(arrange(first, std::vector<int64_t>{kT0 + kMinute, kT0 + 1}, kPerMinute, kNoLimit).arrangement,
            Arrangement::kSort);
  // rows 0 and 1 overlap on slots 1..2: four segment rows in all
  const std::vector<int64_t> overlapping{kT0 + kMinute, kT0};
  EXPECT_EQ(arrange(first, overlapping, kPerMinute, 4).arrangement, Arrangement::kGrid);
  EXPECT_EQ(arrange(first, overlapping, kPerMinute, 3).arrangement, Arrangement::kSort);
}

TEST(Arrange, ManyRowsAtOneTime) {
  // every row of one slot: one segment listing all of them, in row order
  std::vector<size_t> first{0};
  std::vector<int64_t> start;
  for (int row = 0; row < 5000; ++row) {
    first.push_back(first.back() + 1);
    start.push_back(row % 2 ? kT0 : kT0 + kMinute);
  }
  const Layout layout = arrange(first, start, kPerMinute, kNoLimit);
  ASSERT_EQ(layout.arrangement, Arrangement::kGrid);
  ASSERT_EQ(layout.segments.size(), 2u);
  EXPECT_EQ(layout.segments[0].width(), 2500u);
  EXPECT_EQ(layout.rows[0], 1u);
  EXPECT_EQ(layout.rows[2500], 0u);
}

}  // namespace
}  // namespace velmora::packed
