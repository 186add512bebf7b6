// Packed observation text: splitting, placeholder detection and number parsing.
//
// A packed cell holds the samples of one row as text separated by single
// blanks; each piece is a number or a placeholder for a missing sample. This
// unit reads one piece as a 32-bit float. It knows nothing of Python; pieces it
// cannot read with certainty are "undecided", for the caller to convert the
// way Python does.
#pragma once

#include <cstddef>
#include <cstdint>
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
//    float32); an integer of five or more digits that are all 9, such as 99999
//    or -999999.0, is the database's placeholder: missing;
//  - anything else (blanks, underscores, inf/nan, numbers beyond double range,
//    non-ASCII digits, garbage) is undecided.
Piece read_piece(std::string_view piece);

// Whether the value of a number is the all-nines placeholder (99999, 999999,
// ...), whatever its sign.
bool is_nines_placeholder(double value);

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

}  // namespace velmora::packed
