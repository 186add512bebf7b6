#include "cleaning/split.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "cleaning/piece_runs.h"
#include "cleaning/worker_threads.h"

namespace velmora::packed {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

[[noreturn]] void overflow() { throw std::overflow_error("Overflow in int64 addition"); }

// The position just past the blank that ends the piece at `p`, or `end`.
const char* after_piece(const char* p, const char* end) {
  const void* blank = std::memchr(p, ' ', static_cast<size_t>(end - p));
  return blank != nullptr ? static_cast<const char*>(blank) + 1 : end;
}

}  // namespace

// What one thread collects besides the shared buffers: the undecided pieces
// by result position.
struct Split::Part {
  std::vector<PieceAt> undecided;
};

std::vector<size_t> share(std::span<const size_t> starts, size_t total, unsigned parts) {
  parts = static_cast<unsigned>(std::clamp<size_t>(parts, 1, std::max<size_t>(starts.size(), 1)));
  std::vector<size_t> bounds{0};
  for (unsigned t = 1; t < parts; ++t) {
    const size_t target = total / parts * t;
    // the last item that begins at or before the target
    const auto after = std::upper_bound(starts.begin(), starts.end(), target);
    bounds.push_back(std::max(static_cast<size_t>(after - starts.begin()) - 1, bounds.back()));
  }
  bounds.push_back(starts.size());
  return bounds;
}

void count_pieces(std::span<const Cell> cells, std::span<size_t> first, unsigned threads) {
  const size_t rows = cells.size();
  // each row's pieces, counted in ranges of about equal text, then summed
  std::vector<size_t> bytes_before(rows);
  size_t bytes = 0;
  for (size_t row = 0; row < rows; ++row) {
    bytes_before[row] = bytes;
    bytes += cells[row].text.size();
  }
  const auto parts = static_cast<unsigned>(std::clamp<size_t>(bytes / kBytesPerThread, 1, std::max(threads, 1u)));
  run_shared(share(bytes_before, bytes, parts), [&](size_t, size_t from, size_t to) {
    for (size_t row = from; row < to; ++row) first[row + 1] = pieces_in(cells[row]);
  });
  first[0] = 0;
  for (size_t row = 0; row < rows; ++row) first[row + 1] += first[row];
}

Split::Split(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp, unsigned threads)
    : cells_(cells), split_(split), stamp_(stamp) {
  first_.resize(cells.size() + 1);
  if (split) {
    count_pieces(cells, first_, threads);
  } else {
    for (size_t row = 0; row <= cells.size(); ++row) first_[row] = row;  // a whole cell is one piece
  }
  arrange_rows();
}

Split::Split(const ParsedRows& parsed, std::span<const size_t> order, const std::optional<Stamp>& stamp)
    : parsed_(&parsed), split_(true), stamp_(stamp) {
  const size_t rows = order.size();
  std::vector<bool> taken(parsed.size(), false);
  parsed_rows_.reserve(rows);
  first_.resize(rows + 1);
  first_[0] = 0;
  for (size_t row = 0; row < rows; ++row) {
    if (order[row] >= parsed.size() || taken[order[row]]) {
      throw std::invalid_argument("the order names a row that was not read, or one row twice");
    }
    taken[order[row]] = true;
    parsed_rows_.push_back(parsed[order[row]]);
    first_[row + 1] = first_[row] + parsed_rows_.back().count;
  }
  arrange_rows();
}

void Split::arrange_rows() {
  const size_t rows = first_.size() - 1;
  if (stamp_ && stamp_->row_start && stamp_->row_start->size() != rows) {
    throw std::invalid_argument("one row start per cell is needed");
  }
  if (!stamp_) return;

  // The times of a row lie between its first and its last: when the last
  // fits in int64, all do.
  const SampleRate& rate = stamp_->rate;
  std::vector<int64_t> start(rows, kNaT);
  for (size_t row = 0; row < rows; ++row) {
    if (!has_text(row)) continue;
    const int64_t offset = rate.offset_ns(static_cast<int64_t>(first_[row + 1] - first_[row]) - 1);
    if (!stamp_->row_start) continue;
    const int64_t at = (*stamp_->row_start)[row];
    if (at == kNaT) continue;
    int64_t last;
    if (__builtin_add_overflow(at, offset, &last) || last == kNaT) overflow();
    start[row] = at;
  }
  if (stamp_->row_start) layout_ = arrange(first_, start, rate, rows + size() / 8);
}

