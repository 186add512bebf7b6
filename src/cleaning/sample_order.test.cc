#include "cleaning/sample_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <utility>
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
  EXPECT_EQ(layout.arrangement, Arrangement::kMerge);  // no positive step
  // a step of one nanosecond: a grid of 2^64 slots
  const Layout one_ns = arrange(first, start, SampleRate::seconds(1e-9), kNoLimit);
  ASSERT_EQ(one_ns.arrangement, Arrangement::kGrid);
  EXPECT_EQ(one_ns.segments.back().slot_begin, uint64_t{0} - 61);
  const std::vector<int64_t> on_grid{kT0 + 100'000'000 * kMinute, kT0 - 100'000'000 * kMinute};
  const Layout wide = arrange(first, on_grid, kPerMinute, kNoLimit);
  ASSERT_EQ(wide.arrangement, Arrangement::kGrid);
  EXPECT_EQ(wide.segments.back().slot_begin, 200'000'000u);
}

TEST(Arrange, StartsOffTheMinuteLieOnTheGridInPhaseOrder) {
  // row 0 one nanosecond into its minute, row 1 on the minute, row 2 twenty
  // seconds in, row 3 again one nanosecond in
  const auto first = first_of({3, 3, 2, 1});
  const std::vector<int64_t> start{kT0 + kMinute + 1, kT0, kT0 + 20'000'000'000, kT0 + 2 * kMinute + 1};
  const Layout layout = arrange(first, start, kPerMinute, kNoLimit);
  ASSERT_EQ(layout.arrangement, Arrangement::kGrid);
  EXPECT_EQ(layout.base, kT0);
  EXPECT_EQ(layout.phase, (std::vector<int64_t>{1, 0, 20'000'000'000, 1}));
  EXPECT_EQ(layout.slot, (std::vector<uint64_t>{1, 0, 0, 2}));
  // slot 0: rows 1 and 2; slot 1: rows 1, 0, 2; slot 2: rows 1, 0, 3; slot 3: row 0
  ASSERT_EQ(layout.segments.size(), 4u);
  const auto rows_of = [&](const Segment& s) {
    return std::vector<size_t>(layout.rows.begin() + static_cast<ptrdiff_t>(s.row_begin),
                               layout.rows.begin() + static_cast<ptrdiff_t>(s.row_end));
  };
  EXPECT_EQ(rows_of(layout.segments[0]), (std::vector<size_t>{1, 2}));
  EXPECT_EQ(rows_of(layout.segments[1]), (std::vector<size_t>{1, 0, 2}));
  EXPECT_EQ(rows_of(layout.segments[2]), (std::vector<size_t>{1, 0, 3}));
  EXPECT_EQ(rows_of(layout.segments[3]), (std::vector<size_t>{0}));
  // a fractional rate whose offsets are whole multiples of one step
  EXPECT_EQ(arrange(first, start, SampleRate::seconds(0.5), kNoLimit).arrangement, Arrangement::kGrid);
}

TEST(Arrange, InexactFractionsOrTooManySegmentRowsAreMerged) {
  const auto first = first_of({3, 3});
  const std::vector<int64_t> start{kT0 + kMinute, kT0 + 1};
  const Layout third = arrange(first, start, SampleRate::seconds(1.0 / 3), kNoLimit);
  EXPECT_EQ(third.arrangement, Arrangement::kMerge);
  EXPECT_EQ(third.start, start);
  EXPECT_EQ(third.untimed_out, 6u);
  // rows 0 and 1 overlap on slots 1..2: four segment rows in all
  const std::vector<int64_t> overlapping{kT0 + kMinute, kT0};
  EXPECT_EQ(arrange(first, overlapping, kPerMinute, 4).arrangement, Arrangement::kGrid);
  EXPECT_EQ(arrange(first, overlapping, kPerMinute, 3).arrangement, Arrangement::kMerge);
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

// Every sample of the rows, stably sorted by time: (row, position) pairs.
std::vector<std::pair<size_t, size_t>> sorted_samples(const std::vector<size_t>& first,
                                                      const std::vector<int64_t>& start, const SampleRate& rate) {
  std::vector<std::pair<size_t, size_t>> samples;
  for (size_t row = 0; row + 1 < first.size(); ++row) {
    if (start[row] == kNaT) continue;
    for (size_t k = 0; k < first[row + 1] - first[row]; ++k) samples.emplace_back(row, k);
  }
  std::stable_sort(samples.begin(), samples.end(), [&](const auto& a, const auto& b) {
    return start[a.first] + rate.offset_ns(static_cast<int64_t>(a.second)) <
           start[b.first] + rate.offset_ns(static_cast<int64_t>(b.second));
  });
  return samples;
}

// What TimeMerge::runs visits, sample by sample.
std::vector<std::pair<size_t, size_t>> merged_samples(const TimeMerge& merge, uint64_t from, uint64_t to) {
  std::vector<std::pair<size_t, size_t>> samples;
  merge.runs(from, to, [&](size_t row, size_t k, size_t n) {
    EXPECT_GT(n, 0u);
    for (size_t i = 0; i < n; ++i) samples.emplace_back(row, k + i);
  });
  return samples;
}

class RandomMerge : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomMerge, RunsInTheOrderOfAStableSortAndCutsShareThem) {
  std::mt19937_64 random(GetParam());
  for (const SampleRate& rate : {SampleRate::seconds(1.0 / 3), SampleRate::seconds(0.7),
                                 SampleRate::whole_seconds(60), SampleRate::whole_seconds(0)}) {
    std::vector<size_t> first{0};
    std::vector<int64_t> start;
    for (int row = 0; row < 60; ++row) {
      first.push_back(first.back() + 1 + random() % 50);
      // starts on few distinct times, so that many samples share a time
      start.push_back(random() % 10 == 0 ? kNaT : kT0 + static_cast<int64_t>(random() % 7) * 5'000'000'000);
    }
    const TimeMerge merge(first, start, rate);
    const auto want = sorted_samples(first, start, rate);
    EXPECT_EQ(merged_samples(merge, 0, time_key(kNaT)), want);
    EXPECT_EQ(merge.before(time_key(kNaT)), want.size());
    EXPECT_EQ(merge.before(0), 0u);
    for (unsigned parts : {2u, 3u, 8u}) {
      const std::vector<uint64_t> cuts = merge.cuts(parts);
      ASSERT_GE(cuts.size(), 2u);
      EXPECT_LE(cuts.size(), parts + 1);
      EXPECT_EQ(cuts.front(), 0u);
      EXPECT_EQ(cuts.back(), time_key(kNaT));
      EXPECT_TRUE(std::is_sorted(cuts.begin(), cuts.end()));
      // the ranges between the cuts, one after the other, are the whole merge,
      // each beginning at the position that before() gives its cut
      std::vector<std::pair<size_t, size_t>> joined;
      for (size_t t = 0; t + 1 < cuts.size(); ++t) {
        EXPECT_EQ(joined.size(), merge.before(cuts[t]));
        const auto part = merged_samples(merge, cuts[t], cuts[t + 1]);
        joined.insert(joined.end(), part.begin(), part.end());
      }
      EXPECT_EQ(joined, want);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomMerge, ::testing::Range(0u, 8u));

TEST(TimeMerge, CutsShareRowsThatDoNotOverlapAsWellAsOnesThatDo) {
  // three long rows one after the other: cuts fall inside rows
  const std::vector<size_t> first{0, 90'000, 180'000, 270'000};
  const std::vector<int64_t> start{kT0, kT0 + 30'000 * kMinute, kT0 + 60'000 * kMinute};
  const TimeMerge merge(first, start, SampleRate::seconds(1.0 / 3));
  const std::vector<uint64_t> cuts = merge.cuts(3);
  ASSERT_EQ(cuts.size(), 4u);
  for (size_t t = 1; t < 3; ++t) {
    const double at = static_cast<double>(merge.before(cuts[t]));
    EXPECT_NEAR(at, 90'000.0 * static_cast<double>(t), 1000.0) << t;
  }
  // no time to cut at: one range
  const std::vector<size_t> one{0, 5};
  const std::vector<int64_t> once{kT0};
  EXPECT_EQ(TimeMerge(one, once, SampleRate::whole_seconds(0)).cuts(4),
            (std::vector<uint64_t>{0, time_key(kNaT)}));
}

}  // namespace
}  // namespace velmora::packed
