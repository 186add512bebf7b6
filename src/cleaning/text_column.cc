#include "cleaning/text_column.h"

#include "cleaning/piece_runs.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace velmora::packed {
namespace {

[[noreturn]] void refuse(const std::string& what) {
  throw std::invalid_argument("inconsistent Arrow string array: " + what);
}

template <typename Offset>
void add_elements(const ArrowStrings& array, std::vector<Cell>& cells, size_t& texts) {
  const auto first = static_cast<size_t>(array.offset), n = static_cast<size_t>(array.length);
  if (array.offsets == nullptr || array.offsets_bytes / sizeof(Offset) < first + n + 1) {
    refuse("the offsets buffer is too small");
  }
  if (array.validity != nullptr && array.validity_bytes < (first + n + 7) / 8) {
    refuse("the validity bitmap is too small");
  }
  // The offsets buffer need not be aligned for Offset: read each entry by copy.
  const auto* raw = static_cast<const unsigned char*>(array.offsets) + first * sizeof(Offset);
  auto offset_at = [raw](size_t i) {
    Offset value;
    std::memcpy(&value, raw + i * sizeof(Offset), sizeof(Offset));
    return value;
  };
  // Checked as a whole before anything is added: offsets ascend within the data.
  Offset previous = offset_at(0);
  if (previous < 0) refuse("an offset is negative");
  for (size_t i = 1; i <= n; ++i) {
    const Offset next = offset_at(i);
    if (next < previous) refuse("the offsets run backwards");
    previous = next;
  }
  if (static_cast<uint64_t>(previous) > array.data_bytes || (previous > 0 && array.data == nullptr)) {
    refuse("the offsets run past the data");
  }

  cells.reserve(cells.size() + n);
  for (size_t i = 0; i < n; ++i) {
    const size_t bit = first + i;
    if (array.validity != nullptr && ((array.validity[bit / 8] >> (bit % 8)) & 1) == 0) {
      cells.push_back(Cell{});
      continue;
    }
    const auto begin = static_cast<size_t>(offset_at(i)), end = static_cast<size_t>(offset_at(i + 1));
    const char* data = array.data != nullptr ? array.data + begin : "";
    cells.push_back(Cell{std::string_view(data, end - begin), true});
    ++texts;
  }
}

}  // namespace

size_t pieces_in(const Cell& cell) {
  if (!cell.has_text) return 1;
  return count_blanks(cell.text.data(), cell.text.data() + cell.text.size()) + 1;
}

void TextColumn::add_arrow(const ArrowStrings& array) {
  if (array.length < 0 || array.offset < 0) refuse("negative length or offset");
  if (array.large) {
    add_elements<int64_t>(array, cells_, texts_);
  } else {
    add_elements<int32_t>(array, cells_, texts_);
  }
}

}  // namespace velmora::packed
