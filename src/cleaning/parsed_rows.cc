#include "cleaning/parsed_rows.h"

#include <cstring>
#include <limits>
#include <utility>

#include "cleaning/piece_runs.h"
#include "cleaning/split.h"
#include "cleaning/worker_threads.h"

namespace velmora::packed {
namespace {

// A signalling NaN: no piece reads as one (missing samples are quiet NaNs),
// so it marks the undecided pieces among the values.
constexpr uint32_t kUndecidedBits = 0x7f800001u;

}  // namespace

bool ParsedRows::is_undecided(const float* value) {
  uint32_t bits;
  std::memcpy(&bits, value, sizeof bits);
  return bits == kUndecidedBits;
}

std::string_view ParsedRows::undecided_text(const float* value) const {
  const auto found = undecided_.find(value);
  return found == undecided_.end() ? std::string_view() : std::string_view(found->second);
}

void ParsedRows::add(std::span<const Cell> cells, unsigned threads) {
  std::vector<size_t> first(cells.size() + 1, 0);
  count_pieces(cells, first, threads);
  const size_t total = first.back();
  Buffer<float>& values = batches_.emplace_back(total);
  float* const out = values.data();

  // each thread's undecided pieces, by their index among the batch's values
  const unsigned parts = total >= 2 * kSamplesPerThread ? threads : 1;
  const std::vector<size_t> bounds = share(std::span<const size_t>(first.data(), cells.size()), total, parts);
  std::vector<std::vector<PieceAt>> found(bounds.size() - 1);
  float undecided_mark;
  std::memcpy(&undecided_mark, &kUndecidedBits, sizeof undecided_mark);
  run_shared(bounds, [&](size_t t, size_t from, size_t to) {
    for (size_t row = from; row < to; ++row) {
      const Cell& cell = cells[row];
      if (!cell.has_text) {
        out[first[row]] = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      read_pieces(cell.text.data(), cell.text.data() + cell.text.size(), first[row + 1] - first[row],
                  PieceRun{out + first[row], 1, undecided_mark, first[row]}, found[t]);
    }
  });

  rows_.reserve(rows_.size() + cells.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    rows_.push_back(ParsedRow{out + first[i], first[i + 1] - first[i], cells[i].has_text});
  }
  for (const std::vector<PieceAt>& part : found) {
    for (const PieceAt& piece : part) undecided_.emplace(out + piece.index, std::string(piece.text));
  }
  pieces_ += total;
}

}  // namespace velmora::packed
