#include "cleaning/piece_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cleaning/packed_text.h"

namespace velmora::packed {
namespace {

constexpr float kMark = -12345.0f;  // the tests' mark for an undecided piece

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string joined(const std::vector<std::string>& pieces) {
  std::string text;
  for (size_t i = 0; i < pieces.size(); ++i) text += (i ? " " : "") + pieces[i];
  return text;
}

// Reads the pieces of `text` in runs of `run` pieces into every `stride`-th
// value and checks each against read_piece of the piece alone, the undecided
// ones noted with their index and text, and the end reached exactly.
void expect_as_read_piece(const std::vector<std::string>& pieces, size_t run, size_t stride) {
  const std::string text = joined(pieces);
  std::vector<float> out(pieces.size() * stride, 7.0f);
  std::vector<PieceAt> undecided;
  const char* p = text.data();
  const char* const end = text.data() + text.size();
  for (size_t i = 0; i < pieces.size(); i += run) {
    const size_t n = std::min(run, pieces.size() - i);
    p = read_pieces(p, end, n, PieceRun{out.data() + i * stride, stride, kMark, 1000 + i * stride}, undecided);
  }
  EXPECT_EQ(p, end);
  size_t next_undecided = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece want = read_piece(pieces[i]);
    const float got = out[i * stride];
    if (want.kind == PieceKind::kUndecided) {
      EXPECT_TRUE(same_bits(got, kMark)) << '"' << pieces[i] << '"';
      ASSERT_LT(next_undecided, undecided.size()) << '"' << pieces[i] << '"';
      EXPECT_EQ(undecided[next_undecided].index, 1000 + i * stride);
      EXPECT_EQ(undecided[next_undecided].text, pieces[i]);
      ++next_undecided;
    } else {
      EXPECT_TRUE(same_bits(got, want.value)) << '"' << pieces[i] << "\" read as " << got << ", not " << want.value;
    }
    for (size_t s = 1; s < stride; ++s) EXPECT_EQ(out[i * stride + s], 7.0f) << "written between the strides";
  }
  EXPECT_EQ(next_undecided, undecided.size());
}

// Every test of read_pieces runs twice: with four short decimals read at
// once where the processor can, and one piece at a time.
class ReadPieces : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { allow_vector_reading(GetParam()); }
  void TearDown() override { allow_vector_reading(true); }
};

INSTANTIATE_TEST_SUITE_P(Ways, ReadPieces, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "FourAtOnce" : "OneAtATime"; });

TEST_P(ReadPieces, EveryKindOfPieceAsReadPieceReadsIt) {
  const std::vector<std::string> kinds = {
      "100.123", "-0.5", "+7", "0", "-0", ".5", "5.", "1234567.", "12345678", "1234.5678", "99999", "-99999.0",
      "099999", "9999.9", "99999.01", "1e5", "-2.5E-3", "NULL", "null", "", "inf", "nan", "1_0", "1.2.3", ".", "-",
      "+-1", "\xd9\xa1", "1,5", "123456789012345678901234", std::string(70, '7'), std::string(130, '9'),
      "0.0000001", "9.999999"};
  // each kind at every distance from the end of the text and from a block's edge
  for (size_t lead = 0; lead < 24; ++lead) {
    std::vector<std::string> pieces(lead, "1.5");
    pieces.insert(pieces.end(), kinds.begin(), kinds.end());
    for (const size_t run : {size_t{1}, size_t{3}, pieces.size()}) {
      expect_as_read_piece(pieces, run, 1);
      std::vector<std::string> tail(pieces.rbegin(), pieces.rend());
      expect_as_read_piece(tail, run, 1);
    }
  }
}

TEST_P(ReadPieces, StridesLeaveTheValuesBetween) {
  std::vector<std::string> pieces;
  for (int i = 0; i < 300; ++i) pieces.push_back(i % 37 == 0 ? "NULL" : i % 41 == 0 ? "x" : std::to_string(i) + ".25");
  expect_as_read_piece(pieces, 64, 3);
  expect_as_read_piece(pieces, 7, 40);
}

