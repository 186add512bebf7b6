#include "cleaning/split.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velmora::packed {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

template <typename V>
auto as_vector(const V& values) {
  return std::vector<typename V::value_type>(values.begin(), values.end());
}

std::vector<Cell> text_cells(std::initializer_list<const char*> texts) {
  std::vector<Cell> cells;
  for (const char* t : texts) cells.push_back(t == nullptr ? Cell{} : Cell{std::string_view(t), true});
  return cells;
}

TEST(SplitCells, OneSamplePerPieceWithItsRow) {
  const auto cells = text_cells({"1.5 NULL 2.25", nullptr, "", "7  8 "});
  const Samples s = split_cells(cells, true, std::nullopt);
  EXPECT_EQ(as_vector(sample_rows(s.first)), (std::vector<int64_t>{0, 0, 0, 1, 2, 3, 3, 3, 3}));
  EXPECT_EQ(as_vector(s.first), (std::vector<size_t>{0, 3, 4, 5, 9}));
  EXPECT_TRUE(s.time.empty());
  ASSERT_EQ(s.value.size(), 9u);
  EXPECT_EQ(s.value[0], 1.5f);
  EXPECT_TRUE(std::isnan(s.value[1]));
  EXPECT_EQ(s.value[2], 2.25f);
  EXPECT_TRUE(std::isnan(s.value[3]));  // no text
  EXPECT_TRUE(std::isnan(s.value[4]));  // empty text: one empty piece
  EXPECT_EQ(s.value[5], 7.0f);
  EXPECT_TRUE(std::isnan(s.value[6]));  // two blanks: an empty piece between them
  EXPECT_EQ(s.value[7], 8.0f);
  EXPECT_TRUE(std::isnan(s.value[8]));  // trailing blank
  EXPECT_TRUE(s.undecided.empty());
}

TEST(SplitCells, StampsTimesFromRowStarts) {
  const auto cells = text_cells({"1 2 3", nullptr, "4 5"});
  const std::vector<int64_t> start{100 * kSecond, 0, kNaT};
  const Samples s = split_cells(cells, true, Stamp{SampleRate::whole_seconds(600), start});
  EXPECT_EQ(as_vector(s.time),
            (std::vector<int64_t>{100 * kSecond, 700 * kSecond, 1300 * kSecond, kNaT, kNaT, kNaT}));
  EXPECT_TRUE(s.time_ordered);
}

TEST(SplitCells, StampsOffsetsWithoutRowStarts) {
  const auto cells = text_cells({"1 2", nullptr});
  const Samples s = split_cells(cells, true, Stamp{SampleRate::whole_seconds(60), std::nullopt});
  EXPECT_EQ(as_vector(s.time), (std::vector<int64_t>{0, 60 * kSecond, kNaT}));
}

TEST(SplitCells, NoticesTimesOutOfOrder) {
  const auto cells = text_cells({"1 2", "3"});
  const std::vector<int64_t> later_first{100 * kSecond, 50 * kSecond};
  EXPECT_FALSE(split_cells(cells, true, Stamp{SampleRate::whole_seconds(1), later_first}).time_ordered);
  const std::vector<int64_t> missing_first{kNaT, 50 * kSecond};
  EXPECT_FALSE(split_cells(cells, true, Stamp{SampleRate::whole_seconds(1), missing_first}).time_ordered);
}

TEST(SplitCells, TimeOverflowIsAnError) {
  const auto cells = text_cells({"1 2"});
  const std::vector<int64_t> start{std::numeric_limits<int64_t>::max() - 5};
  EXPECT_THROW(split_cells(cells, true, Stamp{SampleRate::whole_seconds(1), start}), std::overflow_error);
}

TEST(SplitCells, ReportsUndecidedPiecesWithTheirText) {
  const auto cells = text_cells({"1 inf 2", "x"});
  const Samples s = split_cells(cells, true, std::nullopt);
  EXPECT_EQ(s.undecided, (std::vector<size_t>{1, 3}));
  ASSERT_EQ(s.undecided_text.size(), 2u);
  EXPECT_EQ(s.undecided_text[0], "inf");
  EXPECT_EQ(s.undecided_text[1], "x");
}

TEST(SplitCells, WithoutSplittingACellIsOnePiece) {
  const auto cells = text_cells({"1 2", "3", nullptr});
  const Samples s = split_cells(cells, false, std::nullopt);
  EXPECT_EQ(as_vector(sample_rows(s.first)), (std::vector<int64_t>{0, 1, 2}));
  EXPECT_EQ(s.undecided, (std::vector<size_t>{0}));
  EXPECT_EQ(s.value[1], 3.0f);
}

// However the rows are shared among threads, the samples are the same,
// including the order check across the boundaries between threads.
class Threads : public ::testing::TestWithParam<unsigned> {};

TEST_P(Threads, GiveTheSameSamples) {
  std::vector<std::string> texts;
  std::vector<int64_t> start;
  for (int row = 0; row < 400; ++row) {
    std::string text;
    for (int i = 0; i < 1440; ++i) {
      if (i) text += ' ';
      text += (i + row) % 97 == 0 ? (row % 2 ? "NULL" : "inf") : std::to_string(row + i) + ".5";
    }
    texts.push_back(text);
    start.push_back(row * 86400 * kSecond);
  }
  std::vector<Cell> cells;
  for (const auto& t : texts) cells.push_back(Cell{t, true});
  cells[7] = Cell{};  // a row without time: order broken
  const Stamp stamp{SampleRate::whole_seconds(60), start};
  const Samples one = split_cells(cells, true, stamp, 1);
  const Samples many = split_cells(cells, true, stamp, GetParam());
  EXPECT_EQ(one.first, many.first);
  EXPECT_EQ(one.time, many.time);
  ASSERT_EQ(one.value.size(), many.value.size());
  EXPECT_EQ(std::memcmp(one.value.data(), many.value.data(), one.value.size() * sizeof(float)), 0);
  EXPECT_EQ(one.undecided, many.undecided);
  EXPECT_EQ(one.undecided_text, many.undecided_text);
  EXPECT_FALSE(one.undecided.empty());
  EXPECT_FALSE(many.time_ordered);

  cells[7] = Cell{texts[7], true};
  EXPECT_TRUE(split_cells(cells, true, stamp, GetParam()).time_ordered);
  std::swap(start[200], start[201]);  // out of order in the middle, where threads meet
  EXPECT_FALSE(split_cells(cells, true, Stamp{SampleRate::whole_seconds(60), start}, GetParam()).time_ordered);
}

INSTANTIATE_TEST_SUITE_P(Counts, Threads, ::testing::Values(1, 2, 3, 4, 8));

TEST(SplitCells, LongRows) {
  std::string text;
  for (int i = 0; i < 86400; ++i) {
    if (i) text += ' ';
    text += std::to_string(i % 1000) + ".25";
  }
  const std::vector<Cell> cells{Cell{text, true}};
  const Samples s = split_cells(cells, true, std::nullopt);
  ASSERT_EQ(s.value.size(), 86400u);
  EXPECT_EQ(as_vector(s.first), (std::vector<size_t>{0, 86400}));
  EXPECT_EQ(s.value[86399], 399.25f);
}

}  // namespace
}  // namespace velmora::packed
