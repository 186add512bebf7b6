#include "cleaning/decimal_scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace velmora::packed {
namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// scan_next on `piece` followed by a blank and more pieces must give what the
// exact reader gives for the piece alone, and stop at its blank.
void expect_as_exact(const std::string& piece, const std::string& after = " 12.5 7 NULL 3.25") {
  const std::string text = piece + after;
  const char* stop = nullptr;
  const Piece got = scan_next(text.data(), text.data() + text.size(), &stop);
  const Piece want = read_piece(piece);
  EXPECT_EQ(got.kind, want.kind) << '"' << piece << '"';
  EXPECT_TRUE(same_bits(got.value, want.value)) << '"' << piece << "\" read as " << got.value << ", not " << want.value;
  EXPECT_EQ(stop, text.data() + piece.size()) << '"' << piece << '"';
}

// Whether the eight-byte reader takes the piece itself (followed by a blank
// and enough text).
bool short_path_takes(const std::string& piece) {
  const std::string text = piece + " 1234567890";
  const char* stop = nullptr;
  Piece got{};
  return scan_short_decimal(text.data(), text.data() + text.size(), &stop, &got);
}

TEST(ShortDecimals, TakesTheShortPlainFormsAndLeavesTheRest) {
  for (const char* piece : {"0", "-0", "+7", "100.123", "-1234.5", "1234567", ".5", "5.", "-.25", "0.00001",
                            "99999", "9999.9", "1.23456", "-1.23456"}) {
    EXPECT_TRUE(short_path_takes(piece)) << piece;
  }
  for (const char* piece : {"", ".", "-", "+.", "--1", "+-1", "12345678", "1234.5678", "1e5", "1.5e-3", "1.2.3", "1.234567", "0.000001",
                            "1..2", "NULL", "null", "nan", "inf", "1_000", "\xd9\xa1", "1\xc3\xa9", "1,5"}) {
    EXPECT_FALSE(short_path_takes(piece)) << piece;
  }
}

TEST(ShortDecimals, AgreeWithTheExactReader) {
  for (const char* piece :
       {"0", "-0", "+0", "0.0", "-0.0", "100.123", "100.12", "100.1", "100", "-1234.5", "1234567", "0.000001",
        "0.0000001", ".5", "5.", "-.25", "1.234567", "9.999999", "0.1", "0.3", "16777217", "1677721.7",
        // the nines placeholder and its neighbours
        "99999", "-99999", "99999.0", "+99999.", "099999", "999999", "9999999", "99999.9", "99998.99", "9999.9",
        "999990", "99999.01", "199999", "0.99999",
        // left to the exact reader
        "12345678", "123456789012345678901234", "1e5", "-2.5E-3", "1.2.3", "NULL", "null", "xNULL", "", ".", "-",
        "inf", "nan", "1_0", "\xd9\xa1", "7\xff"}) {
    expect_as_exact(piece);
  }
}

TEST(ShortDecimals, NearTheEndOfTheTextTheExactReaderTakesOver) {
  // fewer than nine bytes left: the short reader loads nothing
  for (const std::string text : {"1.5", "100.123", "-1234.56", "12345678"}) {
    const char* stop = nullptr;
    Piece got{};
    EXPECT_FALSE(scan_short_decimal(text.data(), text.data() + text.size(), &stop, &got)) << text;
    expect_as_exact(text, "");
  }
  // a piece whose blank lies beyond the eight bytes it reads
  expect_as_exact("1234.567", " 1");
  expect_as_exact("-1234567", " 1");
}

