// Short plain decimals read eight bytes at a time.
//
// Most pieces of a packed column are short decimals such as "100.123": a few
// digits, perhaps a point, then the blank before the next piece. For those,
// scan_short_decimal finds the point and the blank among eight bytes at once
// and gathers the digits with three multiplications, without a branch per
// byte; the value is the digits as an integer m (below 10^7) divided by 10^f
// (f the digits after the point), which IEEE double arithmetic rounds
// correctly because both are exact doubles, and then rounded to float32:
// exactly float32(float(piece)) as Python reads it, the value scan_piece
// gives. Every other piece is left to scan_piece (scan_next does both).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "cleaning/packed_text.h"

namespace velmora::packed {

namespace decimal_detail {

inline constexpr uint64_t kEachByte = 0x0101010101010101;

// 0x80 in every byte of `w` that is not an ASCII digit, 0 in the others.
inline uint64_t non_digits(uint64_t w) {
  const uint64_t x = w ^ (kEachByte * '0');                    // digits become 0 .. 9
  const uint64_t y = (x & (kEachByte * 0x7F)) + kEachByte * 0x76;  // high bit set from 10 on; no carry
  return (x | y) & (kEachByte * 0x80);
}

// The bytes below byte `n` (n < 8).
inline uint64_t low_bytes(int n) { return (uint64_t{1} << (8 * n)) - 1; }

// The value of n ASCII digits (1 <= n <= 7) in the low bytes of `w`, the
// first (most significant) in byte 0: shifted up so that zeros lead, then
// pairs, quads and the two halves joined.
inline uint64_t digits_value(uint64_t w, int n) {
  uint64_t x = (w << (8 * (8 - n))) & (kEachByte * 0x0F);
  x = (x * (10 * 256 + 1)) >> 8;
  x = ((x & 0x00FF00FF00FF00FF) * (100 * 65536 + 1)) >> 16;
  x = ((x & 0x0000FFFF0000FFFF) * (10000 * (uint64_t{1} << 32) + 1)) >> 32;
  return x;
}

inline constexpr double kPowersOfTen[8] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
// The doubles nearest to 10^-f.
inline constexpr double kInversePowersOfTen[8] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};

// float32 of the double nearest to m / 10^f (m < 2^53, f < 8), as the
// division gives it, mostly by a multiplication instead. The product p of m
// and the double nearest to 10^-f lies within two units in the last place of
// m / 10^f (two roundings of at most half a unit each, the first one scaled
// by m) and so within three doubles of the correctly rounded quotient q. A
// float32 rounds at the midpoints between floats, which are doubles whose 29
// bits below float precision read 2^28: where p lies further than that from
// every midpoint, p and q lie on the same side of it and round to the same
// float. Near one (about one product in ten million), the division decides.
inline float quotient_to_float32(uint64_t m, int f) {
  const double p = static_cast<double>(m) * kInversePowersOfTen[f];
  const uint64_t below_float = std::bit_cast<uint64_t>(p) & ((uint64_t{1} << 29) - 1);
  if (below_float - ((uint64_t{1} << 28) - 8) <= 16) {
    return static_cast<float>(static_cast<double>(m) / kPowersOfTen[f]);
  }
  return static_cast<float>(p);
}
// 99999 * 10^f: an m / 10^f below it is below the smallest nines placeholder.
inline constexpr uint64_t kNinesFloor[8] = {99999,       999990,       9999900,       99999000,
                                            999990000,   9999900000,   99999000000,   999990000000};

}  // namespace decimal_detail

