// Splitting a packed column into samples.
//
// A Split first counts the pieces of every cell and works out where each
// sample goes in the result (sample_order.h); the caller then allocates the
// result at its final size and has the split fill it: values, times, and,
// through its blocks, the source row of every result position. Large columns
// are shared among threads; the result does not depend on how many, nor on
// whether the threads could be started (run_shared, worker_threads.h). Only
// rows that go back in time need memory beyond the result: they are sorted.
//
// A Split reads the cells and the row starts it was made with until it is
// destroyed: the caller keeps them alive and unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cleaning/buffer.h"
#include "cleaning/packed_text.h"
#include "cleaning/parsed_rows.h"
#include "cleaning/piece_runs.h"
#include "cleaning/sample_order.h"
#include "cleaning/sample_times.h"
#include "cleaning/text_column.h"

namespace velmora::packed {

// How samples get their times: the k-th piece of a row lies k * rate after
// the row's start. Without row starts, the times are the offsets alone.
struct Stamp {
  SampleRate rate;
  std::optional<std::span<const int64_t>> row_start;  // ns since the epoch, kNaT for none
};

// Below this many samples a second thread costs more than it saves.
inline constexpr size_t kSamplesPerThread = 100'000;

// Below this many bytes of text a second thread counts no faster.
inline constexpr size_t kBytesPerThread = 1 << 20;

// Slots of a grid segment written as one tile (Split::fill).
inline constexpr uint64_t kTileSlots = 64;

// Contiguous ranges of work shared among `parts` threads: items begin at
// starts[0] < ... (non-decreasing) and `total` ends the last; range t is
// items [bounds[t], bounds[t+1]), each range about total / parts long.
std::vector<size_t> share(std::span<const size_t> starts, size_t total, unsigned parts);

// Where the pieces of each cell begin: first[0] = 0 and first[i + 1] =
// first[i] + pieces_in(cells[i]), for cells.size() + 1 entries; counted on up
// to `threads` threads when the text is long.
void count_pieces(std::span<const Cell> cells, std::span<size_t> first, unsigned threads);

// A piece that is neither a number nor a placeholder, at result position `at`.
struct Unsettled {
  size_t at;
  std::string_view text;
};

class Split {
 public:
  // Counts the pieces of every cell (with `split` false a whole cell is one
  // piece), on up to `threads` threads when the text is long, and works out
  // the result order: by time with a stamp that has row starts, else row
  // order. Throws std::overflow_error when a time leaves the int64 range.
  Split(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp, unsigned threads = 1);

  // The same split of rows whose pieces were read ahead: row i of the split
  // is parsed[order[i]] (each row of `parsed` at most once). Arranges and
  // writes the samples exactly as the split of those rows' text would.
  // Reads `parsed` until it is destroyed.
  Split(const ParsedRows& parsed, std::span<const size_t> order, const std::optional<Stamp>& stamp);

  size_t size() const { return first_.back(); }
  size_t rows() const { return first_.size() - 1; }
  // The samples of row `row` (one for a row without text).
  size_t samples_in(size_t row) const { return first_[row + 1] - first_[row]; }
  const Layout& layout() const { return layout_; }

  // Whether the samples are many enough to share among threads.
  bool worth_threads() const { return size() >= 2 * kSamplesPerThread && rows() > 1; }

  // Writes every sample, in result order: its value (NaN for a missing one)
  // and, with a stamp, its time (kNaT for none). `value` and `time` hold
  // size() elements (`time` none without a stamp). Uses up to `threads`
  // threads. Pieces that read_piece leaves undecided are kept for settle().
  void fill(std::span<float> value, std::span<int64_t> time, unsigned threads = 1);

  // Puts the filled samples in the order `order` (result position i takes
  // what is now at order[i]), which must be a permutation of 0 .. size()-1
  // (std::invalid_argument otherwise): for times that the caller adds up and
  // orders itself.
  void reorder(std::span<const int64_t> order, std::span<float> value);

  // Decides the undecided pieces with `read_number` (settle_piece) and writes
  // their values. Returns the piece that is neither a number nor a
  // placeholder and comes first in the result, if any (its value is then left
  // NaN). Exceptions of read_number pass through.
  std::optional<Unsettled> settle(std::span<float> value, const NumberReader& read_number) const;

