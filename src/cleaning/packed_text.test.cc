#include "cleaning/packed_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace velmora::packed {
namespace {

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct NumberCase {
  const char* text;
  float expected;
};

class ReadsNumbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReadsNumbers, AsPythonFloatThenFloat32) {
  const Piece piece = read_piece(GetParam().text);
  ASSERT_EQ(piece.kind, PieceKind::kValue) << GetParam().text;
  EXPECT_TRUE(same_bits(piece.value, GetParam().expected))
      << GetParam().text << " read as " << piece.value;
}

INSTANTIATE_TEST_SUITE_P(
    PlainDecimals, ReadsNumbers,
    ::testing::Values(NumberCase{"0", 0.0f}, NumberCase{"-0", -0.0f}, NumberCase{"+2", 2.0f},
                      NumberCase{"1.5", 1.5f}, NumberCase{"-2.25", -2.25f}, NumberCase{".5", 0.5f},
                      NumberCase{"5.", 5.0f}, NumberCase{"1e5", 100000.0f}, NumberCase{"1E-2", 0.01f},
                      NumberCase{"2.5e+3", 2500.0f}, NumberCase{"007", 7.0f},
                      NumberCase{"199999.5", 199999.5f}, NumberCase{"0.0999995", 0.0999995f},
                      NumberCase{"99998", 99998.0f}, NumberCase{"9999", 9999.0f},
                      NumberCase{"99999.5", 99999.5f},
                      // rounded to double first, as Python reads it, then to float32: this
                      // text lies just above a float32 tie, its nearest double on the tie,
                      // which rounds to even
                      NumberCase{"1.00000005960464477550", 1.0f},
                      NumberCase{"3.4028235e38", std::numeric_limits<float>::max()},
                      NumberCase{"1e39", std::numeric_limits<float>::infinity()},
                      NumberCase{"-1e39", -std::numeric_limits<float>::infinity()},
                      NumberCase{"1e-50", 0.0f}));

class MissingPieces : public ::testing::TestWithParam<const char*> {};

TEST_P(MissingPieces, AreNaN) {
  const Piece piece = read_piece(GetParam());
  EXPECT_EQ(piece.kind, PieceKind::kMissing) << GetParam();
  EXPECT_TRUE(std::isnan(piece.value));
}

INSTANTIATE_TEST_SUITE_P(Placeholders, MissingPieces,
                         ::testing::Values("", "NULL", "null", "NULLALL", "xnullx", "99999", "-99999",
                                           "99999.0", "999999", "+9999999", "9.9999e4",
                                           "099999", "999999999999999"));

// Nines beyond what a double holds: 16 and more of them read as a power of
// ten, yet are written as the placeholder.
INSTANTIATE_TEST_SUITE_P(LongNines, MissingPieces,
                         ::testing::Values("9999999999999999", "-9999999999999999", "99999999999999999999",
                                           "+00099999999999999999.000", "9999999999999999.",
                                           "999999999999999999999999999999999999999999999999"));

class UndecidedPieces : public ::testing::TestWithParam<const char*> {};