// A piece of the form [+|-] digits [. digits], with one to seven digits in
// all, followed by a blank, when the nine bytes from `begin` lie before
// `end`: stores its value (missing for a nines placeholder, as read_piece
// decides) in `*piece` and where it ends (its blank) in `*stop`, and returns
// true. Returns false, storing nothing, for any other piece. Reads no byte at
// or after `end`.
inline bool scan_short_decimal(const char* begin, const char* end, const char** stop, Piece* piece) {
  using namespace decimal_detail;
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    if (end - begin < 9) return false;
    const bool negative = *begin == '-';
    const char* const q = begin + (negative || *begin == '+');
    uint64_t w;
    std::memcpy(&w, q, 8);
    const uint64_t other = non_digits(w);
    if (other == 0) return false;  // eight digits or more
    const int point = std::countr_zero(other) >> 3;
    int after = point;  // the byte after the number
    int digits = point;
    int fraction = 0;
    uint64_t gathered = w & low_bytes(point);
    if (static_cast<char>(w >> (8 * point)) == '.') {
      if (point == 7) return false;
      const uint64_t rest = other & ~low_bytes(point + 1);
      if (rest == 0) return false;
      after = std::countr_zero(rest) >> 3;
      fraction = after - point - 1;
      digits = after - 1;
      // the digits after the point moved down over it
      gathered |= (w >> 8) & ~low_bytes(point) & low_bytes(digits);
    }
    if (digits == 0 || static_cast<char>(w >> (8 * after)) != ' ') return false;
    const uint64_t m = digits_value(gathered, digits);
    *stop = q + after;
    if (m >= kNinesFloor[fraction] && is_nines_placeholder(static_cast<double>(m) / kPowersOfTen[fraction])) {
      *piece = Piece{PieceKind::kMissing, std::numeric_limits<float>::quiet_NaN()};
      return true;
    }
    // the sign after rounding, which is symmetric
    const float magnitude = quotient_to_float32(m, fraction);
    *piece = Piece{PieceKind::kValue, negative ? -magnitude : magnitude};
    return true;
  }
}

// The same short decimal when the piece is known to be [begin, end), as
// between two blanks: stores its value in `*value` (NaN for a nines
// placeholder) and returns true; returns false for any other piece. Reads
// the eight bytes after the sign whatever the piece's length: the caller
// makes sure they lie inside its text. Pieces read this way depend on
// nothing but their own bytes, so that many of them are read at once.
inline bool short_decimal_between(const char* begin, const char* end, float* value) {
  using namespace decimal_detail;
  if constexpr (std::endian::native != std::endian::little) {
    return false;
  } else {
    const bool negative = *begin == '-';
    const char* const q = begin + (negative || *begin == '+');
    const ptrdiff_t n = end - q;  // digits and the point
    if (n < 1 || n > 8) return false;
    uint64_t w;
    std::memcpy(&w, q, 8);
    const uint64_t keep = n == 8 ? ~uint64_t{0} : low_bytes(static_cast<int>(n));
    const uint64_t other = non_digits(w) & keep;
    int digits = static_cast<int>(n);
    int fraction = 0;
    uint64_t gathered = w & keep;
    if (other != 0) {
      if ((other & (other - 1)) != 0) return false;  // more than one non-digit
      const int point = std::countr_zero(other) >> 3;
      if (static_cast<char>(w >> (8 * point)) != '.') return false;
      digits = static_cast<int>(n) - 1;
      fraction = digits - point;
      // the digits after the point moved down over it
      gathered = (w & low_bytes(point)) | ((w >> 8) & ~low_bytes(point) & low_bytes(digits));
    }
    if (digits == 0 || digits > 7) return false;
    const uint64_t m = digits_value(gathered, digits);
    if (m >= kNinesFloor[fraction] && is_nines_placeholder(static_cast<double>(m) / kPowersOfTen[fraction])) {
      *value = std::numeric_limits<float>::quiet_NaN();
      return true;
    }
    const float magnitude = quotient_to_float32(m, fraction);
    *value = negative ? -magnitude : magnitude;
    return true;
  }
}

// The piece at `begin` as scan_piece reads it, short decimals first.
inline Piece scan_next(const char* begin, const char* end, const char** stop) {
  Piece piece;
  if (scan_short_decimal(begin, end, stop, &piece)) return piece;
  return scan_piece(begin, end, stop);
}

}  // namespace velmora::packed
