// Packed observation text: splitting, placeholder detection and number parsing.
//
// A packed cell holds the samples of one row as text separated by single
// blanks; each piece is a number or a placeholder for a missing sample. This
// unit reads one piece as a 32-bit float. It knows nothing of Python; pieces it
// cannot read with certainty are "undecided": settle_piece decides them once
// the caller has read them as numbers the way Python does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace velmora::packed {

enum class PieceKind : uint8_t {
  kValue,      // a number; `value` holds it
  kMissing,    // a placeholder for a missing sample
  kUndecided,  // not a number this parser accepts; the caller decides
};

struct Piece {
  PieceKind kind;
  float value;
};

// Reads one piece.
//  - empty, or containing "NULL" or "null": missing;
//  - a plain decimal number (optional sign, digits with an optional point,
//    optional exponent) is parsed exactly (correct rounding to double, then to
//    float32); the database's placeholder, a whole number of five or more
//    nines, is missing: a value such as 99999, -999999.0 or 9.9999e4, or a
//    text written as nines however many (see is_written_nines);
//  - anything else (blanks, underscores, inf/nan, numbers beyond double range,
//    non-ASCII digits, garbage) is undecided.
Piece read_piece(std::string_view piece);

// Whether the value of a number is the all-nines placeholder (99999, 999999,
// ...), whatever its sign. Only up to fifteen nines: a double holds no longer
// run of them exactly.
bool is_nines_placeholder(double value);

// Whether a piece is written as the all-nines placeholder: an optional sign,
// optional leading zeros, five or more 9s, then optionally a point and zeros
// ("99999", "-0999999", "9999999999999999.00"). Its length does not matter:
// sixteen nines and more, which a double rounds to a power of ten, still
// mark a missing sample.
bool is_written_nines(std::string_view piece);

// The float32 nearest to `value`, overflowing to infinity the way an IEEE cast
// does, without the undefined behaviour of a C++ cast of an out-of-range value.
float to_float32(double value);

// Whether a piece that is not a number still counts as missing: it carries the
// digits 99999.
bool contains_nines(std::string_view piece);

// Reads the piece that begins at `begin` and ends at the next blank or at
// `end`; stores where it ends in `*stop`. Same result as `read_piece` on that
// piece, with a shortcut for short plain decimals.
Piece scan_piece(const char* begin, const char* end, const char** stop);

// How the caller reads a piece as a number: the value, or nullopt when the
// text is no number at all. Python's float() is what it stands for.
using NumberReader = std::function<std::optional<double>(std::string_view)>;

// An undecided piece, once `number` (the caller's reading of it) is known:
//  - a number: missing when it is the all-nines placeholder or written as
//    nines (however many: four hundred of them read as infinity), else its
//    value as float32 (infinities and NaN included);
//  - no number: missing when the text carries the digits 99999, else still
//    undecided: the piece is neither a number nor a placeholder.
Piece settle_piece(std::string_view piece, std::optional<double> number);

}  // namespace velmora::packed