TEST_P(ReadPieces, GeneratedRowsAgreeWithReadPiece) {
  std::mt19937_64 rng(20261211);
  const std::string odd = ".-+eE 9\xc3N";
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  for (int row = 0; row < 400; ++row) {
    std::vector<std::string> pieces(1 + pick(200));
    for (std::string& piece : pieces) {
      if (pick(3) == 0) piece += "-+"[pick(2)];
      for (size_t d = pick(9); d > 0; --d) piece += static_cast<char>('0' + (pick(3) == 0 ? 9 : pick(10)));
      if (pick(3) != 0) piece += '.';
      for (size_t d = pick(9); d > 0; --d) piece += static_cast<char>('0' + pick(10));
      if (pick(10) == 0 && !piece.empty()) piece[pick(piece.size())] = odd[pick(odd.size())];
      if (pick(50) == 0) piece = std::string(60 + pick(20), '5');
    }
    // a blank inside a piece makes two: split them as the text does
    const std::string text = joined(pieces);
    std::vector<std::string> split;
    size_t from = 0;
    for (size_t at; (at = text.find(' ', from)) != std::string::npos; from = at + 1) split.push_back(text.substr(from, at - from));
    split.push_back(text.substr(from));
    expect_as_read_piece(split, 1 + pick(100), 1 + pick(4));
    if (::testing::Test::HasFailure()) return;
  }
}

TEST_P(ReadPieces, ReadsNothingBeyondTheText) {
  // the text at the very end of its memory: a read past it would show under
  // the address sanitizer
  for (const std::string& text : {std::string("1.5"), std::string("12.5 7"), std::string("100.123 NULL 3"),
                                  std::string("-1234.56 1"), std::string(100, '1') + " 2.5"}) {
    std::vector<char> exact(text.begin(), text.end());
    float out[8];
    std::vector<PieceAt> undecided;
    size_t pieces = 1;
    for (const char c : text) pieces += c == ' ';
    const char* end = exact.data() + exact.size();
    EXPECT_EQ(read_pieces(exact.data(), end, pieces, PieceRun{out, 1, kMark, 0}, undecided), end);
  }
}

TEST_P(ReadPieces, ShortDecimalsOfEveryShapeAgreeWithReadPiece) {
  // rows of nothing but short decimals, as observation rows are: every
  // count of digits, the point anywhere, signs, and mantissas near the
  // largest, so that whole groups of four go the fast way
  std::mt19937_64 rng(31);
  std::vector<std::string> pieces;
  for (int i = 0; i < 300'000; ++i) {
    const int digits = 1 + static_cast<int>(rng() % 7);
    std::string piece = std::to_string(rng() % 3 == 0 ? 9'999'999 - rng() % 1000 : rng());
    piece = piece.substr(0, static_cast<size_t>(digits));
    const auto point = static_cast<size_t>(rng() % (digits + 2));
    if (point <= piece.size()) piece.insert(point, ".");
    if (rng() % 5 == 0) piece.insert(0, rng() % 2 ? "-" : "+");
    pieces.push_back(piece);
  }
  expect_as_read_piece(pieces, pieces.size(), 1);
  expect_as_read_piece(pieces, 997, 2);
}

TEST(Blanks, BothWaysOfFindingThemAgree) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 2000; ++round) {
    char bytes[64];
    for (char& c : bytes) c = rng() % 3 == 0 ? ' ' : static_cast<char>(rng());
    uint64_t want = 0;
    for (int j = 0; j < 64; ++j) want |= uint64_t{bytes[j] == ' '} << j;
    EXPECT_EQ(blanks_in_64(bytes), want);
    EXPECT_EQ(blanks_in_64_portable(bytes), want);
  }
}

TEST_P(ReadPieces, BlanksAreCountedAtEveryLengthAndOffset) {
  std::mt19937_64 rng(11);
  std::string text(1000, 'x');
  for (char& c : text) c = rng() % 4 == 0 ? ' ' : static_cast<char>('0' + rng() % 10);
  for (size_t from = 0; from < 70; from += 3) {
    for (size_t to = from; to <= text.size(); to += 1 + to % 17) {
      const char* p = text.data();
      EXPECT_EQ(count_blanks(p + from, p + to), static_cast<size_t>(std::count(p + from, p + to, ' ')))
          << from << ".." << to;
    }
  }
}

}  // namespace
}  // namespace velmora::packed