// The pieces of text cells, read as the fill goes.
struct Split::TextPieces {
  const Split& split;
  struct Cursor {
    const char* p;
    const char* end;
  };
  Cursor open(size_t row) const {
    const std::string_view text = split.cells_[row].text;
    return Cursor{text.data(), text.data() + text.size()};
  }
  static void skip(Cursor& cursor, size_t pieces) {
    for (; pieces > 0; --pieces) cursor.p = after_piece(cursor.p, cursor.end);
  }
  // The next n pieces to value[at + i * stride], the undecided ones noted in
  // `part` at their result positions.
  void read(Cursor& cursor, size_t n, std::span<float> value, size_t at, size_t stride, Part& part) const {
    if (split.split_) {
      cursor.p = read_pieces(cursor.p, cursor.end, n, PieceRun{value.data() + at, stride, kNaN, at}, part.undecided);
      return;
    }
    // the whole cell is the piece
    const std::string_view text(cursor.p, static_cast<size_t>(cursor.end - cursor.p));
    const Piece piece = read_piece(text);
    value[at] = piece.value;
    if (piece.kind == PieceKind::kUndecided) part.undecided.push_back(PieceAt{at, text});
    cursor.p = cursor.end;
  }
};

// The pieces of rows read ahead.
struct Split::ParsedPieces {
  const Split& split;
  struct Cursor {
    const float* v;
  };
  Cursor open(size_t row) const { return Cursor{split.parsed_rows_[row].values}; }
  static void skip(Cursor& cursor, size_t pieces) { cursor.v += pieces; }
  void read(Cursor& cursor, size_t n, std::span<float> value, size_t at, size_t stride, Part& part) const {
    for (size_t i = 0; i < n; ++i, at += stride) {
      const float* v = cursor.v++;
      if (!ParsedRows::is_undecided(v)) {
        value[at] = *v;
        continue;
      }
      value[at] = kNaN;
      part.undecided.push_back(PieceAt{at, split.parsed_->undecided_text(v)});
    }
  }
};

std::vector<size_t> Split::share_slots(unsigned parts) const {
  // ranges of result positions of about equal length, each beginning at a
  // slot of a segment
  const std::vector<Segment>& segments = layout_.segments;
  const size_t total = layout_.untimed_out;
  std::vector<size_t> bounds{0};
  for (unsigned t = 1; t < parts; ++t) {
    const size_t target = total / parts * t;
    const auto after = std::upper_bound(segments.begin(), segments.end(), target,
                                        [](size_t at, const Segment& s) { return at < s.out; });
    if (after == segments.begin()) continue;
    const Segment& segment = *(after - 1);
    const size_t at = segment.out + (target - segment.out) / segment.width() * segment.width();
    if (at > bounds.back() && at < total) bounds.push_back(at);
  }
  bounds.push_back(total);
  return bounds;
}

int64_t Split::row_start(size_t row) const {
  return stamp_ && stamp_->row_start && has_text(row) ? (*stamp_->row_start)[row] : kNaT;
}

template <typename Pieces>
void Split::fill_rows(const Pieces& pieces, size_t from, size_t to, std::span<float> value,
                      std::span<int64_t> time, Part& part) const {
  const bool timed = stamp_.has_value();
  const bool offsets_only = timed && !stamp_->row_start;
  const std::optional<int64_t> step = timed ? stamp_->rate.step_ns() : std::nullopt;
  for (size_t row = from; row < to; ++row) {
    size_t k = first_[row];
    const size_t end = first_[row + 1];
    if (!has_text(row)) {
      value[k] = kNaN;
      if (timed) time[k] = kNaT;
      continue;
    }
    typename Pieces::Cursor cursor = pieces.open(row);
    const int64_t start = offsets_only ? 0 : row_start(row);
    if (timed && start == kNaT) {
      std::fill(time.begin() + static_cast<ptrdiff_t>(k), time.begin() + static_cast<ptrdiff_t>(end), kNaT);
    }
    pieces.read(cursor, end - k, value, k, 1, part);
    if (!timed || start == kNaT) continue;
    if (step) {
      // whole steps: each time one step after the last (no overflow: the
      // row's last time fits)
      uint64_t t = static_cast<uint64_t>(start);
      for (; k < end; ++k, t += static_cast<uint64_t>(*step)) time[k] = static_cast<int64_t>(t);
    } else {
      for (int64_t position = 0; k < end; ++position, ++k) time[k] = start + stamp_->rate.offset_ns(position);
    }
  }
}

