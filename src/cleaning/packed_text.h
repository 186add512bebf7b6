// Packed observation text: splitting, placeholder detection and number parsing.
//
// A packed cell holds the samples of one row as text separated by single
// blanks. This unit turns a column of such cells into one entry per sample: the
// source row, the position within the row and the value as a 32-bit float.
// It knows nothing of Python; pieces it cannot read with certainty are handed
// back as "undecided" so that the caller can convert them the way Python does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velmora::packed {

// One cell of the packed column. A cell without text (missing, or not a
// string) yields one sample without a position.
struct Cell {
  std::string_view text;
  bool has_text = false;
};

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

inline constexpr int64_t kNoPosition = -1;

struct Samples {
  std::vector<int64_t> row;       // source row of each sample
  std::vector<int64_t> position;  // position within the row; kNoPosition for a cell without text
  std::vector<float> value;       // NaN for a missing sample
  std::vector<size_t> undecided;  // indices of samples that `read_piece` left undecided
  std::vector<std::string_view> undecided_text;  // their text, in the same order
};

// Splits every cell at single blanks (when `split` is false, a whole cell is
// one piece) and reads each piece. Samples are in row order, then position.
Samples split_cells(std::span<const Cell> cells, bool split);

}  // namespace velmora::packed
