#include "cleaning/piece_runs.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_HAS_AVX2_PATH 1
#endif
#include <atomic>

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

#if defined(VELMORA_HAS_AVX2_PATH)
// Four short decimals at once, piece k being [begin[k], end[k]) with the
// eight bytes after its sign inside the text, with AVX2: the values that
// short_decimal_between gives. Returns false, writing nothing, unless all
// four are short decimals below the nines placeholders; those are left to
// the reader of one.
//
// Each piece's bytes go to the top of a 64-bit lane (the first digit most
// significant, zeros leading), the point is taken out by moving the digits
// before it up one byte, the digits are gathered by multiply-adds into m,
// and m / 10^f (f digits after the point) is divided exactly as the scalar
// division of two exact doubles rounds: correctly.
__attribute__((target("avx2"), always_inline)) inline bool four_short_decimals(const char* const* begin,
                                                                               const char* const* end,
                                                                               float* value) {
  uint64_t word[4];
  int64_t shift[4];
  int32_t sign[4];
  for (int k = 0; k < 4; ++k) {
    const char* const b = begin[k];
    const bool negative = *b == '-';
    const char* const q = b + (negative || *b == '+');
    const ptrdiff_t n = end[k] - q;
    if (n < 1 || n > 8) return false;
    std::memcpy(&word[k], q, 8);
    shift[k] = 8 * (8 - n);
    sign[k] = negative ? INT32_MIN : 0;
  }
  const __m256i bytes_shift = _mm256_set_epi64x(shift[3], shift[2], shift[1], shift[0]);
  const __m256i w = _mm256_sllv_epi64(
      _mm256_set_epi64x(static_cast<int64_t>(word[3]), static_cast<int64_t>(word[2]), static_cast<int64_t>(word[1]),
                        static_cast<int64_t>(word[0])),
      bytes_shift);
  const __m256i keep = _mm256_sllv_epi64(_mm256_set1_epi64x(-1), bytes_shift);  // the piece's bytes
  const __m256i digit = _mm256_and_si256(_mm256_cmpgt_epi8(w, _mm256_set1_epi8('0' - 1)),
                                         _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), w));
  const __m256i other = _mm256_andnot_si256(digit, keep);
  const __m256i point = _mm256_and_si256(_mm256_cmpeq_epi8(w, _mm256_set1_epi8('.')), keep);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i low_bits = _mm256_set1_epi8(1);
  const __m256i point_bit = _mm256_and_si256(point, low_bits);  // 1 << 8p for a point at byte p
  const __m256i points = _mm256_sad_epu8(point_bit, zero);      // per lane
  // every non-digit a point, at most one, and 1 to 7 digits
  const __m256i digits = _mm256_sub_epi64(_mm256_sad_epu8(_mm256_and_si256(keep, low_bits), zero), points);
  __m256i bad = _mm256_xor_si256(other, point);
  bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(points, _mm256_set1_epi64x(1)));
  bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(_mm256_set1_epi64x(1), digits));
  bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(digits, _mm256_set1_epi64x(7)));
  if (!_mm256_testz_si256(bad, bad)) return false;

  // the digits after the point stay, those before it move up over it
  const __m256i ones = _mm256_set1_epi64x(-1);
  const __m256i below = _mm256_add_epi64(point_bit, ones);  // the bytes before the point
  const __m256i above = _mm256_xor_si256(_mm256_add_epi64(_mm256_slli_epi64(point_bit, 8), ones), ones);
  const __m256i moved =
      _mm256_or_si256(_mm256_and_si256(w, above), _mm256_slli_epi64(_mm256_and_si256(w, below), 8));
  const __m256i no_point = _mm256_cmpeq_epi64(points, zero);
  const __m256i gathered = _mm256_and_si256(_mm256_blendv_epi8(moved, w, no_point), _mm256_set1_epi8(0x0F));
  const __m256i pairs = _mm256_maddubs_epi16(gathered, _mm256_set1_epi16(0x010A));  // 10 * first + second
  const __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));   // 100 * first + second
  const __m256i m =
      _mm256_add_epi64(_mm256_mul_epu32(quads, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(quads, 32));
  // 10^f from a table of eight, f the bytes after the point
  const __m256i fraction = _mm256_sad_epu8(_mm256_and_si256(above, low_bits), zero);
  const __m256i powers = _mm256_setr_epi32(1, 10, 100, 1000, 10000, 100000, 1000000, 10000000);
  const __m256i power = _mm256_and_si256(_mm256_permutevar8x32_epi32(powers, fraction),
                                         _mm256_set1_epi64x(0xFFFFFFFF));
  // integers below 2^52 as doubles: their bits under the exponent of 2^52
  const __m256i exponent = _mm256_set1_epi64x(0x4330000000000000);
  const __m256d two52 = _mm256_castsi256_pd(exponent);
  const __m256d dm = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(m, exponent)), two52);
  const __m256d dp = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(power, exponent)), two52);
  const __m256d quotient = _mm256_div_pd(dm, dp);
  const __m256d large = _mm256_cmp_pd(quotient, _mm256_set1_pd(99998.0), _CMP_GE_OQ);
  if (_mm256_movemask_pd(large) != 0) return false;
  const __m128 magnitude = _mm256_cvtpd_ps(quotient);
  _mm_storeu_ps(value, _mm_xor_ps(magnitude, _mm_castsi128_ps(_mm_setr_epi32(sign[0], sign[1], sign[2], sign[3]))));
  return true;
}