  // Calls visit(rows, at, slots) for blocks of result positions that hold
  // the samples of `rows` (a span of row numbers) side by side: position
  // at + s * rows.size() + a, for s < slots, comes from rows[a]. Blocks come
  // in result order, and every position is in exactly one.
  template <typename Visit>
  void for_each_block(Visit&& visit) const;

 private:
  struct Part;
  // How the fill functions read the pieces of a row: from its text, or from
  // the values read ahead.
  struct TextPieces;
  struct ParsedPieces;
  // Counts and arranges, once first_ holds the pieces of every row.
  void arrange_rows();
  bool has_text(size_t row) const { return parsed_ ? parsed_rows_[row].has_text : cells_[row].has_text; }
  template <typename Pieces>
  void fill_with(const Pieces& pieces, std::span<float> value, std::span<int64_t> time, unsigned threads);
  template <typename Pieces>
  void fill_rows(const Pieces& pieces, size_t from, size_t to, std::span<float> value, std::span<int64_t> time,
                 Part& part) const;
  // Result positions [from, to) of the grid's segments, both at slot bounds.
  template <typename Pieces>
  void fill_segments(const Pieces& pieces, size_t from, size_t to, std::span<float> value,
                     std::span<int64_t> time, Part& part) const;
  std::vector<size_t> share_slots(unsigned parts) const;
  // The merged samples whose time keys lie in [from, to), from result
  // position `at` on.
  template <typename Pieces>
  void fill_merged(const Pieces& pieces, const TimeMerge& merge, uint64_t from, uint64_t to, size_t at,
                   std::span<float> value, std::span<int64_t> time, Part& part) const;
  TimeMerge merge() const { return TimeMerge(first_, layout_.start, stamp_->rate); }
  template <typename Pieces>
  void fill_untimed(const Pieces& pieces, std::span<float> value, std::span<int64_t> time, Part& part) const;
  void sort_by_time(std::span<float> value, std::span<int64_t> time);
  void apply_order(Buffer<int64_t>&& order, std::span<float> value, std::span<int64_t> time);
  int64_t row_start(size_t row) const;

  std::span<const Cell> cells_;
  const ParsedRows* parsed_ = nullptr;  // rows read ahead, in place of cells_
  std::vector<ParsedRow> parsed_rows_;  // the split's rows of *parsed_, in its order
  bool split_;
  std::optional<Stamp> stamp_;
  Buffer<size_t> first_;  // first sample of each row in row order; one more entry: the total
  Layout layout_;
  Buffer<size_t> row_of_;  // after a sort or reorder: the source row of each result position
  std::vector<PieceAt> undecided_;  // the undecided pieces by result position
};

template <typename Visit>
void Split::for_each_block(Visit&& visit) const {
  if (!row_of_.empty()) {
    for (size_t i = 0; i < row_of_.size();) {
      size_t j = i + 1;
      while (j < row_of_.size() && row_of_[j] == row_of_[i]) ++j;
      visit(std::span<const size_t>(&row_of_[i], 1), i, j - i);
      i = j;
    }
    return;
  }
  if (layout_.arrangement == Arrangement::kGrid || layout_.arrangement == Arrangement::kMerge) {
    if (layout_.arrangement == Arrangement::kGrid) {
      for (const Segment& segment : layout_.segments) {
        visit(std::span<const size_t>(layout_.rows.data() + segment.row_begin, segment.width()), segment.out,
              static_cast<size_t>(segment.slot_end - segment.slot_begin));
      }
    } else {
      // the merge once more, without the text: which row each run is from
      size_t at = 0;
      merge().runs(0, time_key(kNaT), [&](const size_t& row, size_t, size_t n) {
        visit(std::span<const size_t>(&row, 1), at, n);
        at += n;
      });
    }
    size_t at = layout_.untimed_out;
    for (const size_t& row : layout_.untimed) {
      const size_t count = first_[row + 1] - first_[row];
      visit(std::span<const size_t>(&row, 1), at, count);
      at += count;
    }
    return;
  }
  for (size_t row = 0; row < rows(); ++row) {
    visit(std::span<const size_t>(&row, 1), first_[row], first_[row + 1] - first_[row]);
  }
}

}  // namespace velmora::packed