TEST_P(UndecidedPieces, AreLeftToTheCaller) {
  EXPECT_EQ(read_piece(GetParam()).kind, PieceKind::kUndecided) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(NotPlainDecimals, UndecidedPieces,
                         ::testing::Values("inf", "-Infinity", "nan", "1_0", "\t1", "1 ", "+-1",
                                           "--1", "1e", "e5", ".", "-", "+", "1.2.3", "0x10",
                                           "abc", "Null", "1e400", "\xd9\xa1", "99999x"));

TEST(ReadPiece, NumbersNearLongNinesAreValues) {
  for (const char* text : {"9999999999999999.5", "19999999999999999", "9999999999999999e1", "99999.01",
                           "1e16", "9999999999999999.0001"}) {
    EXPECT_EQ(read_piece(text).kind, PieceKind::kValue) << text;
  }
}

TEST(IsWrittenNines, SignZerosNinesPointZeros) {
  for (const char* text : {"99999", "-99999", "+099999", "99999.", "99999.000", "0000099999"}) {
    EXPECT_TRUE(is_written_nines(text)) << text;
  }
  for (const char* text : {"9999", "99999.5", "99999e0", "9999 9", "199999", "99999.0.0", "+-99999", ".99999",
                           "99999x", ""}) {
    EXPECT_FALSE(is_written_nines(text)) << text;
  }
}

TEST(SettlePiece, NumbersNinesAndTheRest) {
  EXPECT_EQ(settle_piece("1_5", 15.0).kind, PieceKind::kValue);
  EXPECT_EQ(settle_piece("1_5", 15.0).value, 15.0f);
  EXPECT_EQ(settle_piece("inf", std::numeric_limits<double>::infinity()).value,
            std::numeric_limits<float>::infinity());
  EXPECT_EQ(settle_piece("1e400", std::numeric_limits<double>::infinity()).kind, PieceKind::kValue);
  EXPECT_EQ(settle_piece("99_999", 99999.0).kind, PieceKind::kMissing);  // a number of nines
  EXPECT_EQ(settle_piece("x99999", std::nullopt).kind, PieceKind::kMissing);  // no number, with 99999
  EXPECT_EQ(settle_piece("abc", std::nullopt).kind, PieceKind::kUndecided);
  EXPECT_TRUE(std::isnan(settle_piece("abc", std::nullopt).value));
  EXPECT_TRUE(std::isnan(settle_piece("nan", std::nan("")).value));
}

TEST(SettlePiece, NinesBeyondADoubleAreMissing) {
  // beyond double's range the parser leaves them to the caller, whose float() reads infinity
  const double inf = std::numeric_limits<double>::infinity();
  for (const std::string& nines : {std::string(400, '9'), "-" + std::string(309, '9'),
                                   "000" + std::string(500, '9') + ".000"}) {
    ASSERT_EQ(read_piece(nines).kind, PieceKind::kUndecided) << nines.size();
    const Piece settled = settle_piece(nines, nines[0] == '-' ? -inf : inf);
    EXPECT_EQ(settled.kind, PieceKind::kMissing) << nines.size();
    EXPECT_TRUE(std::isnan(settled.value));
  }
  // a number beyond that range that is no run of nines stays a number
  EXPECT_EQ(settle_piece("9" + std::string(400, '8'), inf).value, std::numeric_limits<float>::infinity());
  EXPECT_EQ(settle_piece(std::string(400, '9') + ".5", inf).kind, PieceKind::kValue);
}

TEST(ReadPiece, NulByteInsideATextIsNotANumber) {
  EXPECT_EQ(read_piece(std::string_view("1\0" "2", 3)).kind, PieceKind::kUndecided);
}

TEST(IsNinesPlaceholder, OnlyWholeNumbersOfNines) {
  EXPECT_TRUE(is_nines_placeholder(99999.0));
  EXPECT_TRUE(is_nines_placeholder(-999999.0));
  EXPECT_FALSE(is_nines_placeholder(9999.0));
  EXPECT_FALSE(is_nines_placeholder(99999.5));
  EXPECT_FALSE(is_nines_placeholder(199999.0));
  EXPECT_FALSE(is_nines_placeholder(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(is_nines_placeholder(std::numeric_limits<double>::infinity()));
}

TEST(ToFloat32, RoundsAtTheEdgeOfTheRange) {
  constexpr float kMax = std::numeric_limits<float>::max();
  EXPECT_EQ(to_float32(0x1.fffffe8p127), kMax);  // below the midpoint: stays finite
  EXPECT_EQ(to_float32(0x1.ffffffp127), std::numeric_limits<float>::infinity());  // tie to even
  EXPECT_EQ(to_float32(-1e300), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(to_float32(std::nan(""))));
}

// The shortcut of scan_piece must never change a result: compare it with
// read_piece on random decimals and near-decimals.
TEST(ScanPiece, AgreesWithReadPiece) {
  std::mt19937_64 random(42);
  const std::string alphabet = "0123456789000999.+-eE n";
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    const size_t length = 1 + random() % 24;
    for (size_t j = 0; j < length; ++j) text += alphabet[random() % alphabet.size()];
    const char* stop = nullptr;
    const Piece fast = scan_piece(text.data(), text.data() + text.size(), &stop);
    const size_t blank = text.find(' ');
    const std::string_view piece(text.data(), blank == std::string::npos ? text.size() : blank);
    ASSERT_EQ(stop, text.data() + piece.size()) << text;
    const Piece slow = read_piece(piece);
    ASSERT_EQ(fast.kind, slow.kind) << text;
    ASSERT_TRUE(same_bits(fast.value, slow.value) || (std::isnan(fast.value) && std::isnan(slow.value)))
        << text << ": " << fast.value << " vs " << slow.value;
  }
}

TEST(ScanPiece, ShortcutBoundaries) {
  for (const char* text : {"9007199254740992", "9007199254740993", "1234567890123456789",
                           "12345678901234567890", "0.0000000000000000000001", "1e22", "1e23",
                           "123.4560000000000000000000", "-0.000", "00000000000000000000001"}) {
    const char* stop = nullptr;
    const Piece fast = scan_piece(text, text + std::strlen(text), &stop);
    const Piece slow = read_piece(text);
    EXPECT_EQ(fast.kind, slow.kind) << text;
    EXPECT_TRUE(same_bits(fast.value, slow.value)) << text;
  }
}

}  // namespace
}  // namespace velmora::packed
