// Packed rows whose pieces are read before the rows are arranged.
//
// A fetch receives its packed rows in batches, and learns the order of the
// rows only when the last batch has come. ParsedRows reads the pieces of each
// batch as it arrives (on the kernel's threads, while the next batch is on
// its way), keeping four bytes per piece, so that the batch's text need not
// stay alive. A Split made from ParsedRows (split.h) then arranges and writes
// the samples exactly as it would from the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cleaning/buffer.h"
#include "cleaning/text_column.h"

namespace velmora::packed {

// One row read ahead: its pieces in row order. A cell without text is one
// missing sample without a time, as in a Split of text.
struct ParsedRow {
  const float* values = nullptr;
  size_t count = 1;
  bool has_text = false;
};

class ParsedRows {
 public:
  ParsedRows() = default;
  ParsedRows(const ParsedRows&) = delete;
  ParsedRows& operator=(const ParsedRows&) = delete;

  // Reads the cells (split on blanks) as the rows after those added so far,
  // on up to `threads` threads. The cells' text is not used after return.
  void add(std::span<const Cell> cells, unsigned threads = 1);

  size_t size() const { return rows_.size(); }
  const ParsedRow& operator[](size_t row) const { return rows_[row]; }
  // Pieces read so far.
  size_t pieces() const { return pieces_; }

  // Whether the piece at `value` is one that read_piece leaves undecided;
  // its text is then undecided_text(value) (valid while this object lives).
  static bool is_undecided(const float* value);
  std::string_view undecided_text(const float* value) const;

 private:
  std::vector<ParsedRow> rows_;
  std::deque<Buffer<float>> batches_;  // the values of every batch
  std::unordered_map<const float*, std::string> undecided_;
  size_t pieces_ = 0;
};

}  // namespace velmora::packed
