#include "cleaning/split.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace velmora::packed {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kT0 = 1'230'768'000 * kSecond;  // 2009-01-01

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<Cell> text_cells(const std::vector<const char*>& texts) {
  std::vector<Cell> cells;
  for (const char* t : texts) cells.push_back(t == nullptr ? Cell{} : Cell{std::string_view(t), true});
  return cells;
}

std::vector<Cell> string_cells(const std::vector<std::string>& texts) {
  std::vector<Cell> cells;
  for (const auto& t : texts) cells.push_back(Cell{t, true});
  return cells;
}

// Rows of `pieces` minute samples each, one a day, the text of each distinct;
// some pieces undecided or missing.
std::vector<std::string> day_rows(int rows, int pieces) {
  std::vector<std::string> texts;
  for (int row = 0; row < rows; ++row) {
    std::string text;
    for (int i = 0; i < pieces; ++i) {
      if (i) text += ' ';
      text += (i + row) % 97 == 0 ? (row % 2 ? "NULL" : "inf") : std::to_string(row + i) + ".5";
    }
    texts.push_back(text);
  }
  return texts;
}

// A filled split: values, times and the source row of every result position.
struct Filled {
  std::vector<float> value;
  std::vector<int64_t> time;
  std::vector<size_t> row;
  std::optional<Unsettled> unsettled;
  Arrangement arrangement;
};

// Reads a number the way the tests' stand-in for Python does: "inf" and
// underscored digits are numbers, anything else undecided is none.
std::optional<double> stand_in_reader(std::string_view text) {
  if (text == "inf") return std::numeric_limits<double>::infinity();
  if (text == "1_0") return 10.0;
  if (text == "99_999") return 99999.0;
  return std::nullopt;
}

Filled collect(Split& s, bool stamped, unsigned threads) {
  Filled out;
  out.arrangement = s.layout().arrangement;
  out.value.assign(s.size(), -1.0f);
  out.time.assign(stamped ? s.size() : 0, 7);
  s.fill(out.value, out.time, threads);
  out.unsettled = s.settle(out.value, stand_in_reader);
  out.row.assign(s.size(), SIZE_MAX);
  size_t next = 0;
  s.for_each_block([&](std::span<const size_t> rows, size_t at, size_t slots) {
    EXPECT_EQ(at, next) << "blocks out of order";
    EXPECT_FALSE(rows.empty());
    for (size_t j = 0; j < slots * rows.size(); ++j) out.row[at + j] = rows[j % rows.size()];
    next = at + slots * rows.size();
  });
  EXPECT_EQ(next, s.size()) << "positions never visited";
  return out;
}

bool same_fill(const Filled& a, const Filled& b) {
  if (a.value.size() != b.value.size() || a.time != b.time || a.row != b.row || a.arrangement != b.arrangement) {
    return false;
  }
  for (size_t i = 0; i < a.value.size(); ++i) {
    if (!same_bits(a.value[i], b.value[i])) return false;
  }
  if (a.unsettled.has_value() != b.unsettled.has_value()) return false;
  return !a.unsettled || (a.unsettled->at == b.unsettled->at && a.unsettled->text == b.unsettled->text);
}