TEST(ShortDecimals, GeneratedPiecesAgreeWithTheExactReader) {
  std::mt19937_64 rng(20240611);
  const std::string odd = ".-+eE x9\xc3/:";  // bytes that break the plain form, or nearly
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  for (int i = 0; i < 200'000; ++i) {
    std::string piece;
    switch (pick(4)) {
      case 0: piece += '-'; break;
      case 1: piece += '+'; break;
      default: break;
    }
    const size_t whole = pick(9), fraction = pick(9);
    for (size_t d = 0; d < whole; ++d) piece += static_cast<char>('0' + (pick(3) == 0 ? 9 : pick(10)));
    if (pick(4) != 0) {
      piece += '.';
      for (size_t d = 0; d < fraction; ++d) piece += static_cast<char>('0' + (pick(3) == 0 ? 9 : pick(10)));
    }
    if (pick(8) == 0 && !piece.empty()) piece[pick(piece.size())] = odd[pick(odd.size())];
    if (piece.find(' ') != std::string::npos) continue;  // a blank splits it: not one piece
    expect_as_exact(piece);
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(ShortDecimals, ARowOfPiecesReadsAsPieceByPiece) {
  // every piece of a row, each starting where the one before stopped
  const std::vector<std::string> pieces = {"100.123", "NULL", "", "-0.5", "99999", "1e3", "7", "12345678", "3.25"};
  std::string text;
  for (size_t i = 0; i < pieces.size(); ++i) text += (i ? " " : "") + pieces[i];
  const char* p = text.data();
  const char* const end = text.data() + text.size();
  for (size_t i = 0; i < pieces.size(); ++i) {
    const char* stop = nullptr;
    const Piece got = scan_next(p, end, &stop);
    const Piece want = read_piece(pieces[i]);
    EXPECT_EQ(got.kind, want.kind) << pieces[i];
    EXPECT_TRUE(same_bits(got.value, want.value)) << pieces[i];
    ASSERT_EQ(std::string(p, stop), pieces[i]);
    p = stop == end ? stop : stop + 1;
  }
  EXPECT_EQ(p, end);
}

}  // namespace
}  // namespace velmora::packed

namespace velmora::packed {
namespace {

// The whole domain of the short reader: every m below 10^7 over 10^f for
// every f it produces, against the division.
TEST(ShortDecimals, QuotientsRoundAsTheDivisionForEveryShortMantissa) {
  for (int f = 0; f < 8; ++f) {
    size_t wrong = 0;
    for (uint64_t m = 0; m < 10'000'000; ++m) {
      const float got = decimal_detail::quotient_to_float32(m, f);
      const auto want = static_cast<float>(static_cast<double>(m) / decimal_detail::kPowersOfTen[f]);
      if (!same_bits(got, want) && ++wrong <= 5) ADD_FAILURE() << m << " / 10^" << f;
    }
    EXPECT_EQ(wrong, 0u) << "f = " << f;
  }
}

// Longer mantissas right beside the midpoints between floats, where the
// product alone rounds the other way in about one case in a thousand.
TEST(ShortDecimals, QuotientsNextToFloatMidpointsRoundAsTheDivision) {
  std::mt19937_64 rng(5);
  size_t tested = 0;
  for (int f = 0; f < 8; ++f) {
    for (int i = 0; i < 20'000; ++i) {
      // an odd 25-bit significand: a midpoint between two floats
      const uint64_t significand = (rng() & ((uint64_t{1} << 24) - 1)) | (uint64_t{1} << 24) | 1;
      const double midpoint = std::ldexp(static_cast<double>(significand), -static_cast<int>(rng() % 40));
      const double scaled = midpoint * decimal_detail::kPowersOfTen[f];
      if (scaled >= 9e15) continue;
      for (int64_t d = -2; d <= 2; ++d) {
        const auto m = static_cast<uint64_t>(std::llround(scaled) + d);
        const float got = decimal_detail::quotient_to_float32(m, f);
        const auto want = static_cast<float>(static_cast<double>(m) / decimal_detail::kPowersOfTen[f]);
        ASSERT_TRUE(same_bits(got, want)) << m << " / 10^" << f;
        ++tested;
      }
    }
  }
  EXPECT_GT(tested, 500'000u);
}

}  // namespace
}  // namespace velmora::packed