template <typename Pieces>
void Split::fill_segments(const Pieces& pieces, size_t from, size_t to, std::span<float> value,
                          std::span<int64_t> time, Part& part) const {
  struct Cursor {
    typename Pieces::Cursor at;
    uint64_t phase;  // the row's times after those of the slots
  };
  if (from >= to) return;
  const std::vector<Segment>& segments = layout_.segments;
  // the segment that holds position `from`
  size_t g = static_cast<size_t>(std::upper_bound(segments.begin(), segments.end(), from,
                                                  [](size_t at, const Segment& s) { return at < s.out; }) -
                                 segments.begin()) -
             1;
  // the cursor of each row of the segment at hand, and of the one before
  std::vector<Cursor> cursors, next;
  std::span<const size_t> previous;
  const uint64_t step = static_cast<uint64_t>(layout_.step);
  for (; g < segments.size() && segments[g].out < to; ++g) {
    const Segment& segment = segments[g];
    const size_t width = segment.width();
    const uint64_t slots = segment.slot_end - segment.slot_begin;
    // this range's slots of the segment: [first_slot, last_slot)
    const uint64_t first_slot = (std::max(from, segment.out) - segment.out) / width;
    const uint64_t last_slot = std::min<uint64_t>((to - segment.out) / width, slots);
    const std::span<const size_t> rows(layout_.rows.data() + segment.row_begin, width);
    // Rows go on from the segment before (in this range), or begin here: at
    // their first piece, or, where the range or the row begins earlier,
    // further on.
    next.clear();
    size_t before = 0;
    // both lists in the order of the segments: by phase, then by row
    const auto earlier = [&](size_t a, size_t b) {
      if (!layout_.phase.empty() && layout_.phase[a] != layout_.phase[b]) return layout_.phase[a] < layout_.phase[b];
      return a < b;
    };
    for (const size_t row : rows) {
      while (before < previous.size() && earlier(previous[before], row)) ++before;
      if (before < previous.size() && previous[before] == row) {
        next.push_back(cursors[before]);
        continue;
      }
      const uint64_t phase = layout_.phase.empty() ? 0 : static_cast<uint64_t>(layout_.phase[row]);
      Cursor cursor{pieces.open(row), phase};
      Pieces::skip(cursor.at, static_cast<size_t>(segment.slot_begin + first_slot - layout_.slot[row]));
      next.push_back(cursor);
    }
    cursors.swap(next);
    previous = rows;

    // Tiles of slots: the pieces of each row in turn, a tile's worth, to
    // every width-th position; the tile's results stay in the cache while
    // its rows are read one after the other.
    size_t at = segment.out + static_cast<size_t>(first_slot) * width;
    uint64_t t = static_cast<uint64_t>(layout_.base) + (segment.slot_begin + first_slot) * step;
    for (uint64_t s = first_slot; s < last_slot;) {
      const auto slots = static_cast<size_t>(std::min<uint64_t>(kTileSlots, last_slot - s));
      for (size_t a = 0; a < width; ++a) pieces.read(cursors[a].at, slots, value, at + a, width, part);
      for (size_t slot = 0; slot < slots; ++slot, t += step) {
        for (const Cursor& cursor : cursors) time[at++] = static_cast<int64_t>(t + cursor.phase);
      }
      s += slots;
    }
  }
}

template <typename Pieces>
void Split::fill_merged(const Pieces& pieces, const TimeMerge& merge, uint64_t from, uint64_t to, size_t at,
                        std::span<float> value, std::span<int64_t> time, Part& part) const {
  struct Cursor {
    typename Pieces::Cursor at{};
    bool open = false;
  };
  std::vector<Cursor> cursors(rows());
  const std::optional<int64_t> step = stamp_->rate.step_ns();
  merge.runs(from, to, [&](size_t row, size_t k, size_t n) {
    Cursor& cursor = cursors[row];
    if (!cursor.open) {
      // the row's first piece in this range: k pieces in
      cursor = Cursor{pieces.open(row), true};
      Pieces::skip(cursor.at, k);
    }
    // whole steps: each time one step after the last (no overflow: the
    // row's last time fits)
    pieces.read(cursor.at, n, value, at, 1, part);
    uint64_t t = static_cast<uint64_t>(merge.time(row, k));
    for (size_t i = 0; i < n; ++i, ++at) {
      if (step) {
        time[at] = static_cast<int64_t>(t);
        t += static_cast<uint64_t>(*step);
      } else {
        time[at] = merge.time(row, k + i);
      }
    }
  });
}

template <typename Pieces>
void Split::fill_untimed(const Pieces& pieces, std::span<float> value, std::span<int64_t> time,
                         Part& part) const {
  size_t at = layout_.untimed_out;
  for (const size_t row : layout_.untimed) {
    if (!has_text(row)) {
      value[at] = kNaN;
      time[at++] = kNaT;
      continue;
    }
    typename Pieces::Cursor cursor = pieces.open(row);
    const size_t n = first_[row + 1] - first_[row];
    pieces.read(cursor, n, value, at, 1, part);
    std::fill_n(time.begin() + static_cast<ptrdiff_t>(at), n, kNaT);
    at += n;
  }
}

void Split::fill(std::span<float> value, std::span<int64_t> time, unsigned threads) {
  if (value.size() != size() || time.size() != (stamp_ ? size() : 0)) {
    throw std::invalid_argument("the result buffers do not fit the samples");
  }
  if (parsed_) {
    fill_with(ParsedPieces{*this}, value, time, threads);
  } else {
    fill_with(TextPieces{*this}, value, time, threads);
  }
}

