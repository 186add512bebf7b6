// The text cells of a packed column, whatever holds them.
//
// A packed column reaches the kernel from a table in one of two forms: as
// Python str objects (numpy object columns, pandas' python-backed string
// arrays), whose UTF-8 bytes the caller hands over cell by cell, or as Arrow
// string arrays (pandas' pyarrow-backed string dtypes), whose buffers are read
// here directly. Either way the kernel sees one Cell per row. The Cells view
// the caller's memory: it keeps the str objects or the Arrow buffers alive and
// unchanged while they are used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velmora::packed {

// One cell of the packed column. A cell without text (missing, or not a
// string) yields one sample, without a time.
struct Cell {
  std::string_view text;
  bool has_text = false;
};

// One Arrow array of type utf8 (32-bit offsets) or large_utf8 (64-bit
// offsets), as its buffers describe it: element i of the array is element
// `offset` + i of the buffers.
struct ArrowStrings {
  int64_t length = 0;
  int64_t offset = 0;
  const uint8_t* validity = nullptr;  // one bit per element, least significant first; null: all valid
  size_t validity_bytes = 0;
  const void* offsets = nullptr;  // length + 1 entries from `offset` on
  size_t offsets_bytes = 0;
  bool large = false;             // 64-bit offsets
  const char* data = nullptr;     // may be null when every string is empty
  size_t data_bytes = 0;
};

// The samples of a cell split on blanks: one more than its blanks (empty
// pieces count); a cell without text gives one.
size_t pieces_in(const Cell& cell);

class TextColumn {
 public:
  void reserve(size_t rows) { cells_.reserve(rows); }

  // The next cell: text (UTF-8), or none.
  void add_text(std::string_view text) {
    cells_.push_back(Cell{text, true});
    ++texts_;
  }
  void add_missing() { cells_.push_back(Cell{}); }

  // The elements of an Arrow string array, in order: a null element is a
  // cell without text. Throws std::invalid_argument, adding nothing, when the
  // buffers are too small for the array or its offsets run backwards or past
  // the data.
  void add_arrow(const ArrowStrings& array);

  std::span<const Cell> cells() const { return cells_; }
  size_t size() const { return cells_.size(); }
  // How many cells hold text.
  size_t texts() const { return texts_; }

 private:
  std::vector<Cell> cells_;
  size_t texts_ = 0;
};

}  // namespace velmora::packed