// Groups of four pieces, group g being pieces 4g .. 4g+3 of begin and end,
// each piece's value to out[piece * stride]: returns the groups left
// unread, one bit each.
__attribute__((target("avx2"))) uint32_t short_decimals_by_fours(const char* const* begin, const char* const* end,
                                                                 size_t groups, float* out, size_t stride) {
  uint32_t left = 0;
  for (size_t g = 0; g < groups; ++g) {
    float values[4];
    if (!four_short_decimals(begin + 4 * g, end + 4 * g, values)) {
      left |= uint32_t{1} << g;
      continue;
    }
    if (stride == 1) {
      std::memcpy(out + 4 * g, values, sizeof values);
    } else {
      for (size_t j = 0; j < 4; ++j) out[(4 * g + j) * stride] = values[j];
    }
  }
  return left;
}

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

std::atomic<bool> vectors_allowed{true};

bool vectors_usable() {
#if defined(VELMORA_HAS_AVX2_PATH)
  static const bool has_avx2 = cpu_has_avx2();
  return has_avx2 && vectors_allowed.load(std::memory_order_relaxed);
#else
  return false;
#endif
}

}  // namespace

bool allow_vector_reading(bool allowed) {
  vectors_allowed.store(allowed);
  return vectors_usable();
}

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

namespace {

size_t count_blanks_sse2(const char* p, const char* end) {
  size_t blanks = 0;
  for (; end - p >= 64; p += 64) blanks += static_cast<size_t>(std::popcount(blanks_in_64(p)));
  for (; p < end; ++p) blanks += *p == ' ';
  return blanks;
}

#if defined(VELMORA_HAS_AVX2_PATH)
// 32 bytes a compare, and the population count an instruction (every
// processor with AVX2 has POPCNT) rather than a call.
__attribute__((target("avx2,popcnt"))) size_t count_blanks_avx2(const char* p, const char* end) {
  const __m256i blank = _mm256_set1_epi8(' ');
  size_t blanks = 0;
  for (; end - p >= 64; p += 64) {
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const auto l = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(low, blank)));
    const auto h = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(high, blank)));
    blanks += static_cast<size_t>(__builtin_popcountll((uint64_t{h} << 32) | l));
  }
  for (; p < end; ++p) blanks += *p == ' ';
  return blanks;
}
#endif

}  // namespace

size_t count_blanks(const char* p, const char* end) {
#if defined(VELMORA_HAS_AVX2_PATH)
  if (vectors_usable()) return count_blanks_avx2(p, end);
#endif
  return count_blanks_sse2(p, end);
}

namespace {

// read_pieces, reading the pieces of each 64 bytes four at a time with
// `fours` (which returns how many groups of four it took, and marks those it
// left unread) and the rest one at a time.
template <typename Fours>
__attribute__((always_inline)) inline const char* read_pieces_with(const char* p, const char* end, size_t n,
                                                                  const PieceRun& run,
                                                                  std::vector<PieceAt>& undecided, Fours&& fours) {
  size_t i = 0;
  while (i < n) {
    // While 80 bytes are left, the blanks of the next 64 are found at once:
    // every piece that ends among them, and the eight bytes after its sign,
    // lie inside the text.
    if (end - p >= 80) {
      uint64_t blanks = blanks_in_64(p);
      if (blanks != 0) {
        const auto ending = static_cast<size_t>(std::popcount(blanks));
        const size_t take = ending < n - i ? ending : n - i;
        // where each piece begins and ends; begins[k + 1] is just past ends[k]
        const char* begins[65];
        const char* ends[64];
        uint32_t left = 0;
        begins[0] = p;
        for (size_t k = 0; k < take; ++k) {
          ends[k] = p + std::countr_zero(blanks);
          begins[k + 1] = ends[k] + 1;
          blanks &= blanks - 1;
        }
        const size_t groups = fours(begins, ends, take / 4, run.out + i * run.stride, run.stride, &left);
        for (uint32_t rest = left; rest != 0; rest &= rest - 1) {
          const size_t g = static_cast<size_t>(std::countr_zero(rest));
          for (size_t k = 4 * g; k < 4 * g + 4; ++k) read_one(begins[k], ends[k], true, i + k, run, undecided);
        }
        for (size_t k = 4 * groups; k < take; ++k) read_one(begins[k], ends[k], true, i + k, run, undecided);
        i += take;
        p = begins[take];
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

#if defined(VELMORA_HAS_AVX2_PATH)
__attribute__((target("avx2"))) const char* read_pieces_avx2(const char* p, const char* end, size_t n,
                                                             const PieceRun& run, std::vector<PieceAt>& undecided) {
  return read_pieces_with(p, end, n, run, undecided,
                          [](const char* const* begin, const char* const* stop, size_t groups, float* out,
                             size_t stride, uint32_t* left) {
                            *left = short_decimals_by_fours(begin, stop, groups, out, stride);
                            return groups;
                          });
}
#endif

}  // namespace

const char* read_pieces(const char* p, const char* end, size_t n, const PieceRun& run,
                        std::vector<PieceAt>& undecided) {
#if defined(VELMORA_HAS_AVX2_PATH)
  if (vectors_usable()) return read_pieces_avx2(p, end, n, run, undecided);
#endif
  return read_pieces_with(p, end, n, run, undecided,
                          [](const char* const*, const char* const*, size_t, float*, size_t, uint32_t* left) {
                            *left = 0;
                            return size_t{0};
                          });
}

}  // namespace velmora::packed