template <typename Pieces>
void Split::fill_with(const Pieces& pieces, std::span<float> value, std::span<int64_t> time, unsigned threads) {
  if (!worth_threads()) threads = 1;
  threads = static_cast<unsigned>(std::clamp<size_t>(size() / kSamplesPerThread, 1, std::max(threads, 1u)));
  const Arrangement arrangement = layout_.arrangement;
  std::vector<size_t> bounds;
  std::optional<TimeMerge> merged;
  std::vector<uint64_t> cuts;  // kMerge: the time keys between the ranges
  if (arrangement == Arrangement::kGrid) {
    bounds = share_slots(threads);
  } else if (arrangement == Arrangement::kMerge) {
    merged.emplace(merge());
    cuts = merged->cuts(threads);
    for (const uint64_t cut : cuts) bounds.push_back(cut == 0 ? 0 : merged->before(cut));
    bounds.back() = layout_.untimed_out;
  } else {
    bounds = share(std::span<const size_t>(first_.data(), rows()), size(), threads);
  }
  std::vector<Part> parts(bounds.size() - 1);
  run_shared(bounds, [&](size_t t, size_t from, size_t to) {
    if (arrangement == Arrangement::kGrid) {
      fill_segments(pieces, from, to, value, time, parts[t]);
    } else if (arrangement == Arrangement::kMerge) {
      fill_merged(pieces, *merged, cuts[t], cuts[t + 1], from, value, time, parts[t]);
    } else {
      fill_rows(pieces, from, to, value, time, parts[t]);
    }
  });
  if (arrangement == Arrangement::kGrid || arrangement == Arrangement::kMerge) {
    fill_untimed(pieces, value, time, parts.back());
  }

  undecided_.clear();
  for (const Part& part : parts) undecided_.insert(undecided_.end(), part.undecided.begin(), part.undecided.end());
  if (layout_.arrangement == Arrangement::kSort) sort_by_time(value, time);
}

void Split::sort_by_time(std::span<float> value, std::span<int64_t> time) {
  apply_order(stable_time_order(time), value, time);
}

void Split::apply_order(Buffer<int64_t>&& order, std::span<float> value, std::span<int64_t> time) {
  const size_t n = size();
  // where each sample goes, for the undecided ones
  if (!undecided_.empty()) {
    Buffer<size_t> position(n);
    for (size_t i = 0; i < n; ++i) position[static_cast<size_t>(order[i])] = i;
    for (PieceAt& piece : undecided_) piece.index = position[piece.index];
  }
  {
    const Buffer<float> was(value.begin(), value.end());
    for (size_t i = 0; i < n; ++i) value[i] = was[static_cast<size_t>(order[i])];
  }
  if (!time.empty()) {
    const Buffer<int64_t> was(time.begin(), time.end());
    for (size_t i = 0; i < n; ++i) time[i] = was[static_cast<size_t>(order[i])];
  }
  // the source row of each position, in the order's storage
  Buffer<size_t> row_of(n);
  for (size_t row = 0; row < rows(); ++row) {
    std::fill(row_of.begin() + static_cast<ptrdiff_t>(first_[row]),
              row_of.begin() + static_cast<ptrdiff_t>(first_[row + 1]), row);
  }
  row_of_.resize(n);
  for (size_t i = 0; i < n; ++i) row_of_[i] = row_of[static_cast<size_t>(order[i])];
}

void Split::reorder(std::span<const int64_t> order, std::span<float> value) {
  const size_t n = size();
  if (order.size() != n || value.size() != n) throw std::invalid_argument("the order does not fit the samples");
  std::vector<bool> seen(n, false);
  for (const int64_t i : order) {
    if (i < 0 || static_cast<size_t>(i) >= n || seen[static_cast<size_t>(i)]) {
      throw std::invalid_argument("the order is not a permutation of the samples");
    }
    seen[static_cast<size_t>(i)] = true;
  }
  apply_order(Buffer<int64_t>(order.begin(), order.end()), value, {});
}

std::optional<Unsettled> Split::settle(std::span<float> value, const NumberReader& read_number) const {
  const PieceAt* failed = nullptr;
  for (const PieceAt& undecided : undecided_) {
    const Piece piece = settle_piece(undecided.text, read_number(undecided.text));
    value[undecided.index] = piece.value;
    if (piece.kind == PieceKind::kUndecided && (failed == nullptr || undecided.index < failed->index)) {
      failed = &undecided;
    }
  }
  if (failed == nullptr) return std::nullopt;
  return Unsettled{failed->index, failed->text};
}

}  // namespace velmora::packed
