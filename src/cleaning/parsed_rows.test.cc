#include "cleaning/parsed_rows.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace velmora::packed {
namespace {

std::vector<Cell> cells_of(const std::vector<const char*>& texts) {
  std::vector<Cell> cells;
  for (const char* t : texts) cells.push_back(t == nullptr ? Cell{} : Cell{std::string_view(t), true});
  return cells;
}

TEST(ParsedRows, RowsOfEveryBatchInTheOrderRead) {
  ParsedRows parsed;
  parsed.add(cells_of({"1.5 2", nullptr}));
  parsed.add(cells_of({"", "NULL 99999 -0.25"}));
  ASSERT_EQ(parsed.size(), 4u);
  EXPECT_EQ(parsed.pieces(), 7u);
  EXPECT_EQ(parsed[0].count, 2u);
  EXPECT_EQ(parsed[0].values[0], 1.5f);
  EXPECT_EQ(parsed[0].values[1], 2.0f);
  // a cell without text: one missing sample, no text
  EXPECT_FALSE(parsed[1].has_text);
  EXPECT_EQ(parsed[1].count, 1u);
  // empty text: one missing sample of a row with text
  EXPECT_TRUE(parsed[2].has_text);
  EXPECT_TRUE(std::isnan(parsed[2].values[0]));
  EXPECT_TRUE(std::isnan(parsed[3].values[0]) && std::isnan(parsed[3].values[1]));
  EXPECT_EQ(parsed[3].values[2], -0.25f);
  for (size_t row = 0; row < parsed.size(); ++row) {
    for (size_t k = 0; k < parsed[row].count; ++k) EXPECT_FALSE(ParsedRows::is_undecided(parsed[row].values + k));
  }
}

TEST(ParsedRows, UndecidedPiecesAreMarkedAndKeepTheirText) {
  std::string text = "1 inf 2 1_000";
  ParsedRows parsed;
  parsed.add(cells_of({text.c_str()}));
  text.assign(text.size(), 'x');  // the cell's text is not read after add()
  const ParsedRow& row = parsed[0];
  ASSERT_EQ(row.count, 4u);
  EXPECT_FALSE(ParsedRows::is_undecided(row.values));
  EXPECT_TRUE(ParsedRows::is_undecided(row.values + 1));
  EXPECT_EQ(parsed.undecided_text(row.values + 1), "inf");
  EXPECT_TRUE(ParsedRows::is_undecided(row.values + 3));
  EXPECT_EQ(parsed.undecided_text(row.values + 3), "1_000");
}

TEST(ParsedRows, ManyRowsOnSeveralThreadsReadAsOnOne) {
  std::vector<std::string> texts;
  for (int row = 0; row < 300; ++row) {
    std::string t;
    for (int i = 0; i < 1440; ++i) t += (i ? " " : "") + ((row + i) % 101 == 0 ? std::string("1e999") : std::to_string(row * i) + ".25");
    texts.push_back(t);
  }
  std::vector<Cell> cells;
  for (const std::string& t : texts) cells.push_back(Cell{t, true});
  ParsedRows one, four;
  one.add(cells, 1);
  four.add(cells, 4);
  ASSERT_EQ(one.pieces(), four.pieces());
  for (size_t row = 0; row < cells.size(); ++row) {
    for (size_t k = 0; k < one[row].count; ++k) {
      const float* a = one[row].values + k;
      const float* b = four[row].values + k;
      ASSERT_EQ(ParsedRows::is_undecided(a), ParsedRows::is_undecided(b));
      if (ParsedRows::is_undecided(a)) {
        ASSERT_EQ(one.undecided_text(a), four.undecided_text(b));
      } else {
        ASSERT_EQ(*a, *b);
      }
    }
  }
}

}  // namespace
}  // namespace velmora::packed