// The split of `cells`, counted and filled on `threads` threads; for a split
// on blanks, the same split of the rows read ahead (in two batches, the
// second read on `threads` threads) must come out bit for bit the same.
Filled run(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp, unsigned threads = 1) {
  Split s(cells, split, stamp, threads);
  Filled out = collect(s, stamp.has_value(), threads);
  if (!split) return out;
  ParsedRows parsed;
  const size_t half = cells.size() / 2;
  parsed.add(cells.first(half));
  parsed.add(cells.subspan(half), threads);
  std::vector<size_t> order(cells.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  Split ahead(parsed, order, stamp);
  EXPECT_TRUE(same_fill(collect(ahead, stamp.has_value(), threads), out)) << "read ahead, the split differs";
  return out;
}

// What the result must be, worked out piece by piece: every piece of every
// row with its time, stably sorted by time (kNaT last).
Filled expected(std::span<const Cell> cells, const std::vector<int64_t>& start, const SampleRate& rate) {
  struct Sample {
    int64_t time;
    float value;
    size_t row;
  };
  std::vector<Sample> samples;
  for (size_t row = 0; row < cells.size(); ++row) {
    if (!cells[row].has_text) {
      samples.push_back({kNaT, std::numeric_limits<float>::quiet_NaN(), row});
      continue;
    }
    const std::string_view text = cells[row].text;
    size_t at = 0;
    for (int64_t k = 0;; ++k) {
      const size_t blank = text.find(' ', at);
      const std::string_view piece = text.substr(at, blank == std::string_view::npos ? blank : blank - at);
      Piece read = read_piece(piece);
      if (read.kind == PieceKind::kUndecided) read = settle_piece(piece, stand_in_reader(piece));
      samples.push_back({start[row] == kNaT ? kNaT : start[row] + rate.offset_ns(k), read.value, row});
      if (blank == std::string_view::npos) break;
      at = blank + 1;
    }
  }
  std::stable_sort(samples.begin(), samples.end(),
                   [](const Sample& a, const Sample& b) { return time_key(a.time) < time_key(b.time); });
  Filled out;
  for (const Sample& s : samples) {
    out.time.push_back(s.time);
    out.value.push_back(s.value);
    out.row.push_back(s.row);
  }
  return out;
}

Filled expected(std::span<const Cell> cells, const std::vector<int64_t>& start, int64_t step) {
  return expected(cells, start, SampleRate::whole_seconds(step / kSecond));
}

void expect_same(const Filled& got, const Filled& want) {
  EXPECT_EQ(got.time, want.time);
  EXPECT_EQ(got.row, want.row);
  ASSERT_EQ(got.value.size(), want.value.size());
  for (size_t i = 0; i < got.value.size(); ++i) {
    EXPECT_TRUE(same_bits(got.value[i], want.value[i])) << i << ": " << got.value[i] << " vs " << want.value[i];
  }
}

TEST(Split, OneSamplePerPieceWithItsRow) {
  const auto cells = text_cells({"1.5 NULL 2.25", nullptr, "", "7  8 "});
  const Filled s = run(cells, true, std::nullopt);
  EXPECT_EQ(s.row, (std::vector<size_t>{0, 0, 0, 1, 2, 3, 3, 3, 3}));
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
  EXPECT_FALSE(s.unsettled);
}

TEST(Split, StampsTimesFromRowStartsInRowOrder) {
  const auto cells = text_cells({"1 2 3", nullptr, "4 5"});
  const std::vector<int64_t> start{100 * kSecond, 0, kNaT};
  const Filled s = run(cells, true, Stamp{SampleRate::whole_seconds(600), start});
  EXPECT_EQ(s.arrangement, Arrangement::kRowOrder);
  EXPECT_EQ(s.time, (std::vector<int64_t>{100 * kSecond, 700 * kSecond, 1300 * kSecond, kNaT, kNaT, kNaT}));
  EXPECT_EQ(s.row, (std::vector<size_t>{0, 0, 0, 1, 2, 2}));
}

TEST(Split, StampsOffsetsWithoutRowStarts) {
  const auto cells = text_cells({"1 2", nullptr, "3"});
  const Filled s = run(cells, true, Stamp{SampleRate::whole_seconds(60), std::nullopt});
  EXPECT_EQ(s.time, (std::vector<int64_t>{0, 60 * kSecond, kNaT, 0}));
  EXPECT_EQ(s.row, (std::vector<size_t>{0, 0, 1, 2}));
}

TEST(Split, FractionalRatesRoundToTheNanosecond) {
  const auto cells = text_cells({"0 1 2 3 4 5 6 7 8 9"});
  const std::vector<int64_t> start{kT0};
  const Filled s = run(cells, true, Stamp{SampleRate::seconds(0.3), start});
  ASSERT_EQ(s.time.size(), 10u);
  EXPECT_EQ(s.time[3] - kT0, 900'000'000);  // 3 * 0.3 is 0.8999999999999999 as a double
  EXPECT_EQ(s.time[9] - kT0, 2'700'000'000);
}

TEST(Split, RowsOutOfOrderAreMergedByTime) {
  // three rows on one grid of a minute, overlapping, and a row without a time
  const auto cells = text_cells({"1 2 3 4", "5 6", nullptr, "7 8 9", "x"});
  const std::vector<int64_t> start{kT0 + 2 * kMinute, kT0, kT0, kT0 + kMinute, kNaT};
  const Stamp stamp{SampleRate::whole_seconds(60), start};
  const Filled s = run(cells, true, stamp);
  EXPECT_EQ(s.arrangement, Arrangement::kGrid);
  expect_same(s, expected(cells, start, kMinute));
  EXPECT_EQ(s.row, (std::vector<size_t>{1, 1, 3, 0, 3, 0, 3, 0, 0, 2, 4}));
}

TEST(Split, StartsOffTheMinuteAreMergedOnTheGrid) {
  const auto texts = day_rows(3, 40);
  const auto cells = string_cells(texts);
  const std::vector<int64_t> start{kT0 + kMinute, kT0 + kSecond, kT0 + 30 * kSecond};
  const Filled s = run(cells, true, Stamp{SampleRate::whole_seconds(60), start});
  EXPECT_EQ(s.arrangement, Arrangement::kGrid);
  expect_same(s, expected(cells, start, kMinute));
  // the first minute holds rows 1 and 2, the next rows 1, 2 and 0, each at its second
  EXPECT_EQ(std::vector<size_t>(s.row.begin(), s.row.begin() + 5), (std::vector<size_t>{1, 2, 0, 1, 2}));
}

TEST(Split, FractionalRatesAreMergedByTime) {
  // 1/3 s: offsets that are no whole multiples of one step
  const auto cells = text_cells({"1 2 3 4", "5 6", nullptr, "7 8 9"});
  const std::vector<int64_t> start{kT0 + kSecond, kT0, kT0, kT0 + kSecond / 3};
  const SampleRate third = SampleRate::seconds(1.0 / 3);
  const Filled s = run(cells, true, Stamp{third, start});
  EXPECT_EQ(s.arrangement, Arrangement::kMerge);
  expect_same(s, expected(cells, start, third));
  // half a second: whole nanoseconds, on the grid
  const Filled half = run(cells, true, Stamp{SampleRate::seconds(0.5), start});
  EXPECT_EQ(half.arrangement, Arrangement::kGrid);
  expect_same(half, expected(cells, start, SampleRate::seconds(0.5)));
}

TEST(Split, RowsThatGoBackInTimeAreSorted) {
  const auto cells = text_cells({"1 2 3", "4 5"});
  const std::vector<int64_t> start{kT0, kT0 - kSecond};
  const SampleRate back = SampleRate::whole_seconds(-60);
  const Filled s = run(cells, true, Stamp{back, start});
  EXPECT_EQ(s.arrangement, Arrangement::kSort);
  expect_same(s, expected(cells, start, back));
}

TEST(Split, TimeOverflowIsAnError) {
  const auto cells = text_cells({"1 2"});
  const std::vector<int64_t> start{std::numeric_limits<int64_t>::max() - 5};
  EXPECT_THROW(Split(cells, true, Stamp{SampleRate::whole_seconds(1), start}), std::overflow_error);
  // the offset alone overflows, even in a row without a start
  const std::vector<int64_t> none{kNaT};
  const Stamp huge{SampleRate::whole_seconds(9'000'000'000), none};
  EXPECT_THROW(Split(text_cells({"1 2 3"}), true, huge), std::overflow_error);
  EXPECT_NO_THROW(Split(cells, true, huge));
}

TEST(Split, SettlesUndecidedPiecesWithTheReader) {
  const auto cells = text_cells({"1 inf 2 99_999", "1_0 x99999y NULLx"});
  const Filled s = run(cells, true, std::nullopt);
  EXPECT_EQ(s.value[1], std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(s.value[3]));  // a number of nines
  EXPECT_EQ(s.value[4], 10.0f);
  EXPECT_TRUE(std::isnan(s.value[5]));  // no number, but the digits 99999
  EXPECT_TRUE(std::isnan(s.value[6]));  // NULL inside
  EXPECT_FALSE(s.unsettled);
}

TEST(Split, ReportsTheFirstPieceThatIsNoNumberInResultOrder) {
  // the second row comes first in time
  const auto cells = text_cells({"1 abc", "def 2 ghi"});
  const std::vector<int64_t> start{kT0 + 10 * kMinute, kT0};
  const Filled s = run(cells, true, Stamp{SampleRate::whole_seconds(60), start});
  ASSERT_TRUE(s.unsettled);
  EXPECT_EQ(s.unsettled->text, "def");
  EXPECT_EQ(s.unsettled->at, 0u);
  const Filled by_rows = run(cells, true, std::nullopt);
  ASSERT_TRUE(by_rows.unsettled);
  EXPECT_EQ(by_rows.unsettled->text, "abc");
  EXPECT_EQ(by_rows.unsettled->at, 1u);
}

TEST(Split, WithoutSplittingACellIsOnePiece) {
  const auto cells = text_cells({"1 2", "3", nullptr});
  const Filled s = run(cells, false, std::nullopt);
  EXPECT_EQ(s.row, (std::vector<size_t>{0, 1, 2}));
  ASSERT_TRUE(s.unsettled);
  EXPECT_EQ(s.unsettled->text, "1 2");
  EXPECT_EQ(s.value[1], 3.0f);
}

TEST(Split, WithoutSplittingRowsOutOfOrderStayWhole) {
  // merged by the grid sweep, each cell still one piece
  const auto cells = text_cells({"1 2", "3", "4.5", nullptr});
  const std::vector<int64_t> start{kT0 + kMinute, kT0, kT0 + kMinute, kT0};
  const Filled s = run(cells, false, Stamp{SampleRate::whole_seconds(60), start});
  EXPECT_EQ(s.arrangement, Arrangement::kGrid);
  EXPECT_EQ(s.row, (std::vector<size_t>{1, 0, 2, 3}));
  EXPECT_EQ(s.value[0], 3.0f);
  EXPECT_TRUE(std::isnan(s.value[1]));
  EXPECT_EQ(s.value[2], 4.5f);
  ASSERT_TRUE(s.unsettled);
  EXPECT_EQ(s.unsettled->text, "1 2");
  EXPECT_EQ(s.unsettled->at, 1u);
}

TEST(Split, ReorderPutsValuesRowsAndUndecidedPiecesInTheGivenOrder) {
  const auto cells = text_cells({"1 abc", "3"});
  Split s(cells, true, Stamp{SampleRate::whole_seconds(60), std::nullopt});
  std::vector<float> value(3);
  std::vector<int64_t> time(3);
  s.fill(value, time);
  const std::vector<int64_t> order{2, 1, 0};
  s.reorder(order, value);
  EXPECT_EQ(value[0], 3.0f);
  EXPECT_EQ(value[2], 1.0f);
  const auto unsettled = s.settle(value, stand_in_reader);
  ASSERT_TRUE(unsettled);
  EXPECT_EQ(unsettled->at, 1u);
  std::vector<size_t> rows(3);
  s.for_each_block([&](std::span<const size_t> block, size_t at, size_t slots) {
    for (size_t j = 0; j < slots * block.size(); ++j) rows[at + j] = block[j % block.size()];
  });
  EXPECT_EQ(rows, (std::vector<size_t>{1, 0, 0}));
}

TEST(Split, RefusesBuffersAndOrdersThatDoNotFit) {
  const auto cells = text_cells({"1 2", "3"});
  Split s(cells, true, Stamp{SampleRate::whole_seconds(60), std::nullopt});
  std::vector<float> value(3), short_value(2);
  std::vector<int64_t> time(3);
  EXPECT_THROW(s.fill(short_value, time), std::invalid_argument);
  EXPECT_THROW(s.fill(value, {}), std::invalid_argument);
  s.fill(value, time);
  for (const std::vector<int64_t>& order : {std::vector<int64_t>{0, 1}, std::vector<int64_t>{0, 1, 3},
                                            std::vector<int64_t>{0, 0, 1}, std::vector<int64_t>{-1, 0, 1}}) {
    EXPECT_THROW(s.reorder(order, value), std::invalid_argument);
  }
}

TEST(Share, RangesOfAboutEqualWork) {
  const std::vector<size_t> starts{0, 10, 20, 30};
  EXPECT_EQ(share(starts, 40, 1), (std::vector<size_t>{0, 4}));
  EXPECT_EQ(share(starts, 40, 2), (std::vector<size_t>{0, 2, 4}));
  EXPECT_EQ(share(starts, 40, 4), (std::vector<size_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(share(starts, 40, 9), (std::vector<size_t>{0, 1, 2, 3, 4}));  // no more ranges than items
  EXPECT_EQ(share({}, 0, 3), (std::vector<size_t>{0, 0}));
}

// However the work is shared among threads, the samples are the same, in
// each arrangement.
class Threads : public ::testing::TestWithParam<unsigned> {};

TEST_P(Threads, GiveTheSameSamplesInEachArrangement) {
  const auto texts = day_rows(400, 1440);
  std::vector<Cell> cells = string_cells(texts);
  cells[399] = Cell{};  // a row without text: its sample comes last
  std::vector<int64_t> in_order, on_grid, off_grid;
  for (int row = 0; row < 400; ++row) {
    in_order.push_back(kT0 + row * 1440 * kMinute);
    // 40 stations a day, each day's rows in station order: rows of one day overlap
    on_grid.push_back(kT0 + (row % 10) * 1440 * kMinute + (row / 10 % 3) * 30 * kMinute);
    off_grid.push_back(on_grid.back() + (row % 3) * kSecond);
  }
  on_grid[11] = kNaT;
  const SampleRate minute = SampleRate::whole_seconds(60), third = SampleRate::seconds(1.0 / 3);
  struct Case {
    std::vector<int64_t> start;
    SampleRate rate;
    Arrangement arrangement;
  };
  for (const Case& c : {Case{in_order, minute, Arrangement::kRowOrder}, Case{on_grid, minute, Arrangement::kGrid},
                        Case{off_grid, minute, Arrangement::kGrid}, Case{on_grid, third, Arrangement::kMerge}}) {
    const Stamp stamp{c.rate, c.start};
    const Filled one = run(cells, true, stamp, 1);
    const Filled many = run(cells, true, stamp, GetParam());
    EXPECT_EQ(one.arrangement, c.arrangement);
    expect_same(many, one);
    expect_same(one, expected(cells, c.start, c.rate));
    EXPECT_FALSE(one.unsettled);
  }
}

// A step back in time exactly where one thread's range of rows ends and the
// next one's begins: each range alone is in order.
TEST_P(Threads, AStepBackWhereTwoRangesMeet) {
  const unsigned threads = GetParam();
  if (threads < 2) GTEST_SKIP() << "no boundary";
  const int rows = 40;
  const auto texts = day_rows(rows, 20'000);
  const std::vector<Cell> cells = string_cells(texts);
  std::vector<size_t> first{0};
  for (int row = 0; row < rows; ++row) first.push_back(first.back() + 20'000);
  ASSERT_GE(first.back() / kSamplesPerThread, threads);  // samples enough for every thread
  const std::vector<size_t> bounds = share(std::span<const size_t>(first.data(), rows), first.back(), threads);
  ASSERT_EQ(bounds.size(), threads + 1);
  const SampleRate minute = SampleRate::whole_seconds(60), third = SampleRate::seconds(1.0 / 3);
  for (const auto& [rate, off_phase, arrangement] :
       {std::tuple{minute, false, Arrangement::kGrid}, std::tuple{minute, true, Arrangement::kGrid},
        std::tuple{third, false, Arrangement::kMerge}}) {
    // rows one after the other, but the row beginning a range starts half
    // a row too early, before the end of the row that ends the previous one
    std::vector<int64_t> start;
    int64_t at = kT0;
    for (int row = 0; row < rows; ++row) {
      const bool boundary = std::find(bounds.begin() + 1, bounds.end() - 1, static_cast<size_t>(row)) != bounds.end() - 1;
      if (boundary) at -= rate.offset_ns(10'000) + (off_phase ? kSecond : 0);
      start.push_back(at);
      at += rate.offset_ns(20'000);
    }
    const Stamp stamp{rate, start};
    const Filled many = run(cells, true, stamp, threads);
    EXPECT_EQ(many.arrangement, arrangement);
    expect_same(many, expected(cells, start, rate));
    EXPECT_TRUE(std::is_sorted(many.time.begin(), many.time.end()));
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, Threads, ::testing::Values(1, 2, 3, 4, 8));

#if defined(__linux__)
// Threads whose stacks find no address space, as under a tight limit: the
// calling thread does their share of the work, with the same result.
TEST(Split, ThreadsThatCannotStartLeaveTheirWorkToTheCaller) {
  const auto texts = day_rows(200, 1440);
  const std::vector<Cell> cells = string_cells(texts);
  std::vector<int64_t> start, third_start;
  for (int row = 0; row < 200; ++row) {
    start.push_back(kT0 + (row % 10) * 1440 * kMinute + (row / 10 % 3) * 7 * kSecond);
    third_start.push_back(kT0 + (row % 10) * 480 * kMinute);
  }
  const SampleRate minute = SampleRate::whole_seconds(60), third = SampleRate::seconds(1.0 / 3);
  const std::vector<std::pair<std::vector<int64_t>, SampleRate>> cases{{start, minute}, {third_start, third}};
  std::vector<Filled> alone;
  for (const auto& [starts, rate] : cases) alone.push_back(run(cells, true, Stamp{rate, starts}, 1));

  pthread_attr_t was, huge;
  ASSERT_EQ(pthread_getattr_default_np(&was), 0);
  ASSERT_EQ(pthread_attr_init(&huge), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&huge, size_t{1} << 47), 0);  // the whole address space
  ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
  bool refused = false;
  try {
    std::jthread probe([] {});
  } catch (const std::system_error&) {
    refused = true;
  }
  std::vector<Filled> shared;
  if (refused) {
    for (const auto& [starts, rate] : cases) shared.push_back(run(cells, true, Stamp{rate, starts}, 4));
  }
  ASSERT_EQ(pthread_setattr_default_np(&was), 0);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&was);
  if (!refused) GTEST_SKIP() << "a thread started with a stack the size of the address space";
  for (size_t c = 0; c < cases.size(); ++c) {
    EXPECT_EQ(shared[c].arrangement, c == 0 ? Arrangement::kGrid : Arrangement::kMerge);
    expect_same(shared[c], alone[c]);
  }
}
#endif

// Random rows on a grid: segments of every shape, rows that begin in one
// thread's range and go on in the next.
class RandomGrid : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomGrid, EqualsTheStableSort) {
  std::mt19937_64 random(GetParam());
  std::vector<std::string> texts;
  std::vector<int64_t> start;
  for (int row = 0; row < 300; ++row) {
    std::string text;
    const int pieces = 1 + static_cast<int>(random() % 3000);
    for (int i = 0; i < pieces; ++i) {
      if (i) text += ' ';
      text += std::to_string(row) + "." + std::to_string(i % 1000);
    }
    texts.push_back(text);
    const bool untimed = random() % 20 == 0;
    start.push_back(untimed ? kNaT : kT0 + static_cast<int64_t>(random() % 5000) * kMinute);
  }
  // the same rows, most of them started a few seconds into their minute
  std::vector<int64_t> phased = start;
  for (int64_t& t : phased) {
    if (t != kNaT && random() % 4 != 0) t += static_cast<int64_t>(random() % 4) * 15 * kSecond;
  }
  const std::vector<Cell> cells = string_cells(texts);
  const SampleRate minute = SampleRate::whole_seconds(60), third = SampleRate::seconds(1.0 / 3);
  for (const auto& [starts, rate, arrangement] :
       {std::tuple{start, minute, Arrangement::kGrid}, std::tuple{phased, minute, Arrangement::kGrid},
        std::tuple{phased, third, Arrangement::kMerge}}) {
    const Stamp stamp{rate, starts};
    const Filled want = expected(cells, starts, rate);
    for (unsigned threads : {1u, 2u, 3u, 7u}) {
      const Filled got = run(cells, true, stamp, threads);
      EXPECT_EQ(got.arrangement, arrangement);
      expect_same(got, want);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomGrid, ::testing::Range(0u, 6u));

TEST(Split, LongRows) {
  std::string text;
  for (int i = 0; i < 86400; ++i) {
    if (i) text += ' ';
    text += std::to_string(i % 1000) + ".25";
  }
  const std::vector<Cell> cells{Cell{text, true}};
  const Filled s = run(cells, true, std::nullopt, 4);
  ASSERT_EQ(s.value.size(), 86400u);
  EXPECT_EQ(s.value[86399], 399.25f);
}

}  // namespace
}  // namespace velmora::packed

namespace velmora::packed {
namespace {

// Rows read ahead in another order than the split's (as a fetch receives
// them before it sorts them): the split follows `order`, not the reading.
TEST(SplitReadAhead, TakesTheRowsInTheOrderGiven) {
  const std::vector<std::string> texts = day_rows(40, 1440);
  std::vector<Cell> cells = string_cells(texts);
  cells[3] = Cell{};
  std::vector<int64_t> start(cells.size());
  for (size_t i = 0; i < start.size(); ++i) start[i] = kT0 + static_cast<int64_t>(i % 10) * 86'400 * kSecond;
  const Stamp stamp{SampleRate::whole_seconds(60), std::span<const int64_t>(start)};
  const Filled want = run(cells, true, stamp, 2);

  // read in reverse, in batches of seven rows
  ParsedRows parsed;
  std::vector<Cell> reversed(cells.rbegin(), cells.rend());
  for (size_t at = 0; at < reversed.size(); at += 7) {
    parsed.add(std::span<const Cell>(reversed).subspan(at, std::min<size_t>(7, reversed.size() - at)), 2);
  }
  EXPECT_EQ(parsed.pieces(), want.value.size());
  std::vector<size_t> order(cells.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = cells.size() - 1 - i;
  Split ahead(parsed, order, stamp);
  EXPECT_TRUE(same_fill(collect(ahead, true, 2), want));
}

TEST(SplitReadAhead, UndecidedPiecesKeepTheirText) {
  std::vector<Cell> cells = text_cells({"1 inf 2", "x_y 99_999 1_0", "3"});
  ParsedRows parsed;
  parsed.add(cells);
  cells.clear();  // nothing of the cells is read any more
  const std::vector<size_t> order{2, 1, 0};
  Split s(parsed, order, std::nullopt);
  std::vector<float> value(s.size());
  s.fill(value, {});
  const std::optional<Unsettled> failed = s.settle(value, stand_in_reader);
  ASSERT_TRUE(failed.has_value());
  EXPECT_EQ(failed->at, 1u);
  EXPECT_EQ(failed->text, "x_y");
  EXPECT_TRUE(std::isnan(value[2]));  // 99_999: the placeholder
  EXPECT_EQ(value[3], 10.0f);
  EXPECT_EQ(value[5], std::numeric_limits<float>::infinity());
}

TEST(SplitReadAhead, RefusesAnOrderThatRepeatsOrInventsRows) {
  const std::vector<Cell> cells = text_cells({"1 2", "3"});
  ParsedRows parsed;
  parsed.add(cells);
  const std::vector<size_t> twice{0, 0}, unknown{0, 2};
  EXPECT_THROW(Split(parsed, twice, std::nullopt), std::invalid_argument);
  EXPECT_THROW(Split(parsed, unknown, std::nullopt), std::invalid_argument);
}

}  // namespace
}  // namespace velmora::packed
