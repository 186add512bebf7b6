#include "cleaning/piece_runs.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cleaning/decimal_scan.h"
#include "cleaning/packed_text.h"

namespace velmora::packed {
namespace {

constexpr uint64_t kEachByte = 0x0101010101010101;

// 0x80 in every byte of `w` that is a blank: exact, no carries between bytes.
inline uint64_t blank_bytes(uint64_t w) {
  const uint64_t x = w ^ (kEachByte * ' ');  // blanks become 0
  const uint64_t t = ((x & (kEachByte * 0x7F)) + kEachByte * 0x7F) | x;
  return ~t & (kEachByte * 0x80);
}

// One bit per byte of blank_bytes, byte j to bit j.
inline uint64_t gather_high_bits(uint64_t marks) { return ((marks >> 7) * 0x0102040810204080) >> 56; }

inline uint64_t fast_blanks(const char* p) {
#if defined(__SSE2__)
  return blanks_in_64(p);
#else
  return blanks_in_64_portable(p);
#endif
}

// The piece [begin, stop) read in full; `room`: the eight bytes after its
// sign lie inside the text.
inline void read_one(const char* begin, const char* stop, bool room, size_t i, const PieceRun& run,
                     std::vector<PieceAt>& undecided) {
  float& out = run.out[i * run.stride];
  if (room && short_decimal_between(begin, stop, &out)) return;
  const char* unused;
  const Piece piece = scan_piece(begin, stop, &unused);
  if (piece.kind == PieceKind::kUndecided) {
    out = run.undecided_value;
    undecided.push_back(PieceAt{run.first_index + i * run.stride,
                                std::string_view(begin, static_cast<size_t>(stop - begin))});
  } else {
    out = piece.value;
  }
}

}  // namespace

uint64_t blanks_in_64(const char* p) {
#if defined(__SSE2__)
  const __m128i blank = _mm_set1_epi8(' ');
  uint64_t mask = 0;
  for (int part = 0; part < 4; ++part) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
    const auto bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, blank)));
    mask |= uint64_t{bits} << (16 * part);
  }
  return mask;
#else
  return blanks_in_64_portable(p);
#endif
}

uint64_t blanks_in_64_portable(const char* p) {
  uint64_t mask = 0;
  for (int word = 0; word < 8; ++word) {
    uint64_t w;
    std::memcpy(&w, p + 8 * word, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    mask |= gather_high_bits(blank_bytes(w)) << (8 * word);
  }
  return mask;
}

size_t count_blanks(const char* p, const char* end) {
  size_t blanks = 0;
  for (; end - p >= 64; p += 64) blanks += static_cast<size_t>(std::popcount(fast_blanks(p)));
  for (; p < end; ++p) blanks += *p == ' ';
  return blanks;
}

const char* read_pieces(const char* p, const char* end, size_t n, const PieceRun& run,
                        std::vector<PieceAt>& undecided) {
  size_t i = 0;
  while (i < n) {
    // While 80 bytes are left, the blanks of the next 64 are found at once:
    // every piece that ends among them, and the eight bytes after its sign,
    // lie inside the text.
    if (end - p >= 80) {
      uint64_t blanks = fast_blanks(p);
      if (blanks != 0) {
        const auto ending = static_cast<size_t>(std::popcount(blanks));
        const size_t take = ending < n - i ? ending : n - i;
        const char* begin = p;
        for (size_t k = 0; k < take; ++k, ++i) {
          const char* const stop = p + std::countr_zero(blanks);
          blanks &= blanks - 1;
          read_one(begin, stop, true, i, run, undecided);
          begin = stop + 1;
        }
        p = begin;
        continue;
      }
    }
    // one piece to its blank or the end: near the end, or longer than 64 bytes
    const void* blank = std::memchr(p, ' ', static_cast<size_t>(end - p));
    const char* const stop = blank != nullptr ? static_cast<const char*>(blank) : end;
    read_one(p, stop, end - p >= 9, i, run, undecided);
    ++i;
    p = stop == end ? stop : stop + 1;
  }
  return p;
}

}  // namespace velmora::packed
