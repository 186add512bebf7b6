#include "cleaning/split.h"

#include "cleaning/worker_threads.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <thread>

namespace velmora::packed {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline size_t count_blanks(const char* p, size_t n) {
  size_t blanks = 0;
  for (size_t i = 0; i < n; ++i) blanks += p[i] == ' ';
  return blanks;
}

inline size_t piece_count(const Cell& cell, bool split) {
  if (!cell.has_text || !split) return 1;
  return count_blanks(cell.text.data(), cell.text.size()) + 1;
}

// Sort key of a time: ascending, the missing time last.
inline uint64_t order_key(int64_t t) {
  return t == kNaT ? std::numeric_limits<uint64_t>::max()
                   : (static_cast<uint64_t>(t) ^ (uint64_t{1} << 63)) - 1;
}

// What one thread produces besides the shared buffers.
struct Part {
  std::vector<size_t> undecided;
  std::vector<std::string_view> undecided_text;
  bool time_ordered = true;
  std::exception_ptr error;
};

class Filler {
 public:
  Filler(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
         std::span<const size_t> first, Samples& out)
      : cells_(cells), split_(split), stamp_(stamp), first_(first), out_(out) {}

  // Fills the samples of rows [from, to).
  void operator()(size_t from, size_t to, Part& part) const {
    try {
      uint64_t last_key = 0;
      for (size_t row = from; row < to; ++row) fill_row(row, part, last_key);
    } catch (...) {
      part.error = std::current_exception();
    }
  }

 private:
  void fill_row(size_t row, Part& part, uint64_t& last_key) const {
    const Cell& cell = cells_[row];
    size_t k = first_[row];
    const int64_t start = stamp_ && stamp_->row_start ? (*stamp_->row_start)[row] : 0;
    auto store = [&](int64_t position, Piece piece, std::string_view text) {
      out_.value[k] = piece.value;
      if (stamp_) {
        const int64_t t = time_of(start, position);
        out_.time[k] = t;
        const uint64_t key = order_key(t);
        if (key < last_key) part.time_ordered = false;
        last_key = key;
      }
      if (piece.kind == PieceKind::kUndecided) {
        part.undecided.push_back(k);
        part.undecided_text.push_back(text);
      }
      ++k;
    };
    if (!cell.has_text) {
      store(-1, Piece{PieceKind::kMissing, kNaN}, {});
      return;
    }
    if (!split_) {
      store(0, read_piece(cell.text), cell.text);
      return;
    }
    const char* p = cell.text.data();
    const char* const end = p + cell.text.size();
    for (int64_t position = 0;; ++position) {
      const char* stop;
      const Piece piece = scan_piece(p, end, &stop);
      store(position, piece, std::string_view(p, static_cast<size_t>(stop - p)));
      if (stop == end) break;
      p = stop + 1;
    }
  }

  // Start of the row plus the offset of the piece; kNaT for a piece without
  // position (position -1) or a row without a start.
  int64_t time_of(int64_t start, int64_t position) const {
    if (position < 0) return kNaT;
    const int64_t offset = stamp_->rate.offset_ns(position);
    if (!stamp_->row_start) return offset;
    if (start == kNaT) return kNaT;
    int64_t t;
    if (__builtin_add_overflow(start, offset, &t) || t == kNaT) {
      throw std::overflow_error("Overflow in int64 addition");
    }
    return t;
  }

  std::span<const Cell> cells_;
  bool split_;
  const std::optional<Stamp>& stamp_;
  std::span<const size_t> first_;
  Samples& out_;
};

}  // namespace

Buffer<int64_t> sample_rows(std::span<const size_t> first) {
  Buffer<int64_t> rows(first.empty() ? 0 : first.back());
  for (size_t row = 0; row + 1 < first.size(); ++row) {
    std::fill(rows.begin() + static_cast<ptrdiff_t>(first[row]),
              rows.begin() + static_cast<ptrdiff_t>(first[row + 1]), static_cast<int64_t>(row));
  }
  return rows;
}

Samples split_cells(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
                    unsigned threads) {
  Samples out;
  out.first.resize(cells.size() + 1);
  Buffer<size_t>& first = out.first;
  first[0] = 0;
  for (size_t row = 0; row < cells.size(); ++row) {
    first[row + 1] = first[row] + piece_count(cells[row], split);
  }
  const size_t total = first[cells.size()];

  out.value.resize(total);
  if (stamp) out.time.resize(total);

  // Below this many samples a second thread costs more than it saves.
  constexpr size_t kSamplesPerThread = 100'000;
  if (threads == 0) threads = worker_threads();
  threads = static_cast<unsigned>(std::clamp<size_t>(total / kSamplesPerThread, 1, threads));
  threads = static_cast<unsigned>(std::min<size_t>(threads, std::max<size_t>(cells.size(), 1)));

  // Contiguous ranges of rows with about the same number of samples each.
  std::vector<size_t> bounds{0};
  for (unsigned t = 1; t < threads; ++t) {
    const size_t target = total / threads * t;
    const auto after = std::upper_bound(first.begin(), first.end() - 1, target);
    bounds.push_back(std::max(static_cast<size_t>(after - first.begin()) - 1, bounds.back()));
  }
  bounds.push_back(cells.size());

  const Filler filler(cells, split, stamp, first, out);
  std::vector<Part> parts(threads);
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 1; t < threads; ++t) {
      workers.emplace_back([&, t] { filler(bounds[t], bounds[t + 1], parts[t]); });
    }
    filler(bounds[0], bounds[1], parts[0]);
  }

  for (size_t t = 0; t < parts.size(); ++t) {
    Part& part = parts[t];
    if (part.error) std::rethrow_exception(part.error);
    out.time_ordered = out.time_ordered && part.time_ordered;
    // the two samples either side of the boundary between two ranges
    const size_t k = first[bounds[t]];
    if (stamp && k > 0 && k < total && order_key(out.time[k]) < order_key(out.time[k - 1])) {
      out.time_ordered = false;
    }
    out.undecided.insert(out.undecided.end(), part.undecided.begin(), part.undecided.end());
    out.undecided_text.insert(out.undecided_text.end(), part.undecided_text.begin(),
                              part.undecided_text.end());
  }
  if (!stamp) out.time_ordered = false;
  return out;
}

}  // namespace velmora::packed
