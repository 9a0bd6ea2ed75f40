#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "update/version_rewrite.h"

namespace {

struct Bumped {
  std::string piece;
  int result;
};

// Runs bump_version_line for the prefix ABC on `piece` in a line buffer of the real size.
Bumped bump(const std::string& piece, const std::string& prefix = "ABC") {
  char buffer[kLineBufferSize];
  std::memset(buffer, '#', sizeof buffer);
  std::memcpy(buffer, piece.data(), piece.size());
  buffer[piece.size()] = '\0';
  std::size_t length = piece.size();
  const int result =
      bump_version_line(buffer, length, prefix + "_STRING_VERSION", prefix + "_VERSION");
  return {std::string(buffer, length), result};
}

TEST(BumpVersionLine, AdvancesNumberAndStringLines) {
  Bumped number = bump("#define ABC_VERSION 1,0,0,41\n");
  EXPECT_EQ(number.piece, "#define ABC_VERSION 1,0,0,42\n");
  EXPECT_EQ(number.result, 3);

  Bumped string = bump("#define ABC_STRING_VERSION \"1.0.0.41\"\n");
  EXPECT_EQ(string.piece, "#define ABC_STRING_VERSION \"1.0.0.42\"\n");
  EXPECT_EQ(string.result, 4);
}

TEST(BumpVersionLine, StringKeyWinsAndOnlyItsSeparatorCounts) {
  // Both keys: a string line, so the last "." counts and commas are ignored.
  EXPECT_EQ(bump("ABC_VERSION ABC_STRING_VERSION 1.2,3\n").piece,
            "ABC_VERSION ABC_STRING_VERSION 1.3\"\n");
  // ABC_VERSION does not occur inside ABC_STRING_VERSION, and a string line without "." is
  // not tried as a number line even when the number key and a "," are there too.
  Bumped no_dot = bump("ABC_STRING_VERSION ABC_VERSION 1,2\n");
  EXPECT_EQ(no_dot.result, 0);
  EXPECT_EQ(no_dot.piece, "ABC_STRING_VERSION ABC_VERSION 1,2\n");
  // On a number line a "." is ignored and a later "," in trailing text becomes the separator.
  EXPECT_EQ(bump("ABC_VERSION 1,0.5\n").piece, "ABC_VERSION 1,1\n");
  EXPECT_EQ(bump("ABC_VERSION 1,41 // a, b\n").piece, "ABC_VERSION 1,41 // a,1\n");
  // The separator may stand before the key, which is then part of the dropped field.
  EXPECT_EQ(bump("7, ABC_VERSION\n").piece, "7,1\n");
}

TEST(BumpVersionLine, KeysMatchAsSubstringsAnywhere) {
  EXPECT_EQ(bump("#define XABC_VERSION 1,5\n").piece, "#define XABC_VERSION 1,6\n");
  EXPECT_EQ(bump("#define ABC_VERSION 1,5\n", "BC").piece, "#define ABC_VERSION 1,6\n");
  EXPECT_EQ(bump("// see ABC_VERSION 1,5\n").piece, "// see ABC_VERSION 1,6\n");
  EXPECT_EQ(bump("#define abc_VERSION 1,5\n").result, 0);
  EXPECT_EQ(bump("#define ABD_VERSION 1,5\n").result, 0);
}

TEST(BumpVersionLine, ReplacesTheWholeBuildField) {
  EXPECT_EQ(bump("ABC_VERSION 1, 41\n").piece, "ABC_VERSION 1,42\n");
  EXPECT_EQ(bump("ABC_VERSION 1,41 // build\n").piece, "ABC_VERSION 1,42\n");
  EXPECT_EQ(bump("ABC_VERSION 1,\n").piece, "ABC_VERSION 1,1\n");
  EXPECT_EQ(bump("ABC_VERSION 1,abc\n").piece, "ABC_VERSION 1,1\n");
  EXPECT_EQ(bump("ABC_VERSION 1,007\n").piece, "ABC_VERSION 1,8\n");
  EXPECT_EQ(bump("ABC_VERSION 1,-5\n").piece, "ABC_VERSION 1,-4\n");
  EXPECT_EQ(bump("ABC_VERSION 1,+9\n").piece, "ABC_VERSION 1,10\n");
  EXPECT_EQ(bump("ABC_VERSION 1,-1\n").piece, "ABC_VERSION 1,0\n");
  EXPECT_EQ(bump("ABC_VERSION 1,2147483647\n").piece, "ABC_VERSION 1,-2147483648\n");
  EXPECT_EQ(bump("ABC_STRING_VERSION \"1.0.0.41\" // note\n").piece,
            "ABC_STRING_VERSION \"1.0.0.42\"\n");
}

TEST(BumpVersionLine, LeavesPiecesWithoutKeyOrSeparatorUnchanged) {
  EXPECT_EQ(bump("").result, 0);
  EXPECT_EQ(bump("#define OTHER_VERSION 1,2\n").result, 0);
  Bumped no_comma = bump("#define ABC_VERSION 12\n");
  EXPECT_EQ(no_comma.result, 0);
  EXPECT_EQ(no_comma.piece, "#define ABC_VERSION 12\n");
}

TEST(BumpVersionLine, PieceWithoutLineEndGainsOne) {
  EXPECT_EQ(bump("ABC_VERSION 1,41").piece, "ABC_VERSION 1,42\n");
}

TEST(BumpVersionLine, ZeroBytesAreOrdinaryBytes) {
  using namespace std::string_literals;
  // The key after a zero byte is still found, and the zero byte before the field is kept.
  EXPECT_EQ(bump("x\0ABC_VERSION 1,\0 5\n"s).piece, "x\0ABC_VERSION 1,1\n"s);
  EXPECT_EQ(bump("\0ABC_VERSION\0,9\n"s).piece, "\0ABC_VERSION\0,10\n"s);
  // A zero byte is neither white space nor a digit: it ends the number.
  EXPECT_EQ(bump("ABC_VERSION ,4\0"s
                 "2\n")
                .piece,
            "ABC_VERSION ,5\n");
  // A zero byte inside the key breaks it.
  EXPECT_EQ(bump("ABC_VER\0SION 1,2\n"s).result, 0);
}

TEST(BumpVersionLine, FullPieceMayOutgrowTheReadCapacity) {
  // A full 255-byte piece whose field is the largest number: the rewrite is 257 bytes long and
  // is formed in full.
  const std::string head = "ABC_VERSION ";
  const std::string field = ",2147483647 ";
  const std::string piece =
      head + std::string(kLinePieceCapacity - 1 - head.size() - field.size(), 'x') + field;
  ASSERT_EQ(piece.size(), kLinePieceCapacity - 1);
  const Bumped grown = bump(piece);
  EXPECT_EQ(grown.result, 12);
  EXPECT_EQ(grown.piece, piece.substr(0, piece.size() - field.size()) + ",-2147483648\n");

  // The separator as the last byte of a full string piece: nothing before it moves.
  const std::string dotted = "ABC_STRING_VERSION " + std::string(235, 'y') + ".";
  ASSERT_EQ(dotted.size(), kLinePieceCapacity - 1);
  EXPECT_EQ(bump(dotted).piece, dotted + "1\"\n");
}

TEST(BumpVersionLine, KeyLongerThanAnyPieceNeverMatches) {
  const std::string prefix(300, 'P');
  const std::string piece = std::string(200, 'P') + "_VERSION 1,2\n";
  EXPECT_EQ(bump(piece, prefix).result, 0);
}

TEST(ParseLeadingInt, SkipsWhiteSpaceTakesSignAndDigits) {
  EXPECT_EQ(parse_leading_int(" \t\n\v\f\r42x"), 42);
  EXPECT_EQ(parse_leading_int("-17"), -17);
  EXPECT_EQ(parse_leading_int("+17"), 17);
  EXPECT_EQ(parse_leading_int(""), 0);
  EXPECT_EQ(parse_leading_int("-"), 0);
  EXPECT_EQ(parse_leading_int("+-3"), 0);
  EXPECT_EQ(parse_leading_int("\xA0"
                              "5"),
            0);                                   // bytes above 0x7F are not white space
  EXPECT_EQ(parse_leading_int("4294967297"), 1);  // wraps modulo 2^32
  EXPECT_EQ(parse_leading_int("2147483648"), -2147483647 - 1);
  EXPECT_EQ(parse_leading_int("-2147483648"), -2147483647 - 1);
}

}  // namespace
