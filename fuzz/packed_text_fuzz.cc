// libFuzzer target for the packed-text kernel: read_piece, scan_piece,
// split_cells, stable_time_order and sort_by_time on arbitrary bytes.
//
// Input layout:
//   byte 0   flags: bit 0 set reads each cell whole instead of splitting it,
//            bit 1 stamps times, bit 2 gives the rows their start times,
//            bit 3 asks sort_by_time for the rows too
//   byte 1   which sample rate (kRates)
//   rest     the cells, one per line ('\n'); a line that begins with byte 0x01
//            is a cell without text
// Each row's start time comes from the length of its line (row_start), so the
// fuzzer can reach every kind of start, NaT and the edges of int64 included.
//
// What must hold, else the target aborts:
//  - scan_piece stops at the first blank and agrees with read_piece on the
//    piece it consumed, bit for bit;
//  - read_piece on a plain decimal agrees with strtod followed by IEEE
//    rounding to float32 (a value), with the all-nines rule (missing), or
//    strtod reports a range error (undecided); anything else is missing when
//    empty or containing NULL/null, and undecided otherwise;
//  - split_cells gives every piece of every row once, in order, with its row,
//    its value, its time (start + position * rate, computed here in 128-bit
//    integers for whole rates), the right undecided list and time order flag,
//    or std::overflow_error exactly when a time leaves int64;
//  - sort_by_time, with the grid sweep and without, puts times, values and
//    rows in the order of a stable sort by time (NaT last);
//  - for one input in 4096 (by a hash of it, to keep the rest fast) the
//    cells are repeated until there are samples enough for four threads, and
//    four threads give, copy after copy, exactly what one thread gave on the
//    cells, and sort_by_time orders them; stable_time_order, there on enough
//    times to take its radix path, is a stable sort (as it is on every
//    input's own times).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cleaning/packed_text.h"
#include "cleaning/sample_times.h"
#include "cleaning/split.h"
#include "cleaning/time_sort.h"

namespace {

using namespace velmora::packed;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "packed_text_fuzz: %s [%.*s]\n", what,
               static_cast<int>(std::min<size_t>(detail.size(), 200)), detail.data());
  std::abort();
}

#define CHECK(condition, detail)                  \
  do {                                            \
    if (!(condition)) fail(#condition, (detail)); \
  } while (0)

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// [+-] (digits [. digits*] | . digits) [(e|E) [+-] digits], nothing else.
bool is_plain_decimal(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  size_t mantissa = 0;
  while (i < n && is_digit(s[i])) ++i, ++mantissa;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && is_digit(s[i])) ++i, ++mantissa;
  }
  if (mantissa == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < n && is_digit(s[i])) ++i, ++exponent;
    if (exponent == 0) return false;
  }
  return i == n;
}

// A whole number whose decimal digits are five or more nines, whatever its sign.
bool is_all_nines(double value) {
  if (!std::isfinite(value) || value != std::trunc(value)) return false;
  char digits[400];
  const int n = std::snprintf(digits, sizeof digits, "%.0f", std::fabs(value));
  if (n < 5 || n >= static_cast<int>(sizeof digits)) return false;
  return std::all_of(digits, digits + n, [](char c) { return c == '9'; });
}

// The float32 an IEEE conversion gives (x86-64 rounds to nearest, overflowing
// to infinity).
float ieee_float(double value) {
  volatile double v = value;
  return static_cast<float>(v);
}

bool contains(std::string_view s, std::string_view part) { return s.find(part) != std::string_view::npos; }

// read_piece against strtod and the placeholder rules.
void check_read_piece(std::string_view text, const Piece& piece) {
  if (piece.kind != PieceKind::kValue) CHECK(std::isnan(piece.value), text);
  if (text.empty()) {
    CHECK(piece.kind == PieceKind::kMissing, text);
    return;
  }
  if (!is_plain_decimal(text)) {
    const bool null = contains(text, "NULL") || contains(text, "null");
    CHECK(piece.kind == (null ? PieceKind::kMissing : PieceKind::kUndecided), text);
    return;
  }
  const std::string copy(text);
  char* stop = nullptr;
  errno = 0;
  const double number = std::strtod(copy.c_str(), &stop);
  const bool range_error = errno == ERANGE;
  CHECK(stop == copy.c_str() + copy.size(), text);
  switch (piece.kind) {
    case PieceKind::kValue:
      CHECK(!is_all_nines(number), text);
      CHECK(std::isfinite(number), text);
      CHECK(!(range_error && number == 0), text);  // underflow to zero is left to the caller
      CHECK(same_bits(piece.value, ieee_float(number)), text);
      break;
    case PieceKind::kMissing:
      CHECK(is_all_nines(number), text);
      break;
    case PieceKind::kUndecided:
      // only numbers beyond double's range: infinite, or nonzero digits that round to zero
      CHECK(range_error && (std::isinf(number) || number == 0), text);
      break;
  }
}

