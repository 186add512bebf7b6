// libFuzzer target for the packed-text kernel: read_piece, scan_piece,
// settle_piece, Split (counting, result order, filling, reordering, settling,
// blocks of source rows; from text and from rows read ahead, ParsedRows) and
// stable_time_order on arbitrary bytes.
//
// Input layout:
//   byte 0   flags: bit 0 set reads each cell whole instead of splitting it,
//            bit 1 stamps times, bit 2 gives the rows their start times
//            (without it the times are offsets, which the caller orders: the
//            target reorders them by a stable sort of the offsets)
//   byte 1   which sample rate (kRates)
//   rest     the cells, one per line ('\n'); a line that begins with byte 0x01
//            is a cell without text
// Each row's start time comes from the length of its line (row_start), so the
// fuzzer can reach every kind of start, NaT and the edges of int64 included;
// lines of one length share a start, so rows overlap and the grid sweep runs
// (with rows at several phases of its step where starts fall between its
// slots); fractional rates whose offsets are no whole multiples of one step
// take the merge by time, negative ones the sort.
//
// What must hold, else the target aborts:
//  - scan_piece stops at the first blank and agrees with read_piece on the
//    piece it consumed, bit for bit;
//  - read_piece on a plain decimal agrees with strtod followed by IEEE
//    rounding to float32 (a value), with the placeholder rules (missing: a
//    value of five to fifteen nines, or a text written as nines however
//    many), or strtod reports a range error (undecided); anything else is
//    missing when empty or containing NULL/null, and undecided otherwise;
//  - settle_piece, given strtod's reading of an undecided piece (the stand-in
//    for Python's float), follows the same placeholder rules (nines written
//    out are missing however many, those beyond double's range included);
//  - Split gives every piece of every row once, with its row, its value and
//    its time (start + position * rate, computed here in 128-bit integers for
//    whole rates), in the order of a stable sort by time (NaT last) when rows
//    have starts and in row order otherwise, or std::overflow_error exactly
//    when a time leaves int64; its blocks name the source row of every
//    result position exactly once, in result order; settle reports the first piece in result order
//    that is no number; reorder moves values, rows and that report along;
//  - for one input in 4096 (by a hash of it, to keep the rest fast) the cells
//    are repeated until there are samples enough for four threads, and four
//    threads give exactly what one thread gives; stable_time_order, there on
//    enough times to take its radix path, is a stable sort (as it is on every
//    input's own times).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cleaning/packed_text.h"
#include "cleaning/parsed_rows.h"
#include "cleaning/sample_times.h"
#include "cleaning/split.h"

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

// A whole number whose decimal digits are five to fifteen nines, whatever its
// sign (a double holds no longer run of nines exactly).
bool is_all_nines(double value) {
  if (!std::isfinite(value) || value != std::trunc(value)) return false;
  char digits[400];
  const int n = std::snprintf(digits, sizeof digits, "%.0f", std::fabs(value));
  if (n < 5 || n > 15) return false;
  return std::all_of(digits, digits + n, [](char c) { return c == '9'; });
}

