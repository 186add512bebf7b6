#include "cleaning/packed_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace velmora::packed {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Parses [sign] digits [. digits] [(e|E) [sign] digits], with at least one
// mantissa digit, and nothing else. Returns false for any other text and for
// numbers outside the range of double (Python turns those into inf or 0).
bool parse_plain_decimal(std::string_view s, double& out) {
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* start = p;  // std::from_chars takes '-' but not '+'
  if (*p == '+') {
    start = ++p;
  } else if (*p == '-') {
    ++p;
  }
  size_t mantissa_digits = 0;
  while (p < end && is_digit(*p)) {
    ++p;
    ++mantissa_digits;
  }
  if (p < end && *p == '.') {
    ++p;
    while (p < end && is_digit(*p)) {
      ++p;
      ++mantissa_digits;
    }
  }
  if (mantissa_digits == 0) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    const char* exponent = p;
    while (p < end && is_digit(*p)) ++p;
    if (p == exponent) return false;
  }
  if (p != end) return false;
  const auto [stop, ec] = std::from_chars(start, end, out);
  return ec == std::errc() && stop == end;
}

inline bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// The first blank in [p, end), or end.
inline const char* find_blank(const char* p, const char* end) {
  if (p == end) return end;
  const void* blank = std::memchr(p, ' ', static_cast<size_t>(end - p));
  return blank != nullptr ? static_cast<const char*>(blank) : end;
}

// Number of pieces of one cell.
inline size_t piece_count(const Cell& cell, bool split) {
  if (!cell.has_text || !split) return 1;
  size_t pieces = 1;
  const char* const end = cell.text.data() + cell.text.size();
  for (const char* p = find_blank(cell.text.data(), end); p != end; p = find_blank(p + 1, end)) {
    ++pieces;
  }
  return pieces;
}

}  // namespace

bool is_nines_placeholder(double value) {
  const double a = std::fabs(value);
  if (!(a >= 99999.0) || a > 1e15) return false;
  for (double nines = 99999.0; nines < 1e16; nines = nines * 10.0 + 9.0) {
    if (a == nines) return true;
  }
  return false;
}

float to_float32(double value) {
  // Half an ulp above FLT_MAX: from here on the nearest float is infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::fabs(value) >= kOverflow) {
    return std::signbit(value) ? -std::numeric_limits<float>::infinity()
                               : std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(value);  // NaN, or within range: exact IEEE rounding
}

bool contains_nines(std::string_view piece) { return contains(piece, "99999"); }

Piece read_piece(std::string_view piece) {
  if (piece.empty()) return {PieceKind::kMissing, kNaN};
  double number;
  if (parse_plain_decimal(piece, number)) {
    if (is_nines_placeholder(number)) return {PieceKind::kMissing, kNaN};
    return {PieceKind::kValue, to_float32(number)};
  }
  if (contains(piece, "NULL") || contains(piece, "null")) return {PieceKind::kMissing, kNaN};
  return {PieceKind::kUndecided, kNaN};
}

Samples split_cells(std::span<const Cell> cells, bool split) {
  size_t total = 0;
  for (const Cell& cell : cells) total += piece_count(cell, split);

  Samples out;
  out.row.resize(total);
  out.position.resize(total);
  out.value.resize(total);

  size_t k = 0;
  auto emit = [&](size_t row, int64_t position, std::string_view text) {
    const Piece piece = read_piece(text);
    out.row[k] = static_cast<int64_t>(row);
    out.position[k] = position;
    out.value[k] = piece.value;
    if (piece.kind == PieceKind::kUndecided) {
      out.undecided.push_back(k);
      out.undecided_text.push_back(text);
    }
    ++k;
  };

  for (size_t row = 0; row < cells.size(); ++row) {
    const Cell& cell = cells[row];
    if (!cell.has_text) {
      out.row[k] = static_cast<int64_t>(row);
      out.position[k] = kNoPosition;
      out.value[k] = kNaN;
      ++k;
      continue;
    }
    if (!split) {
      emit(row, 0, cell.text);
      continue;
    }
    const char* p = cell.text.data();
    const char* const end = p + cell.text.size();
    for (int64_t position = 0;; ++position) {
      const char* stop = find_blank(p, end);
      emit(row, position, std::string_view(p, static_cast<size_t>(stop - p)));
      if (stop == end) break;
      p = stop + 1;
    }
  }
  return out;
}

}  // namespace velmora::packed