// scan_piece from `begin` against read_piece; returns where the piece ends.
const char* check_scan_piece(const char* begin, const char* end) {
  const char* stop = nullptr;
  const Piece scanned = scan_piece(begin, end, &stop);
  CHECK(stop >= begin && stop <= end, std::string_view(begin, static_cast<size_t>(end - begin)));
  const std::string_view text(begin, static_cast<size_t>(stop - begin));
  CHECK(stop == end || *stop == ' ', text);
  CHECK(text.find(' ') == std::string_view::npos, text);
  const Piece read = read_piece(text);
  CHECK(scanned.kind == read.kind, text);
  CHECK(same_bits(scanned.value, read.value), text);
  check_read_piece(text, read);
  return stop;
}

constexpr int64_t kSecond = 1'000'000'000;
// One input in this many (by a hash of it) also runs on four threads.
constexpr uint64_t kThreadedOneIn = 4096;
constexpr int64_t kT0 = 1'230'768'000 * kSecond;  // 2009-01-01
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

struct RateChoice {
  bool whole;
  int64_t seconds;  // whole rates
  double fraction;  // other rates, through SampleRate::seconds
};

constexpr RateChoice kRates[] = {
    {true, 1, 0},          {true, 60, 0},          {true, 600, 0},           {true, 3600, 0},
    {true, 86400, 0},      {true, 0, 0},           {true, -60, 0},           {true, 9'223'372'036, 0},
    {true, 9'223'372'037, 0},  // too many nanoseconds: refused
    {false, 0, 0.5},       {false, 0, 1.5},        {false, 0, 60.0},         {false, 0, 1e-9},
    {false, 0, -2.5},      {false, 0, 1e10},       {false, 0, 1e300},
};

// The start of row `row` whose line has `length` bytes.
int64_t row_start(size_t row, size_t length) {
  const auto r = static_cast<int64_t>(row % 100'000);
  switch (length % 16) {
    case 10: return kT0 - r * 60 * kSecond;  // descending
    case 11: return kNaT;
    case 12: return kT0;
    case 13: return kMax - r * kSecond;  // at the top of the range
    case 14: return std::numeric_limits<int64_t>::min() + 1;
    case 15: return 0;
    default: return kT0 + r * 86400 * kSecond + static_cast<int64_t>(length % 7) * 1800 * kSecond;
  }
}

// Time order: ascending, NaT after every time.
bool earlier(int64_t a, int64_t b) {
  if (a == kNaT) return false;
  return b == kNaT || a < b;
}

std::vector<int64_t> rows_of(const Samples& s) {
  const Buffer<int64_t> rows = sample_rows(s.first);
  return {rows.begin(), rows.end()};
}

// What split_cells must give, worked out piece by piece.
struct Expected {
  std::vector<int64_t> row;
  std::vector<int64_t> position;  // -1: no text
  std::vector<std::string_view> text;
  std::vector<Piece> piece;
};

Expected expected_samples(std::span<const Cell> cells, bool split) {
  Expected e;
  for (size_t r = 0; r < cells.size(); ++r) {
    const Cell& cell = cells[r];
    auto add = [&](int64_t position, std::string_view text, Piece piece) {
      e.row.push_back(static_cast<int64_t>(r));
      e.position.push_back(position);
      e.text.push_back(text);
      e.piece.push_back(piece);
    };
    if (!cell.has_text) {
      add(-1, {}, Piece{PieceKind::kMissing, std::numeric_limits<float>::quiet_NaN()});
      continue;
    }
    if (!split) {
      const Piece piece = read_piece(cell.text);
      check_read_piece(cell.text, piece);
      add(0, cell.text, piece);
      continue;
    }
    const char* p = cell.text.data();
    const char* const end = p + cell.text.size();
    for (int64_t position = 0;; ++position) {
      const char* stop = check_scan_piece(p, end);
      const std::string_view text(p, static_cast<size_t>(stop - p));
      add(position, text, read_piece(text));
      if (stop == end) break;
      p = stop + 1;
    }
  }
  return e;
}

// The time of a sample, or nullopt when it leaves int64 (split_cells throws).
std::optional<int64_t> expected_time(const Stamp& stamp, const RateChoice& choice,
                                     int64_t start, int64_t position) {
  if (position < 0) return kNaT;
  int64_t offset;
  if (choice.whole) {
    const __int128 exact = static_cast<__int128>(position) * choice.seconds * kSecond;
    if (exact > kMax || exact < std::numeric_limits<int64_t>::min()) return std::nullopt;
    offset = static_cast<int64_t>(exact);
  } else {
    try {
      offset = stamp.rate.offset_ns(position);
    } catch (const std::overflow_error&) {
      return std::nullopt;
    }
    // pandas' rounding of float seconds: within a nanosecond of the product,
    // give or take the rounding of the product itself
    const long double exact = static_cast<long double>(position) * choice.fraction * 1e9L;
    const long double slack = 1.0L + std::fabs(exact) * 0x1p-50L;
    if (std::fabs(static_cast<long double>(offset) - exact) > slack) fail("fractional offset", "");
  }
  if (!stamp.row_start) return offset;
  if (start == kNaT) return kNaT;
  const __int128 t = static_cast<__int128>(start) + offset;
  if (t > kMax || t <= std::numeric_limits<int64_t>::min()) return std::nullopt;
  return static_cast<int64_t>(t);
}

// Either the samples or the message of the overflow error split_cells threw.
struct Outcome {
  std::optional<Samples> samples;
  std::string error;
};

Outcome run_split(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
                  unsigned threads) {
  Outcome out;
  try {
    out.samples = split_cells(cells, split, stamp, threads);
  } catch (const std::overflow_error& e) {
    out.error = e.what();
    if (out.error.empty()) fail("empty overflow message", "");
  }
  return out;
}

void check_samples(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
                   const RateChoice& choice, std::span<const int64_t> starts, const Outcome& got) {
  const Expected e = expected_samples(cells, split);
  const size_t n = e.row.size();

  std::vector<int64_t> times;
  bool overflow = false;
  if (stamp) {
    times.resize(n);
    for (size_t k = 0; k < n && !overflow; ++k) {
      const int64_t start = stamp->row_start ? starts[static_cast<size_t>(e.row[k])] : 0;
      const auto t = expected_time(*stamp, choice, start, e.position[k]);
      if (t) {
        times[k] = *t;
      } else {
        overflow = true;
      }
    }
  }
  CHECK(overflow == !got.samples.has_value(), got.error);
  if (overflow) {
    CHECK(got.error == "Overflow in int64 addition", got.error);
    return;
  }

  const Samples& s = *got.samples;
  CHECK(s.value.size() == n, "");
  CHECK(rows_of(s) == e.row, "");
  std::vector<size_t> undecided;
  for (size_t k = 0; k < n; ++k) {
    CHECK(same_bits(s.value[k], e.piece[k].value), e.text[k]);
    if (e.piece[k].kind == PieceKind::kUndecided) undecided.push_back(k);
  }
  CHECK(s.undecided == undecided, "");
  CHECK(s.undecided_text.size() == undecided.size(), "");
  for (size_t j = 0; j < undecided.size(); ++j) {
    const std::string_view text = e.text[undecided[j]];
    CHECK(s.undecided_text[j].data() == text.data() && s.undecided_text[j].size() == text.size(), text);
  }
  if (!stamp) {
    CHECK(s.time.empty(), "");
    CHECK(!s.time_ordered, "");
    return;
  }
  CHECK(std::equal(s.time.begin(), s.time.end(), times.begin(), times.end()), "");
  bool ordered = true;
  for (size_t k = 1; k < n; ++k) ordered = ordered && !earlier(times[k], times[k - 1]);
  CHECK(s.time_ordered == ordered, "");
  CHECK(is_time_ordered(s.time) == ordered, "");
}

// stable_time_order against std::stable_sort on the keys.
void check_time_order(std::span<const int64_t> times) {
  const Buffer<int64_t> order = stable_time_order(times);
  std::vector<int64_t> expected(times.size());
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int64_t>(i);
  std::stable_sort(expected.begin(), expected.end(), [&](int64_t a, int64_t b) {
    return earlier(times[static_cast<size_t>(a)], times[static_cast<size_t>(b)]);
  });
  CHECK(std::equal(order.begin(), order.end(), expected.begin(), expected.end()), "stable_time_order");
  const Buffer<int64_t> sorted = gather<int64_t>(times, order);
  CHECK(is_time_ordered(sorted), "gathered times");
}

// The rows of `b`, samples of `copies` copies of the cells of `a`, are those
// of `a` copy after copy.
void check_rows_of_copies(const Samples& a, const Samples& b, size_t cells, size_t copies) {
  const size_t n = a.value.size();
  CHECK(b.first.size() == copies * cells + 1, "rows of the copies");
  for (size_t r = 0; r < b.first.size(); ++r) {
    const size_t c = r / cells;
    CHECK(b.first[r] == c * n + a.first[r - c * cells], "rows of a copy");
  }
}

// sort_by_time on the samples (a copy of them), with and without the grid
// sweep, against a stable sort of the samples by time.
void check_time_sort(const Samples& s, const Stamp& stamp, bool with_rows) {
  const size_t n = s.value.size();
  std::vector<size_t> order(n);
  for (size_t k = 0; k < n; ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return earlier(s.time[a], s.time[b]); });
  const Buffer<int64_t> rows = sample_rows(s.first);
  for (const std::optional<int64_t> step : {stamp.rate.step_ns(), std::optional<int64_t>()}) {
    const TimeSorted sorted =
        sort_by_time(Buffer<int64_t>(s.time), Buffer<float>(s.value), s.first, s.time_ordered, step, with_rows);
    CHECK(sorted.time.size() == n && sorted.value.size() == n, "sort_by_time sizes");
    CHECK(sorted.row.size() == (with_rows ? n : 0), "sort_by_time rows");
    for (size_t i = 0; i < n; ++i) {
      CHECK(sorted.time[i] == s.time[order[i]], "sort_by_time times");
      CHECK(same_bits(sorted.value[i], s.value[order[i]]), "sort_by_time values");
      if (with_rows) CHECK(sorted.row[i] == rows[order[i]], "sort_by_time rows");
    }
  }
}

// A hash of the input with every bit mixed into every other.
uint64_t input_hash(const uint8_t* data, size_t size) {
  uint64_t h = 0xcbf29ce484222325u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 0x100000001b3u;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdu;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53u;
  return h ^ (h >> 33);
}

// The cells over and over until there are samples enough for four threads:
// four threads must give, copy after copy, exactly what one thread gave on the
// cells alone (which check_samples held against the model), the error included.
void check_threads(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
                   std::span<const int64_t> starts, const Outcome& alone, bool with_rows) {
  constexpr size_t kEnough = 400'000;  // four threads' worth of samples
  size_t per_copy = 0;
  for (const Cell& cell : cells) {
    per_copy += !cell.has_text || !split
                    ? 1
                    : static_cast<size_t>(std::count(cell.text.begin(), cell.text.end(), ' ')) + 1;
  }
  const size_t copies = (kEnough + per_copy - 1) / per_copy;
  // a long cell read whole 400,000 times over would take seconds
  size_t text_bytes = 0;
  for (const Cell& cell : cells) text_bytes += cell.text.size();
  if (copies * text_bytes > (size_t{64} << 20)) return;
  std::vector<Cell> many;
  std::vector<int64_t> many_starts;
  many.reserve(copies * cells.size());
  many_starts.reserve(copies * cells.size());
  for (size_t c = 0; c < copies; ++c) {
    many.insert(many.end(), cells.begin(), cells.end());
    many_starts.insert(many_starts.end(), starts.begin(), starts.end());
  }
  std::optional<Stamp> many_stamp = stamp;
  if (stamp && stamp->row_start) many_stamp->row_start = std::span<const int64_t>(many_starts);

  const Outcome four = run_split(many, split, many_stamp, 4);
  CHECK(four.samples.has_value() == alone.samples.has_value(), four.error + "|" + alone.error);
  if (!four.samples) {
    CHECK(four.error == alone.error, four.error);
    return;
  }

  const Samples& a = *alone.samples;
  const Samples& b = *four.samples;
  const size_t n = a.value.size();
  CHECK(n == per_copy && b.value.size() == copies * n, "samples per copy");
  CHECK(b.time.size() == (stamp ? copies * n : 0), "times per copy");
  check_rows_of_copies(a, b, cells.size(), copies);
  CHECK(b.undecided.size() == copies * a.undecided.size(), "undecided per copy");
  for (size_t c = 0; c < copies; ++c) {
    CHECK(std::memcmp(b.value.data() + c * n, a.value.data(), n * sizeof(float)) == 0, "values of a copy");
    if (stamp) {
      CHECK(std::memcmp(b.time.data() + c * n, a.time.data(), n * sizeof(int64_t)) == 0, "times of a copy");
    }
    for (size_t j = 0; j < a.undecided.size(); ++j) {
      const size_t at = c * a.undecided.size() + j;
      CHECK(b.undecided[at] == c * n + a.undecided[j], "undecided sample of a copy");
      CHECK(b.undecided_text[at].data() == a.undecided_text[j].data() &&
                b.undecided_text[at].size() == a.undecided_text[j].size(),
            a.undecided_text[j]);
    }
  }
  // the time order flag: each copy's own order, and the last time of one
  // copy before the first of the next
  if (stamp && copies > 1 && n > 0) {
    const bool ordered = a.time_ordered && !earlier(a.time[0], a.time[n - 1]);
    CHECK(b.time_ordered == ordered, "time order of the copies");
  }

  if (stamp) check_time_sort(b, *stamp, with_rows);

  // the radix path of stable_time_order: the times over and over, past 4096
  if (stamp && !a.time.empty()) {
    std::vector<int64_t> repeated;
    while (repeated.size() < 5000) repeated.insert(repeated.end(), a.time.begin(), a.time.end());
    check_time_order(repeated);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  const bool split = (flags & 1) == 0;
  const bool stamped = (flags & 2) != 0;
  const bool with_starts = (flags & 4) != 0;
  const bool with_rows = (flags & 8) != 0;
  const RateChoice& choice = kRates[data[1] % (sizeof kRates / sizeof kRates[0])];
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

  // every piece of the raw input, newlines and all
  for (const char* p = input.data(), *end = p + input.size();;) {
    const char* stop = check_scan_piece(p, end);
    if (stop == end) break;
    p = stop + 1;
  }

  std::vector<Cell> cells;
  std::vector<int64_t> starts;
  for (size_t at = 0;;) {
    const size_t newline = input.find('\n', at);
    const std::string_view line =
        input.substr(at, newline == std::string_view::npos ? std::string_view::npos : newline - at);
    if (!line.empty() && line[0] == '\x01') {
      cells.push_back(Cell{});
    } else {
      cells.push_back(Cell{line, true});
    }
    starts.push_back(row_start(cells.size() - 1, line.size()));
    if (newline == std::string_view::npos) break;
    at = newline + 1;
  }

  std::optional<Stamp> stamp;
  if (stamped) {
    std::optional<SampleRate> rate;
    try {
      rate = choice.whole ? SampleRate::whole_seconds(choice.seconds)
                          : SampleRate::seconds(choice.fraction);
    } catch (const std::overflow_error&) {
      // only a whole number of seconds whose nanoseconds leave int64
      CHECK(choice.whole || choice.fraction == std::trunc(choice.fraction), "refused rate");
      const __int128 seconds = choice.whole ? static_cast<__int128>(choice.seconds)
                                            : static_cast<__int128>(choice.fraction);
      const __int128 ns = seconds * kSecond;
      CHECK(ns > kMax || ns < std::numeric_limits<int64_t>::min(), "refused rate");
      return 0;
    }
    stamp = Stamp{*rate, std::nullopt};
    if (with_starts) stamp->row_start = std::span<const int64_t>(starts);
  }

  const Outcome alone = run_split(cells, split, stamp, 1);
  check_samples(cells, split, stamp, choice, starts, alone);
  if (alone.samples && stamp) {
    check_time_order(alone.samples->time);
    check_time_sort(*alone.samples, *stamp, with_rows);
  }

  if (input_hash(data, size) % kThreadedOneIn == 0) check_threads(cells, split, stamp, starts, alone, with_rows);
  return 0;
}
