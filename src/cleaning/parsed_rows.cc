#include "cleaning/parsed_rows.h"

#include <cstring>
#include <utility>

#include "cleaning/decimal_scan.h"
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
  for (size_t i = 0; i < cells.size(); ++i) first[i + 1] = first[i] + pieces_in(cells[i]);
  const size_t total = first.back();
  Buffer<float>& values = batches_.emplace_back(total);
  float* const out = values.data();

  // each thread's undecided pieces: where their value is, and their text
  using Found = std::vector<std::pair<const float*, std::string_view>>;
  const unsigned parts = total >= 2 * kSamplesPerThread ? threads : 1;
  const std::vector<size_t> bounds = share(std::span<const size_t>(first.data(), cells.size()), total, parts);
  std::vector<Found> found(bounds.size() - 1);
  float undecided_mark;
  std::memcpy(&undecided_mark, &kUndecidedBits, sizeof undecided_mark);
  run_shared(bounds, [&](size_t t, size_t from, size_t to) {
    for (size_t row = from; row < to; ++row) {
      float* v = out + first[row];
      const Cell& cell = cells[row];
      if (!cell.has_text) {
        *v = std::numeric_limits<float>::quiet_NaN();
        continue;
      }
      const char* p = cell.text.data();
      const char* const end = p + cell.text.size();
      while (true) {
        const char* stop;
        const Piece piece = scan_next(p, end, &stop);
        if (piece.kind == PieceKind::kUndecided) {
          *v = undecided_mark;
          found[t].emplace_back(v, std::string_view(p, static_cast<size_t>(stop - p)));
        } else {
          *v = piece.value;
        }
        ++v;
        if (stop == end) break;
        p = stop + 1;
      }
    }
  });

  rows_.reserve(rows_.size() + cells.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    rows_.push_back(ParsedRow{out + first[i], first[i + 1] - first[i], cells[i].has_text});
  }
  for (const Found& part : found) {
    for (const auto& [at, text] : part) undecided_.emplace(at, std::string(text));
  }
  pieces_ += total;
}

}  // namespace velmora::packed
