#include "cleaning/text_column.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::packed {
namespace {

// Cells as (text or "<none>") for comparison.
std::vector<std::string> shown(const TextColumn& column) {
  std::vector<std::string> out;
  for (const Cell& cell : column.cells()) out.push_back(cell.has_text ? std::string(cell.text) : "<none>");
  return out;
}

// An Arrow string array over `data` with the given offsets and validity.
template <typename Offset>
ArrowStrings arrow(const std::vector<Offset>& offsets, const std::string& data, int64_t offset, int64_t length,
                   const std::vector<uint8_t>* validity = nullptr) {
  ArrowStrings array;
  array.length = length;
  array.offset = offset;
  array.offsets = offsets.data();
  array.offsets_bytes = offsets.size() * sizeof(Offset);
  array.large = sizeof(Offset) == 8;
  array.data = data.empty() ? nullptr : data.data();
  array.data_bytes = data.size();
  if (validity != nullptr) {
    array.validity = validity->data();
    array.validity_bytes = validity->size();
  }
  return array;
}

TEST(TextColumn, MixesCellsFromEverySource) {
  const std::string data = "1 2NULLx 9";
  const std::vector<int32_t> small{0, 3, 7, 7, 10};
  const std::vector<int64_t> large{0, 3, 7, 7, 10};
  TextColumn column;
  column.add_text("a b");
  column.add_missing();
  column.add_arrow(arrow(small, data, 0, 4));
  column.add_arrow(arrow(large, data, 1, 3));
  EXPECT_EQ(shown(column), (std::vector<std::string>{"a b", "<none>", "1 2", "NULL", "", "x 9", "NULL", "",
                                                     "x 9"}));
  EXPECT_EQ(column.texts(), 8u);
}

TEST(TextColumn, NullElementsHaveNoText) {
  const std::string data = "1.52.5";
  const std::vector<int32_t> offsets{0, 3, 3, 6, 6, 6, 6, 6, 6, 6, 6};
  // elements 1 and 9 null; the array starts at element 1 of the buffers
  const std::vector<uint8_t> validity{0b11111101, 0b00000001};
  TextColumn column;
  column.add_arrow(arrow(offsets, data, 1, 9, &validity));
  EXPECT_EQ(shown(column), (std::vector<std::string>{"<none>", "2.5", "", "", "", "", "", "", "<none>"}));
  EXPECT_EQ(column.texts(), 7u);
}

TEST(TextColumn, EmptyArraysAndEmptyData) {
  const std::vector<int32_t> offsets{0, 0, 0};
  TextColumn column;
  column.add_arrow(arrow(offsets, "", 0, 0));
  column.add_arrow(arrow(offsets, "", 0, 2));
  EXPECT_EQ(shown(column), (std::vector<std::string>{"", ""}));
}

TEST(TextColumn, RefusesBuffersThatDoNotHoldTheArray) {
  const std::string data = "12345";
  const std::vector<int32_t> fine{0, 2, 5};
  const std::vector<int32_t> backwards{0, 4, 2};
  const std::vector<int32_t> past_data{0, 2, 6};
  const std::vector<int32_t> negative{-1, 2, 5};
  ArrowStrings short_bitmap = arrow(fine, data, 0, 2);
  const uint8_t bits = 0xff;
  short_bitmap.validity = &bits;  // a bitmap without its byte
  short_bitmap.validity_bytes = 0;
  const std::vector<ArrowStrings> bad{
      arrow(fine, data, 0, 3),          // one offset short
      arrow(fine, data, 1, 2),          // the same from an offset
      arrow(backwards, data, 0, 2),
      arrow(past_data, data, 0, 2),
      arrow(negative, data, 0, 2),
      short_bitmap,
      arrow(fine, data, -1, 1),
  };
  for (const ArrowStrings& array : bad) {
    TextColumn column;
    column.add_text("kept");
    EXPECT_THROW(column.add_arrow(array), std::invalid_argument);
    EXPECT_EQ(shown(column), (std::vector<std::string>{"kept"}));  // nothing added
  }
  ArrowStrings no_data = arrow(fine, data, 0, 2);
  no_data.data = nullptr;
  TextColumn column;
  EXPECT_THROW(column.add_arrow(no_data), std::invalid_argument);
  EXPECT_EQ(column.size(), 0u);
}

}  // namespace
}  // namespace velmora::packed
