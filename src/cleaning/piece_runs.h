// Many pieces of a packed cell read at once.
//
// Reading a cell piece after piece makes each piece wait for the one before:
// where a piece begins is known only once the piece before has been read to
// its blank. read_pieces finds the blanks of 64 bytes at a time first, so
// that the pieces between them, whose ends are then known, are read
// independently of one another and the processor works on several at once.
// Values are written where the caller wants them: one after the other, or a
// fixed stride apart, as when the samples of several rows are interleaved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velmora::packed {

// A piece that read_piece leaves undecided: its index as the caller counts
// (see read_pieces) and its text.
struct PieceAt {
  size_t index;
  std::string_view text;
};

// Where the next `n` pieces of a cell go and how undecided ones are noted.
struct PieceRun {
  float* out;                // piece i's value goes to out[i * stride]
  size_t stride = 1;
  float undecided_value;     // written for an undecided piece
  size_t first_index = 0;    // piece i is noted as index first_index + i * stride
};

// Reads the next run.n pieces of the text [p, end), each exactly as
// read_piece reads it: a value, NaN for a missing sample, undecided_value
// for an undecided piece, which is also appended to `undecided`. Returns
// where the piece after the last one read begins: past its blank, or `end`
// when the last one ended there. A cell of k blanks holds k + 1 pieces; the
// caller asks for no more.
const char* read_pieces(const char* p, const char* end, size_t n, const PieceRun& run,
                        std::vector<PieceAt>& undecided);

// Whether read_pieces may read four short decimals at once with the
// processor's vector instructions where it has them (AVX2); allowed unless
// told otherwise, for tests that compare both ways. Returns whether it now
// will.
bool allow_vector_reading(bool allowed);

// The blanks among the 64 bytes from `p`: bit j set where p[j] is ' '.
uint64_t blanks_in_64(const char* p);
// The same without vector instructions, for processors that have none.
uint64_t blanks_in_64_portable(const char* p);

// The blanks of [p, end): one fewer than the pieces.
size_t count_blanks(const char* p, const char* end);

}  // namespace velmora::packed
