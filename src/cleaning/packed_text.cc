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

// Powers of ten that double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

bool is_written_nines(std::string_view piece) {
  const char* p = piece.data();
  const char* const end = p + piece.size();
  if (p < end && (*p == '+' || *p == '-')) ++p;
  while (p < end && *p == '0') ++p;
  const char* nines = p;
  while (p < end && *p == '9') ++p;
  if (p - nines < 5) return false;
  if (p < end && *p == '.') {
    ++p;
    while (p < end && *p == '0') ++p;
  }
  return p == end;
}

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
    if (is_nines_placeholder(number) || is_written_nines(piece)) return {PieceKind::kMissing, kNaN};
    return {PieceKind::kValue, to_float32(number)};
  }
  if (contains(piece, "NULL") || contains(piece, "null")) return {PieceKind::kMissing, kNaN};
  return {PieceKind::kUndecided, kNaN};
}

Piece settle_piece(std::string_view piece, std::optional<double> number) {
  if (number) {
    // written nines beyond a double's range read as infinity
    if (is_nines_placeholder(*number) || is_written_nines(piece)) return {PieceKind::kMissing, kNaN};
    return {PieceKind::kValue, to_float32(*number)};
  }
  if (contains_nines(piece)) return {PieceKind::kMissing, kNaN};
  return {PieceKind::kUndecided, kNaN};
}

Piece scan_piece(const char* begin, const char* end, const char** stop) {
  // Clinger's shortcut: a decimal of at most 19 significant digits whose
  // integer mantissa m fits in 53 bits, with a power of ten 10^e that double
  // holds exactly (|e| <= 22), is m * 10^e or m / 10^-e rounded once, which
  // IEEE arithmetic rounds correctly. Everything else goes to read_piece.
  const char* p = begin;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  uint64_t mantissa = 0;
  int digits = 0;
  int significant = 0;
  int exponent = 0;
  auto take_digit = [&](char c) {
    ++digits;
    if (significant > 0 || c != '0') {
      if (++significant <= 19) mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
    }
  };
  while (p < end && is_digit(*p)) take_digit(*p++);
  if (p < end && *p == '.') {
    ++p;
    while (p < end && is_digit(*p)) {
      take_digit(*p++);
      --exponent;
    }
  }
  const bool plain = digits > 0 && (p == end || *p == ' ');
  if (!plain || significant > 19 || mantissa > (uint64_t{1} << 53) || exponent < -22) {
    *stop = find_blank(p, end);
    return read_piece(std::string_view(begin, static_cast<size_t>(*stop - begin)));
  }
  *stop = p;
  double value = static_cast<double>(mantissa);
  if (exponent < 0) value /= kExactPowersOfTen[-exponent];
  if (negative) value = -value;
  if (is_nines_placeholder(value)) return {PieceKind::kMissing, kNaN};
  return {PieceKind::kValue, to_float32(value)};
}

}  // namespace velmora::packed