// [+-] 0* 9{5,} [. 0*], written out by hand.
bool written_as_nines(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0') ++i;
  size_t nines = 0;
  while (i < s.size() && s[i] == '9') ++i, ++nines;
  if (nines < 5) return false;
  if (i == s.size()) return true;
  if (s[i] != '.') return false;
  for (++i; i < s.size(); ++i) {
    if (s[i] != '0') return false;
  }
  return true;
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
  const bool nines = is_all_nines(number) || written_as_nines(text);
  switch (piece.kind) {
    case PieceKind::kValue:
      CHECK(!nines, text);
      CHECK(std::isfinite(number), text);
      CHECK(!(range_error && number == 0), text);  // underflow to zero is left to the caller
      CHECK(same_bits(piece.value, ieee_float(number)), text);
      break;
    case PieceKind::kMissing:
      CHECK(nines, text);
      break;
    case PieceKind::kUndecided:
      // only numbers beyond double's range: infinite, or nonzero digits that round to zero
      CHECK(!nines, text);
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

// The stand-in for Python's float(): strtod over the whole text (inf, nan,
// hexadecimal and leading blanks included), nothing for anything else.
std::optional<double> read_number(std::string_view text) {
  if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string copy(text);
  char* stop = nullptr;
  const double number = std::strtod(copy.c_str(), &stop);
  if (stop == copy.c_str() || stop != copy.c_str() + copy.size()) return std::nullopt;
  return number;
}

// What an undecided piece settles to, by the rules written out here.
Piece settled(std::string_view text) {
  const std::optional<double> number = read_number(text);
  if (number) {
    if (is_all_nines(*number) || written_as_nines(text)) {
      return {PieceKind::kMissing, std::numeric_limits<float>::quiet_NaN()};
    }
    return {PieceKind::kValue, ieee_float(*number)};
  }
  if (contains(text, "99999")) return {PieceKind::kMissing, std::numeric_limits<float>::quiet_NaN()};
  return {PieceKind::kUndecided, std::numeric_limits<float>::quiet_NaN()};
}

void check_settle_piece(std::string_view text) {
  const Piece got = settle_piece(text, read_number(text));
  const Piece want = settled(text);
  CHECK(got.kind == want.kind, text);
  CHECK(same_bits(got.value, want.value) || (std::isnan(got.value) && std::isnan(want.value)), text);
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
    {false, 0, -2.5},      {false, 0, 1e10},       {false, 0, 1e300},        {false, 0, 0.3},
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
    case 9: return kT0 + static_cast<int64_t>(length % 5) * 60 * kSecond;  // overlapping on a grid
    case 8: return kT0 + static_cast<int64_t>(length) * kSecond + 1;      // off any grid
    default: return kT0 + r * 86400 * kSecond + static_cast<int64_t>(length % 7) * 1800 * kSecond;
  }
}

// Time order: ascending, NaT after every time.
bool earlier(int64_t a, int64_t b) {
  if (a == kNaT) return false;
  return b == kNaT || a < b;
}

// One sample as the model sees it.
struct Sample {
  size_t row;
  int64_t position;  // -1: no text
  std::string_view text;
  Piece piece;  // as read_piece reads it
  int64_t time = kNaT;
};

std::vector<Sample> model_samples(std::span<const Cell> cells, bool split) {
  std::vector<Sample> out;
  for (size_t r = 0; r < cells.size(); ++r) {
    const Cell& cell = cells[r];
    if (!cell.has_text) {
      out.push_back({r, -1, {}, Piece{PieceKind::kMissing, std::numeric_limits<float>::quiet_NaN()}});
      continue;
    }
    if (!split) {
      const Piece piece = read_piece(cell.text);
      check_read_piece(cell.text, piece);
      out.push_back({r, 0, cell.text, piece});
      continue;
    }
    const char* p = cell.text.data();
    const char* const end = p + cell.text.size();
    for (int64_t position = 0;; ++position) {
      const char* stop = check_scan_piece(p, end);
      const std::string_view text(p, static_cast<size_t>(stop - p));
      out.push_back({r, position, text, read_piece(text)});
      if (stop == end) break;
      p = stop + 1;
    }
  }
  return out;
}

// The time of a sample, or nullopt when it leaves int64 (Split throws).
std::optional<int64_t> model_time(const Stamp& stamp, const RateChoice& choice, int64_t start, int64_t position) {
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

// A split's result.
struct Result {
  std::vector<float> value;
  std::vector<int64_t> time;
  std::vector<size_t> row;
  std::optional<Unsettled> unsettled;
  bool overflow = false;
};

std::vector<size_t> rows_of(const Split& split) {
  std::vector<size_t> row(split.size(), SIZE_MAX);
  size_t next = 0;
  split.for_each_block([&](std::span<const size_t> rows, size_t at, size_t slots) {
    CHECK(!rows.empty() && slots > 0, "empty block");
    CHECK(at == next, "blocks out of result order");
    CHECK(slots * rows.size() <= row.size() - at, "block beyond the result");
    for (size_t j = 0; j < slots * rows.size(); ++j) row[at + j] = rows[j % rows.size()];
    next = at + slots * rows.size();
  });
  CHECK(next == row.size(), "positions never visited");
  return row;
}

// A split filled, reordered as the caller reorders offsets, and settled.
Result run_made(const std::function<Split()>& make, bool stamped, unsigned threads, bool reorder_offsets) {
  Result out;
  std::optional<Split> s;
  try {
    s.emplace(make());
  } catch (const std::overflow_error& e) {
    CHECK(std::string(e.what()) == "Overflow in int64 addition", e.what());
    out.overflow = true;
    return out;
  }
  out.value.assign(s->size(), -7.0f);
  out.time.assign(stamped ? s->size() : 0, 7);
  s->fill(out.value, out.time, threads);
  if (reorder_offsets) {
    // what the caller does with offsets: its own stable order of the sums
    const Buffer<int64_t> order = stable_time_order(out.time);
    s->reorder(std::span<const int64_t>(order.data(), order.size()), out.value);
    std::vector<int64_t> time(out.time.size());
    for (size_t i = 0; i < time.size(); ++i) time[i] = out.time[static_cast<size_t>(order[i])];
    out.time.swap(time);
  }
  out.unsettled = s->settle(out.value, read_number);
  out.row = rows_of(*s);
  return out;
}

// The split of `cells`; split on blanks, also the split of the same rows
// read ahead (in two batches, the second on `threads` threads), which must
// give the same result.
Result run_split(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp, unsigned threads,
                 bool reorder_offsets) {
  const Result out = run_made([&] { return Split(cells, split, stamp); }, stamp.has_value(), threads,
                              reorder_offsets);
  if (!split) return out;
  ParsedRows parsed;
  parsed.add(cells.first(cells.size() / 2));
  parsed.add(cells.subspan(cells.size() / 2), threads);
  std::vector<size_t> order(cells.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  const Result ahead = run_made([&] { return Split(parsed, order, stamp); }, stamp.has_value(), threads,
                                reorder_offsets);
  CHECK(ahead.overflow == out.overflow, "read ahead: overflow");
  CHECK(ahead.time == out.time && ahead.row == out.row, "read ahead: times or rows");
  CHECK(ahead.value.size() == out.value.size(), "read ahead: sample count");
  for (size_t i = 0; i < out.value.size(); ++i) CHECK(same_bits(ahead.value[i], out.value[i]), "read ahead: value");
  CHECK(ahead.unsettled.has_value() == out.unsettled.has_value(), "read ahead: unsettled");
  if (out.unsettled) {
    CHECK(ahead.unsettled->at == out.unsettled->at && ahead.unsettled->text == out.unsettled->text,
          "read ahead: the unsettled piece");
  }
  return out;
}

void check_result(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
                  const RateChoice& choice, std::span<const int64_t> starts, bool reorder_offsets,
                  const Result& got) {
  std::vector<Sample> samples = model_samples(cells, split);
  bool overflow = false;
  if (stamp) {
    for (Sample& s : samples) {
      const int64_t start = stamp->row_start ? starts[s.row] : 0;
      const auto t = model_time(*stamp, choice, start, s.position);
      if (!t) {
        overflow = true;
        break;
      }
      s.time = *t;
    }
  }
  CHECK(overflow == got.overflow, "overflow");
  if (overflow) return;
  if (stamp && (stamp->row_start || reorder_offsets)) {
    std::stable_sort(samples.begin(), samples.end(),
                     [](const Sample& a, const Sample& b) { return earlier(a.time, b.time); });
  }
  const size_t n = samples.size();
  CHECK(got.value.size() == n && got.row.size() == n, "sample count");
  CHECK(got.time.size() == (stamp ? n : 0), "time count");
  std::optional<size_t> first_failure;
  for (size_t i = 0; i < n; ++i) {
    const Sample& s = samples[i];
    CHECK(got.row[i] == s.row, s.text);
    if (stamp) CHECK(got.time[i] == s.time, s.text);
    Piece want = s.piece;
    if (want.kind == PieceKind::kUndecided) {
      check_settle_piece(s.text);
      want = settled(s.text);
      if (want.kind == PieceKind::kUndecided && !first_failure) first_failure = i;
    }
    CHECK(same_bits(got.value[i], want.value), s.text);
  }
  CHECK(got.unsettled.has_value() == first_failure.has_value(), "unsettled");
  if (first_failure) {
    CHECK(got.unsettled->at == *first_failure, got.unsettled->text);
    const std::string_view text = samples[*first_failure].text;
    CHECK(got.unsettled->text.data() == text.data() && got.unsettled->text.size() == text.size(), text);
  }
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
// four threads must give exactly what one thread gives.
void check_threads(std::span<const Cell> cells, bool split, const std::optional<Stamp>& stamp,
                   std::span<const int64_t> starts, bool reorder_offsets) {
  constexpr size_t kEnough = 400'000;  // four threads' worth of samples
  size_t per_copy = 0, text_bytes = 0;
  for (const Cell& cell : cells) {
    per_copy += !cell.has_text || !split
                    ? 1
                    : static_cast<size_t>(std::count(cell.text.begin(), cell.text.end(), ' ')) + 1;
    text_bytes += cell.text.size();
  }
  const size_t copies = (kEnough + per_copy - 1) / per_copy;
  // a long cell read whole 400,000 times over would take seconds
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

  const Result one = run_split(many, split, many_stamp, 1, reorder_offsets);
  const Result four = run_split(many, split, many_stamp, 4, reorder_offsets);
  CHECK(one.overflow == four.overflow, "overflow with four threads");
  if (one.overflow) return;
  CHECK(one.row == four.row, "rows with four threads");
  CHECK(one.time == four.time, "times with four threads");
  CHECK(one.value.size() == four.value.size() &&
            std::memcmp(one.value.data(), four.value.data(), one.value.size() * sizeof(float)) == 0,
        "values with four threads");
  CHECK(one.unsettled.has_value() == four.unsettled.has_value(), "unsettled with four threads");
  if (one.unsettled) {
    CHECK(one.unsettled->at == four.unsettled->at && one.unsettled->text.data() == four.unsettled->text.data(),
          one.unsettled->text);
  }
  // the radix path of stable_time_order: the times over and over, past 4096
  if (!one.time.empty()) {
    std::vector<int64_t> repeated;
    while (repeated.size() < 5000) repeated.insert(repeated.end(), one.time.begin(), one.time.end());
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
  const RateChoice& choice = kRates[data[1] % (sizeof kRates / sizeof kRates[0])];
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

  // every piece of the raw input, newlines and all
  for (const char* p = input.data(), *end = p + input.size();;) {
    const char* stop = check_scan_piece(p, end);
    check_settle_piece(std::string_view(p, static_cast<size_t>(stop - p)));
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
      rate = choice.whole ? SampleRate::whole_seconds(choice.seconds) : SampleRate::seconds(choice.fraction);
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
  // offsets alone are ordered by the caller, as the binding orders their sums
  const bool reorder_offsets = stamp && !stamp->row_start;

  const Result alone = run_split(cells, split, stamp, 1, reorder_offsets);
  check_result(cells, split, stamp, choice, starts, reorder_offsets, alone);
  if (!alone.time.empty()) check_time_order(alone.time);

  if (input_hash(data, size) % kThreadedOneIn == 0) check_threads(cells, split, stamp, starts, reorder_offsets);
  return 0;
}
